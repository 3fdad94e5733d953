#include "links/CommPort.h"

#include <algorithm>
#include <vector>

#include "links/PortMap.h"
#include "platform/JournalSink.h"

namespace orvela {

TCommPort::TCommPort(TConnSettings* settings, Clock& clock, TCommBackend& backend)
    : TConnectionDevice(settings, clock), comm_(clock, backend) {
  comm_.SetBaudRate(settings != nullptr && settings->BaudRate > 0 ? settings->BaudRate : 9600);
  comm_.SetDTRProp(true);
  comm_.SetParity(TParity::pNone);
}

TCommPort::~TCommPort() = default;

bool TCommPort::SetAddress(const std::string& address) {
  if (!PortNameProblem(address).empty() && (address.empty() || address.front() != '/')) return false;
  // A link moved to another port must not keep the old one.
  if (comm_.Connected() && address != portName_) ClosePort();
  portName_ = address;
  address_ = address;
  return true;
}

void TCommPort::OpenPort() {
  if (comm_.Connected()) return;
  std::string problem;
  comm_.SetDeviceName(ResolvePortPath(portName_, &problem));
  if (!problem.empty()) LogLine(problem);
  comm_.Open();
  buffer_.Reset();
}

void TCommPort::ClosePort() {
  comm_.Close();
  buffer_.Reset();
  connected_ = false;
}

bool TCommPort::Connect() {
  try {
    if (!comm_.Connected() || comm_.HungUp()) {
      ClosePort();
      LogLine("Открытие порта. Скорость: " + std::to_string(comm_.BaudRate()));
      OpenPort();
      clock_.Sleep(kOpenSettleMs);
      comm_.LinesUp(true);
      EchoTest();
    }
    connected_ = true;
    return true;
  } catch (const std::exception& e) {
    LogLine(portName_ + ": " + e.what());
    if (settings_) JournalLine(std::string(e.what()) + " (" + portName_ + ")", settings_->Key.ConnName);
    return false;
  }
}

void TCommPort::Release() {
  if (hold_) ClosePort();
}

bool TCommPort::SetHold(bool hold) {
  if (!hold) {
    ClosePort();
    hold_ = false;
    return true;
  }
  hold_ = true;
  try {
    OpenPort();
  } catch (const std::exception&) {
    hold_ = false;
    return false;
  }
  return true;
}

int TCommPort::InCount() {
  return comm_.InQueue() + buffer_.Count();
}

int TCommPort::OutCount() {
  return comm_.OutQueue();
}

void TCommPort::PurgeInput() {
  comm_.PurgeIn();
  buffer_.Reset();
}

void TCommPort::PurgeOutput() {
  comm_.PurgeOut();
}

bool TCommPort::WaitData(int polls) {
  if (buffer_.Count() > 0) return true;
  return comm_.WaitInput(static_cast<int64_t>(std::max(polls, 0)) * kPollMs);
}

int TCommPort::Refill(int64_t ms) {
  spare_ = 0;
  if (buffer_.Count() == 0) buffer_.Reset();
  if (!comm_.WaitInput(ms)) return 0;
  int room = std::min(buffer_.Room(), TComm32::kReadBufferSize);
  if (room <= 0) return 0;
  std::vector<uint8_t> scratch(static_cast<size_t>(room));
  int n = comm_.Read(scratch.data(), room);
  if (n <= 0) return 0;
  ++readCounter_;
  if (!AcceptChunk(std::span(scratch.data(), static_cast<size_t>(n)))) return 0;
  for (int i = 0; i < n; ++i) buffer_.Put(scratch[static_cast<size_t>(i)]);
  return n;
}

uint8_t TCommPort::ReadByte() {
  CheckLink();
  if (buffer_.Count() == 0 && Refill(TComm32::kReadTotalMultiplierMs + TComm32::kReadTotalConstantMs) == 0) {
    CheckLink();
    throw EPortExcept(kPortReadErrorText);
  }
  uint8_t byte = buffer_.Take();
  TraceReceived(byte);
  return byte;
}

void TCommPort::DropSerialEcho(size_t n) {
  WaitData(100);
  for (int i = 0; i < kEchoChecks && static_cast<size_t>(comm_.InQueue()) < n; ++i)
    clock_.Sleep(kEchoCheckMs);
  if (static_cast<size_t>(comm_.InQueue()) < n) {
    LogLine("Эхо получено не полностью: " + std::to_string(comm_.InQueue()) + " байт из " +
            std::to_string(n));
    return;
  }
  for (size_t i = 0; i < n; ++i) TraceReceived(comm_.ReadOne());
}

void TCommPort::Send(std::span<const uint8_t> bytes) {
  if (!comm_.Connected()) throw EWriteExcept("Порт закрыт");
  PurgeInput();
  scratchCount_ = 0;
  int written = comm_.Write(bytes);
  if (comm_.HungUp()) throw EConnectExcept(kConnectionLostText);
  if (written < static_cast<int>(bytes.size())) throw EWriteExcept("Ошибка записи в порт");
  if (EchoFlag() != 0) DropSerialEcho(bytes.size());
  TraceSent(bytes);
}

int TCommPort::SetLineParam(int kind, int value) {
  auto inRange = [value](int count) { return value >= 0 && value < count; };
  switch (kind) {
    case kLineParamParity:
      if (inRange(kParityCount)) comm_.SetParity(static_cast<TParity>(value));
      break;
    case kLineParamStop:
      if (inRange(kStopbitsCount)) comm_.SetStopbits(static_cast<TStopbits>(value));
      break;
    case kLineParamDatabits:
      if (inRange(kDatabitsCount)) comm_.SetDatabits(static_cast<TDatabits>(value));
      break;
    case kLineParamRtsUp:
    case kLineParamRtsDown:
      comm_.SetRTSProp(kind == kLineParamRtsUp);
      break;
    case kLineParamDtrUp:
    case kLineParamDtrDown:
      comm_.SetDTRProp(kind == kLineParamDtrUp);
      break;
    default:
      break;
  }
  return 0;
}

TLineCommPort::TLineCommPort(TConnSettings* settings, Clock& clock, TCommBackend& backend)
    : TCommPort(settings, clock, backend) {
  comm_.SetRTSProp(false);
}

bool TLineCommPort::CheckLink() {
  // A pulled adapter (or a closed pseudo-terminal) is a lost connection, not an endless silence.
  if (comm_.Connected() && comm_.HungUp()) {
    ClosePort();
    throw EConnectExcept(kConnectionLostText);
  }
  return true;
}

}  // namespace orvela
