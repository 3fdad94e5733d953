#include "protocols/ModBusProtocol.h"

#include <algorithm>
#include <cmath>

#include "protocols/MakerMessage.h"

namespace orvela {
namespace {

using namespace modbus;

constexpr int kByteReadPolls = 51;
constexpr int kPollUnits = 20;
// Exception code 4 (device failure) to the maker's register reads and writes: the meter behind a
// converter did not answer it.
constexpr uint8_t kExceptionDeviceFailure = 4;
constexpr uint8_t kMakerExceptionFunctions[] = {0x83, 0x84, 0x90};
constexpr int kTunnelPutAttempts = 4;
constexpr int64_t kTunnelPutPauseMs = 100;
constexpr int64_t kTunnelRetryMs = 200;
// The tunnel's piece header after the byte count: status, 0, length (2), offset (2), piece size.
constexpr size_t kPieceHeader = 7;
// The bound of one transaction besides the bytes on the line (the device's turn-around included).
constexpr int64_t kExchangeFloorMs = 10'000;
constexpr int32_t kDefaultBitsPerSecond = 9600;

// What follows the function byte of a reply, by function.
enum class TBody : uint8_t {
  Nothing,    // the reply ends with the CRC
  Counted,    // byte count n, n bytes
  Registers,  // byte count n (even), registers low byte first unless the transaction code asks otherwise
  Pairs,      // byte count n (even), pairs in wire order
  Four,       // address and quantity (or value) of a write, in wire order
  One,        // one byte
  NoCrc,      // the maker's line-clear answer: nothing more and no CRC
};

struct TBodyRule {
  uint8_t function;
  TBody body;
};

// 5, 6 and 15 answer with four bytes like 16; without them a write's reply would be cut before its CRC.
constexpr TBodyRule kBodyRules[] = {
    {1, TBody::Counted}, {2, TBody::Counted},   {3, TBody::Registers}, {4, TBody::Registers},
    {5, TBody::Four},    {6, TBody::Four},      {15, TBody::Four},     {16, TBody::Four},
    {49, TBody::Pairs},  {112, TBody::Counted}, {113, TBody::Counted}, {240, TBody::One},
    {241, TBody::One},   {255, TBody::NoCrc},
};

TBody BodyOf(uint8_t function) {
  for (const TBodyRule& rule : kBodyRules)
    if (rule.function == function) return rule.body;
  return TBody::Nothing;
}

bool IsMakerException(uint8_t function) {
  return std::find(std::begin(kMakerExceptionFunctions), std::end(kMakerExceptionFunctions), function) !=
         std::end(kMakerExceptionFunctions);
}

int64_t MsBetween(TDateTime from, TDateTime to) {
  return std::llround((to - from) * kMsPerDay);
}

// The device a maker message names: byte 6 of a path with an address (k >= 2), else the converter.
uint8_t TunnelAddress(std::span<const uint8_t> message) {
  return message.size() > 6 && message[4] >= 2 ? message[6] : kTunnelLineAddress;
}

uint16_t Be16(const TBytes& buffer, size_t at) {
  return static_cast<uint16_t>((buffer[at] << 8) | buffer[at + 1]);
}

}  // namespace

TBytes BuildModBusFrame(std::span<const uint8_t> request) {
  TBytes frame(request.begin(), request.end());
  uint16_t crc = Crc16ModBus(request);
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

ModBusProtocol::ModBusProtocol() : TProtocol("ModBus") {}

void ModBusProtocol::SetTunnelChunk(uint8_t bytes, int64_t busyLimitMs) {
  chunk_ = std::clamp<uint8_t>(bytes, 1, static_cast<uint8_t>(kMaxByteCount - kPieceHeader));
  busyLimitMs_ = busyLimitMs;
}

int64_t ModBusProtocol::ExchangeBudgetMs() const {
  int32_t speed = LineSpeed() >= 300 ? LineSpeed() : kDefaultBitsPerSecond;
  // Both frames at their longest, ten bits a byte.
  return kExchangeFloorMs + 2 * static_cast<int64_t>(kTransactBufferSize) * 10 * 1000 / speed;
}

int ModBusProtocol::Transact(int code, std::span<const uint8_t> request, TBytes& buffer) {
  resultCode_ = 0;
  code_ = code;
  buffer.assign(kTransactBufferSize, 0xFF);
  if (request.size() < 2) return kFailed;
  int outcome = RunTransaction(request);
  if (outcome != 0) return outcome;
  const TBytes& reply = reply_;
  bool exception = (reply[1] & kExceptionBit) != 0;
  auto first = reply.begin();
  auto last = reply.end();
  // An exception reply always leaves its code first, whatever the transaction code.
  if (exception) {
    first += 2;
  } else if (code == kCodeWrite) {
    last = first + static_cast<std::ptrdiff_t>(std::min<size_t>(6, reply.size()));
  } else if (code == kCodeFixedBlock) {
    first += std::min<std::ptrdiff_t>(7, static_cast<std::ptrdiff_t>(reply.size()));
  } else {
    first += 2;
  }
  std::copy(first, last, buffer.begin());
  return exception ? kExceptionReply : 0;
}

int ModBusProtocol::RunTransaction(std::span<const uint8_t> request) {
  if (!link_) return kFailed;
  BeginExchange();
  if (!link_->Connect()) {
    Log("ModBus. Нет соединения - " + link_->LastErrorText());
    link_->Release();
    return kFailed;
  }
  if (!Sleep(pauseMs_)) {
    link_->Release();
    return kFailed;
  }
  request_.assign(request.begin(), request.end());
  TExchangeCounters before = counters_;
  bool ok = Exchange(request);
  link_->Release();
  if (ok) {
    Log("Ожидание первого байта " + std::to_string(MsBetween(receiveStart_, firstByteTime_)) + " мсек");
    Log("Ответ принят за " + std::to_string(MsBetween(firstByteTime_, receiveEnd_)) + " мсек");
    return 0;
  }
  if (counters_.connectionLosses > before.connectionLosses) {
    link_->DropClient();
    link_->SetConnected(false);
  }
  if (counters_.noAnswers > before.noAnswers) {
    Log("Не было ответа от прибора - повторяем без перезвона");
    return link_->NoAnswerCount() < kNoAnswerLimit ? kNoAnswer : kNoAnswerAgain;
  }
  return kFailed;
}

void ModBusProtocol::SendFrame(std::span<const uint8_t> request) {
  link_->Send(BuildModBusFrame(request));
}

uint8_t ModBusProtocol::ReadByteMb() {
  if (std::optional<uint8_t> byte = ReadBytePolled(kByteReadPolls, kPollUnits)) return *byte;
  throw EReadExcept("Ошибка чтения байта (Ошибка " + link_->LastErrorText() + " )");
}

uint8_t ModBusProtocol::Take(TBytes& reply, bool keep) {
  uint8_t byte = ReadByteMb();
  crc_.Feed(byte);
  if (keep) reply.push_back(byte);
  return byte;
}

size_t ModBusProtocol::TakeCount(TBytes& reply, bool pairs) {
  size_t count = Take(reply);
  // A count the function cannot carry would run the read past the frame (or the buffer).
  if (count > kMaxByteCount || (pairs && count % 2 != 0)) {
    link_->PurgeInput();
    throw EReadExcept("Ошибка чтения - неверное число байт " + std::to_string(count));
  }
  return count;
}

void ModBusProtocol::TakeBody(TBytes& reply, uint8_t function) {
  switch (BodyOf(function)) {
    case TBody::Counted:
      for (size_t n = TakeCount(reply, false); n > 0; --n) Take(reply);
      break;
    case TBody::Registers: {
      size_t n = TakeCount(reply, true);
      for (size_t i = 0; i < n / 2; ++i) {
        uint8_t high = Take(reply, false);
        uint8_t low = Take(reply, false);
        if (code_ == kCodeWireOrder) std::swap(high, low);
        reply.push_back(low);
        reply.push_back(high);
      }
      break;
    }
    case TBody::Pairs:
      for (size_t n = TakeCount(reply, true); n > 0; --n) Take(reply);
      break;
    case TBody::Four:
      for (int i = 0; i < 4; ++i) Take(reply);
      break;
    case TBody::One:
      Take(reply);
      break;
    case TBody::Nothing:
    case TBody::NoCrc:
      break;
  }
}

void ModBusProtocol::ReceiveFrame(TBytes& reply) {
  reply.clear();
  crc_.Reset();
  uint8_t address = Take(reply);
  firstByteTime_ = Now();
  uint8_t function = Take(reply);
  // Only the answer of the addressed device to this function (or its refusal of it) is an answer.
  uint8_t asked = request_.size() >= 2 ? request_[1] : function;
  if (!request_.empty() && address != request_[0]) {
    link_->PurgeInput();
    throw EReadExcept("Ошибка чтения - ответ другого прибора (" + HexByte(address) + ")");
  }
  bool exception = function == (asked | kExceptionBit) && asked != function;
  if (function != asked && !exception) {
    link_->PurgeInput();
    throw EReadExcept("Ошибка чтения - ответ не на запрос (функция " + HexByte(function) + ")");
  }
  if (exception) {
    uint8_t code = Take(reply);
    CheckCrc();
    if (code == kExceptionDeviceFailure && IsMakerException(function))
      throw EPriborReadExcept("Ошибка чтения - Орликс не отвечает");
    return;
  }
  if (code_ == kCodeFixedBlock) {
    for (size_t i = 0; i < kFixedBlockData; ++i) Take(reply);
  } else if (BodyOf(function) == TBody::NoCrc) {
    link_->PurgeInput();
    return;
  } else {
    TakeBody(reply, function);
  }
  CheckCrc();
}

void ModBusProtocol::CheckCrc() {
  uint16_t computed = crc_.Value();
  uint8_t low = ReadByteMb();
  uint8_t high = ReadByteMb();
  // A reply with a bad check is no reply, whatever the operator set: its bytes cannot be trusted.
  if ((low | (high << 8)) != computed) throw EReadExcept("Ошибка чтения - неверная контрольная сумма");
}

bool ModBusProtocol::Request(std::span<const uint8_t> message, TBytes& buffer) {
  replyArrived_ = false;
  if (message.size() > kMaxByteCount) {
    Log("Туннель ModBus: сообщение длиной " + std::to_string(message.size()) + " байт не помещается");
    return false;
  }
  uint8_t address = TunnelAddress(message);
  size_t length = 0;
  TBytes answer;
  if (!TunnelPut(address, message, length) || !TunnelReadBack(address, length, answer)) return false;
  try {
    maker::CheckReply(answer);
  } catch (const EReadExcept& e) {
    Log(e.what());
    return false;
  }
  replyArrived_ = true;
  return maker::CopyToAnswerBuffer(answer, buffer);
}

bool ModBusProtocol::TunnelPut(uint8_t address, std::span<const uint8_t> message, size_t& length) {
  TBytes put{address, kFnTunnelPut, static_cast<uint8_t>(message.size())};
  put.insert(put.end(), message.begin(), message.end());
  TBytes buffer;
  for (int attempt = 0; attempt < kTunnelPutAttempts; ++attempt) {
    if (!Sleep(kTunnelPutPauseMs)) return false;
    if (Transact(4, put, buffer) != 0) continue;
    // The converter answers the length of the meter's answer, most significant byte first.
    if (buffer[0] < 2) return false;
    length = Be16(buffer, 1);
    return length >= maker::kHeaderSize && length <= maker::kAnswerBufferSize;
  }
  return false;
}

bool ModBusProtocol::TunnelReadBack(uint8_t address, size_t length, TBytes& answer) {
  answer.clear();
  int64_t waited = 0;
  while (answer.size() < length) {
    size_t offset = answer.size();
    TBytes read{address,
                kFnTunnelRead,
                0x05,
                static_cast<uint8_t>(length >> 8),
                static_cast<uint8_t>(length & 0xFF),
                static_cast<uint8_t>(offset >> 8),
                static_cast<uint8_t>(offset & 0xFF),
                chunk_};
    TBytes buffer;
    int outcome = Transact(4, read, buffer);
    size_t count = buffer[0];
    // A piece counts only when it is the piece asked for, of the answer asked for, and ready.
    bool piece = outcome == 0 && count >= kPieceHeader && buffer[1] != kTunnelBusy &&
                 Be16(buffer, 3) == length && Be16(buffer, 5) == offset && buffer[7] > 0 &&
                 buffer[7] <= count - kPieceHeader;
    if (!piece) {
      if (outcome == kExceptionReply || waited >= busyLimitMs_) return false;
      if (!Sleep(kTunnelRetryMs)) return false;
      waited += kTunnelRetryMs;
      continue;
    }
    size_t take = std::min<size_t>(buffer[7], length - offset);
    answer.insert(answer.end(), buffer.begin() + 8, buffer.begin() + 8 + static_cast<std::ptrdiff_t>(take));
  }
  return true;
}

}  // namespace orvela
