#include "protocols/MBusProtocol.h"

#include <numeric>

namespace orvela {
namespace {

using namespace mbus;

constexpr int kByteReadPolls = 51;
constexpr int kPollUnits = 40;
constexpr int64_t kPairBytePauseMs = 10;

uint8_t CheckSum(std::span<const uint8_t> bytes) {
  return static_cast<uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

}  // namespace

TBytes BuildMBusFrame(std::span<const uint8_t> request) {
  TBytes frame(request.begin(), request.end());
  size_t from = !request.empty() && request[0] == kLongStart ? 4 : 1;
  frame.push_back(request.size() > from ? CheckSum(request.subspan(from)) : 0);
  frame.push_back(kStop);
  return frame;
}

MBusProtocol::MBusProtocol() : TProtocol("M-Bus") {}

int MBusProtocol::Transact(int, std::span<const uint8_t> request, TBytes& buffer) {
  resultCode_ = 0;
  if (!link_ || request.empty()) return -1;
  BeginExchange();
  if (!link_->Connect()) {
    Log("M-Bus. Нет соединения - " + link_->LastErrorText());
    link_->Release();
    return -1;
  }
  bool ok = Exchange(request);
  link_->Release();
  if (!ok) return -1;
  buffer = reply_;
  return 0;
}

void MBusProtocol::SendFrame(std::span<const uint8_t> request) {
  link_->Send(BuildMBusFrame(request));
}

uint8_t MBusProtocol::ReadByteMbus() {
  if (std::optional<uint8_t> byte = ReadBytePolled(kByteReadPolls, kPollUnits)) return *byte;
  throw EReadExcept("Ошибка чтения байта");
}

uint8_t MBusProtocol::Take(TBytes& reply) {
  uint8_t byte = ReadByteMbus();
  reply.push_back(byte);
  return byte;
}

void MBusProtocol::ReceiveFrame(TBytes& reply) {
  reply.clear();
  Log("Прием байта функции");
  uint8_t first = Take(reply);
  firstByteTime_ = Now();
  Log("Байт функции принят: " + HexByte(first));
  switch (first) {
    case kLongStart:
      TakeLongFrame(reply);
      break;
    case kShortStart:  // C, A, check sum, stop
      TakeShortFrame(reply);
      break;
    case 3:
    case 4: {
      size_t n = Take(reply);
      for (size_t i = 0; i < n / 2; ++i) {
        if (!Sleep(kPairBytePauseMs)) return;
        uint8_t a = ReadByteMbus();
        if (!Sleep(kPairBytePauseMs)) return;
        uint8_t b = ReadByteMbus();
        reply.push_back(b);
        reply.push_back(a);
      }
      break;
    }
    case 112:
    case 113:
      for (size_t n = Take(reply); n > 0; --n) Take(reply);
      break;
    case 240:
    case 241:
      Take(reply);
      break;
    default:  // the single-character acknowledgement E5 and anything without a body
      break;
  }
}

void MBusProtocol::TakeLongFrame(TBytes& reply) {
  length_ = Take(reply);
  for (int32_t i = 0; i < length_ + 4; ++i) Take(reply);
  // 68 L L 68, L bytes from C on, check sum, stop.
  if (reply[2] != reply[1] || reply[3] != kLongStart)
    throw EReadExcept("Ошибка приема - неверный заголовок кадра");
  std::span<const uint8_t> body(reply.data() + 4, static_cast<size_t>(length_));
  if (CheckSum(body) != reply[4 + length_]) throw EReadExcept("Ошибка приема - неверная контрольная сумма");
  if (reply.back() != kStop) throw EReadExcept("Ошибка приема - нет стоп-байта");
}

void MBusProtocol::TakeShortFrame(TBytes& reply) {
  for (int i = 0; i < 4; ++i) Take(reply);
  if (CheckSum(std::span<const uint8_t>(reply).subspan(1, 2)) != reply[3])
    throw EReadExcept("Ошибка приема - неверная контрольная сумма");
  if (reply[4] != kStop) throw EReadExcept("Ошибка приема - нет стоп-байта");
}

}  // namespace orvela
