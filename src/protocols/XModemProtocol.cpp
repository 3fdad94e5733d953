#include "protocols/XModemProtocol.h"

#include <algorithm>
#include <array>
#include <optional>

namespace orvela {
namespace {

using namespace xmodem;

constexpr int kSendAttempts = 10;
constexpr int kReadyWaits = 21;
constexpr int kReadyNudges = 6;
constexpr int kAckReads = 6;
constexpr int kEotSends = 21;
constexpr int kEotReads = 6;
constexpr int kTimedReadPolls = 401;
constexpr int kBlockAttempts = 10;
constexpr int kStartWaits = 51;
constexpr int kResyncChecks = 400;
constexpr int kEndReads = 10;
constexpr int kWaitingSignsToFail = 5;
constexpr int64_t kSlowByteMs = 1500;

size_t BlocksFor(size_t bytes) {
  return std::max<size_t>(1, (bytes + kDataSize - 1) / kDataSize);
}

}  // namespace

int64_t XModemExchangeBudgetMs(size_t blocks, int32_t bitsPerSecond) {
  int64_t speed = bitsPerSecond >= 300 && bitsPerSecond <= 1'000'000 ? bitsPerSecond : kDefaultBitsPerSecond;
  // Ten bits a byte on an asynchronous line.
  int64_t blockMs = (static_cast<int64_t>(kBlockSize) * 10 * 1000 + speed - 1) / speed;
  return kExchangeFloorMs + static_cast<int64_t>(blocks) * (2 * blockMs + kBlockTurnaroundMs);
}

TBytes BuildXModemBlock(uint8_t number, std::span<const uint8_t> data) {
  TBytes block(3 + kDataSize, kFill);
  block[0] = kSoh;
  block[1] = number;
  block[2] = static_cast<uint8_t>(255 - number);
  std::copy_n(data.begin(), std::min(data.size(), kDataSize), block.begin() + 3);
  uint16_t crc = Crc16Xmodem(std::span<const uint8_t>(block).subspan(3, kDataSize));
  block.push_back(static_cast<uint8_t>(crc >> 8));
  block.push_back(static_cast<uint8_t>(crc & 0xFF));
  return block;
}

XModemProtocol::XModemProtocol() : TProtocol("XModem") {}

bool XModemProtocol::Request(std::span<const uint8_t> request, TBytes& buffer) {
  return MakerRequest(request, buffer);
}

void XModemProtocol::CheckReply(const TBytes& reply) {
  maker::CheckReply(reply);
}

int64_t XModemProtocol::ExchangeBudgetMs() const {
  // Until the first reply block declares the length: one request block and one reply block.
  return XModemExchangeBudgetMs(2, LineSpeed());
}

void XModemProtocol::TakeDeclaredLength(const TBytes& reply) {
  size_t total = maker::DeclaredTotal(reply);
  if (total > kReplyBufferSize) throw EReadExcept("Ошибка приема - заявленная длина больше буфера");
  declaredBlocks_ = BlocksFor(total);
  ArmDeadline(XModemExchangeBudgetMs(1 + declaredBlocks_, LineSpeed()));
}

void XModemProtocol::SendRaw(std::span<const uint8_t> bytes) {
  link_->Send(bytes);
}

std::string XModemProtocol::ReadRawByte() {
  for (int i = 0; i < 11; ++i) {
    link_->CheckLink();
    if (link_->InCount() > 0) return std::string(1, static_cast<char>(link_->ReadByte()));
    link_->WaitData(10);
  }
  return {};
}

void XModemProtocol::SendByte(uint8_t byte) {
  link_->Send(std::span<const uint8_t>(&byte, 1));
}

bool XModemProtocol::AnythingWaiting() {
  // Socket links count only what a wait has already moved in; a zero-length wait looks at the socket.
  return link_->InCount() > 0 || link_->WaitData(0);
}

uint8_t XModemProtocol::ReadByteTimed() {
  if (std::optional<uint8_t> byte = ReadBytePolled(kTimedReadPolls, 20)) return *byte;
  throw EReadExcept("Ошибка чтения байта");
}

void XModemProtocol::SendFrame(std::span<const uint8_t> request) {
  if (request.size() > kDataSize)
    Log("Запрос длиной " + std::to_string(request.size()) + " байт обрезан до " + std::to_string(kDataSize));
  TBytes block;
  bool acked = false;
  for (int attempt = 1; attempt <= kSendAttempts && !acked; ++attempt) {
    Poll();
    if (attempt > 1) {
      link_->PurgeInput();
      link_->PurgeOutput();
    }
    link_->CheckLink();
    block = BuildXModemBlock(1, request);
    WaitReady();
    SetStatus("SendReq_Передача тела запроса");
    link_->Send(block);
    for (int i = 0; i < kAckReads && !acked; ++i) {
      link_->CheckLink();
      acked = ReadByteTimed() == kAck;
    }
  }
  // Without an acknowledged block the device has no request, whatever it answers to EOT.
  if (!acked) throw EWriteExcept("Ошибка передачи блока - блок не подтвержден");
  SendEot();
}

void XModemProtocol::WaitReady() {
  SetStatus("Ожидание готовности прибора для передачи запроса");
  bool ready = false;
  for (int i = 0; i < kReadyWaits && !ready; ++i) {
    Poll();
    link_->CheckLink();
    if (link_->InCount() == 0)
      link_->WaitData(50);
    else
      ready = link_->ReadByte() == kCrcRequest;
  }
  SetStatus("Ожидание готовности _ 20");
  if (ready || ReleaseRead()) return;
  static constexpr std::array<uint8_t, 2> kAckNak = {kAck, kNak};
  for (int i = 0; i < kReadyNudges; ++i) {
    Poll();
    link_->CheckLink();
    if (link_->InCount() == 0) {
      link_->Send(kAckNak);
      link_->WaitData(50);
    } else if (link_->ReadByte() == kCrcRequest) {
      return;
    }
  }
  throw EWriteExcept("Ошибка передачи блока - нет байта ожидания");
}

bool XModemProtocol::ReleaseRead() {
  SetStatus("ReleaseRead_Loop_1");
  for (int i = 0; i < 4; ++i) {
    Poll();
    link_->CheckLink();
    SendByte(kCrcRequest);
    if (AnythingWaiting()) break;
    if (!Sleep(1500)) throw EShutdownStop{};
  }
  SetStatus("ReleaseRead_If_1");
  if (!AnythingWaiting() && !Sleep(2000)) throw EShutdownStop{};
  if (AnythingWaiting()) return link_->ReadByte() == kCrcRequest;
  SetStatus("ReleaseRead_If_2");
  SendByte(kAck);
  link_->PurgeInput();
  link_->PurgeOutput();
  return false;
}

void XModemProtocol::SendEot() {
  SetStatus("SendReq_Передача окончания запроса");
  for (int i = 0; i < kEotSends; ++i) {
    Poll();
    SendByte(kEot);
    for (int j = 0; j < kEotReads; ++j) {
      link_->CheckLink();
      uint8_t byte = ReadByteTimed();
      if (byte == kAck) return;
      if (byte == kCrcRequest) throw EWriteExcept("Ошибка передачи блока - нет подтверждения завершения");
    }
  }
  throw EWriteExcept("Ошибка передачи блока - запрос не принят");
}

void XModemProtocol::WaitBlockStart(int attempt) {
  SendByte(kCrcRequest);
  link_->WaitData(150);
  for (int i = 0; i < kStartWaits; ++i) {
    Poll();
    if (link_->InCount() == 0) {
      link_->CheckLink();
      SendByte(kCrcRequest);
      link_->WaitData(attempt >= 6 ? 200 : 150);
    } else if (link_->ReadByte() == kSoh) {
      return;
    }
  }
  throw EReadExcept("Ошибка ожидания блока  - нет начала блока");
}

void XModemProtocol::Resync() {
  link_->PurgeInput();
  static constexpr std::array<uint8_t, 2> kNakC = {kNak, kCrcRequest};
  link_->Send(kNakC);
  for (int i = 0; i < kResyncChecks; ++i) {
    Poll();
    link_->CheckLink();
    if (!AnythingWaiting()) {
      if (!Sleep(50)) throw EShutdownStop{};
    } else if (link_->ReadByte() == kSoh) {
      return;
    }
  }
}

XModemProtocol::TBlockResult XModemProtocol::ReadBlock(uint8_t expected, bool firstBlock, bool& startFlag,
                                                       TBytes& data) {
  crc_.Reset();
  startFlag = false;
  uint8_t number = ReadByteTimed();
  uint8_t complement = ReadByteTimed();
  SetStatus("Чтение заголовка блока");
  if (number + complement != 255) {
    Resync();
    return TBlockResult::Retry;
  }
  SetStatus("Чтение тела блока");
  data.clear();
  int waitingSigns = 0;
  for (size_t i = 0; i < kDataSize + 2; ++i) {
    int64_t started = GetClock().TickMs();
    uint8_t byte = ReadByteTimed();
    // A device that fell back to waiting for a request sends "C" slowly instead of block bytes.
    bool waitingSign = byte == kCrcRequest && GetClock().TickMs() - started > kSlowByteMs;
    waitingSigns = waitingSign ? waitingSigns + 1 : 0;
    if (waitingSigns >= kWaitingSignsToFail)
      throw EReadExcept("Ошибка приема блока  - прибор в режием ожидания");
    crc_.Feed(byte);
    if (i < kDataSize) data.push_back(byte);
  }
  SetStatus("Завершение блока");
  if (crc_.Value() != 0) {
    Sleep(150);
    SendByte(kNak);
    try {
      ReadByteTimed();  // the start of the repeated block
    } catch (const EReadExcept&) {
      startFlag = true;
    }
    return TBlockResult::Retry;
  }
  if (number == expected) return TBlockResult::Accepted;
  if (!firstBlock && number == static_cast<uint8_t>(expected - 1)) return TBlockResult::Repeated;
  throw EReadExcept("Ошибка приема блока - неверный номер блока " + std::to_string(number) + " вместо " +
                    std::to_string(expected));
}

std::optional<bool> XModemProtocol::ReadBlockEnd() {
  int cInRow = 0;
  for (int i = 0; i < kEndReads && cInRow < 5; ++i) {
    Poll();
    uint8_t byte = 0;
    try {
      byte = ReadByteTimed();
    } catch (const EReadExcept&) {
      byte = 0;
    }
    if (byte == kEot) {
      SendByte(kAck);
      return false;
    }
    if (byte == kSoh) return true;
    cInRow = byte == kCrcRequest ? cInRow + 1 : 0;
    if (!Sleep(150)) throw EShutdownStop{};
    SendByte(kNak);
  }
  return std::nullopt;
}

void XModemProtocol::CloseHeldLink() {
  link_->SetHoldMark(true);
  link_->Release();
  link_->SetHoldMark(false);
}

bool XModemProtocol::WaitNextBlock() {
  std::optional<bool> next;
  try {
    next = ReadBlockEnd();
  } catch (const EDeadlinePassed&) {
    CloseHeldLink();  // the device may still be sending: close the line under it either way
    throw;
  }
  if (next) return *next;
  CloseHeldLink();
  throw EReadExcept("Ошибка окончания блока - неверное окончание блока ");
}

void XModemProtocol::ReceiveFrame(TBytes& reply) {
  reply.clear();
  declaredBlocks_ = 0;
  bool startFlag = true;
  if (!Sleep(100)) throw EShutdownStop{};
  link_->PurgeInput();
  link_->PurgeOutput();
  uint32_t counter = 0;
  int repeats = 0;
  TBytes data;
  for (;;) {
    link_->CheckLink();
    ++counter;
    TBlockResult result = TBlockResult::Retry;
    for (int attempt = 1; attempt <= kBlockAttempts && result == TBlockResult::Retry; ++attempt) {
      Poll();
      link_->CheckLink();
      if (startFlag) WaitBlockStart(attempt);
      result = ReadBlock(static_cast<uint8_t>(counter), counter == 1, startFlag, data);
    }
    if (result == TBlockResult::Retry)
      throw EReadExcept("Ошибка чтения блока - блок не принимается (10 попыток)");
    if (result == TBlockResult::Accepted) {
      // The reply may not run past the length its header declared (nor past the buffer).
      if (counter > 1 && counter > declaredBlocks_)
        throw EReadExcept("Ошибка приема - ответ длиннее заявленной длины");
      reply.insert(reply.end(), data.begin(), data.end());
      if (counter == 1) TakeDeclaredLength(reply);
      repeats = 0;
    } else {
      // A device that keeps resending a block it had acknowledged never finishes: a few repeats only.
      if (++repeats > kMaxBlockRepeats) throw EReadExcept("Ошибка приема блока - блок повторяется");
      --counter;  // a repeat of the previous block: acknowledged, dropped, same number expected next
    }
    link_->PurgeInput();
    SendByte(kAck);
    if (!WaitNextBlock()) return;
  }
}

}  // namespace orvela
