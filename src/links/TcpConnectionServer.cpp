#include "links/TcpConnectionServer.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "links/PortMap.h"
#include "links/SocketUtil.h"
#include "platform/JournalSink.h"

namespace orvela {
namespace su = socketutil;
namespace {

constexpr size_t kMaxNumber = 20;
constexpr size_t kScratchBytes = 65536;
constexpr int kSendPauseMs = 50;
constexpr int kBusyCheckMs = 1000;

// Digits and the signs people write numbers with; nothing that could end the dial command early.
bool DialableNumber(std::string_view number) {
  if (NumberKey(std::string(number)).empty() || number.size() > kMaxNumber) return false;
  return std::all_of(number.begin(), number.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) ||
           std::string_view("+-() ").find(c) != std::string_view::npos;
  });
}

}  // namespace

TTCPConnectionServer::TTCPConnectionServer(TConnSettings* settings, Clock& clock, TCommBackend& backend,
                                           std::shared_ptr<TAsyncTCP> listener, TActiveCalls& calls)
    : TConnectionDevice(settings, clock),
      // The GSM modem's port has no share in the connection's echo fields: they describe the socket line.
      gsm_(nullptr, clock, backend),
      listener_(std::move(listener)),
      calls_(calls) {
  gsm_.Port().SetRTSProp(true);
  gsm_.Port().SetDTRProp(true);
  gsm_.Port().SetDatabits(TDatabits::db8);
  gsm_.Port().SetStopbits(TStopbits::sb1_0);
  dialPrefix_ = settings == nullptr || settings->ModemMode != 0 ? "ATDT" : "ATDP";
  // In wait-only mode the baud rate field holds minutes.
  if (settings != nullptr && settings->ModemMode != kWaitOnlyMode && settings->BaudRate > 0)
    gsm_.Port().SetBaudRate(settings->BaudRate);
  keyCopy_.ConnType = static_cast<uint8_t>(TConnKind::InboundGprs);
}

TTCPConnectionServer::~TTCPConnectionServer() {
  calls_.Remove(this);
  // The modem stays connected for the next link of the connection; the listener disconnects it if none
  // comes.
  if (client_ && listener_) listener_->GiveBack(client_->serial, this);
}

bool TTCPConnectionServer::SetAddress(const std::string& address) {
  size_t colon = address.find(':');
  if (colon == std::string::npos) return false;
  std::string port = address.substr(0, colon), number = address.substr(colon + 1);
  if (!DialableNumber(number)) return false;
  if (!port.empty() && !PortNameProblem(port).empty() && !port.starts_with("/")) return false;
  if (!port.empty() && !gsm_.SetAddress(port)) return false;
  if (client_ && NumberKey(number) != NumberKey(number_)) LoseSocket(false);
  address_ = address;
  number_ = number;
  keyCopy_.PortName = port;
  keyCopy_.TelName = number;
  return true;
}

bool TTCPConnectionServer::WaitOnly() const {
  return keyCopy_.PortName.empty() || (settings_ != nullptr && settings_->ModemMode == kWaitOnlyMode);
}

bool TTCPConnectionServer::Stopping() const {
  return cancelRequest_ || ShuttingDown() || !listener_ || !listener_->Listening();
}

void TTCPConnectionServer::Event(const std::string& text) {
  eventText_ = text;
  eventNumber_ = number_;
  std::string number = number_;
  RunInOwner(owner_, [&] { JournalLine(text, number); });
  LogLine(" - " + text);
}

TTCPConnectionServer::TLook TTCPConnectionServer::WaitForModem(int64_t limitMs, bool showStatus) {
  const int64_t start = clock_.TickMs();
  for (;;) {
    if (Stopping()) return TLook::Cancelled;
    if (std::optional<TMyClient> found = listener_->FindClient(number_, this)) {
      client_ = std::move(found);
      return TLook::Found;
    }
    int64_t elapsed = clock_.TickMs() - start;
    if (elapsed >= limitMs) return TLook::NotFound;
    if (showStatus && order_) order_->SetStatus("GPRS ожидание: " + std::to_string(elapsed));
    clock_.Sleep(std::min<int64_t>(kLookMs, limitMs - elapsed));
  }
}

bool TTCPConnectionServer::Connect() {
  cancelRequest_ = false;
  if (client_ && !su::PeerGone(client_->socket->Fd())) return connected_ = true;
  if (client_) LoseSocket(true);
  if (number_.empty()) return false;
  noAnswerCount_ = 0;
  const bool waitOnly = WaitOnly();
  const int64_t gprsWaitMs = listener_ ? listener_->GprsWaitMs() : 0;
  int64_t firstLookMs = 0;
  if (waitOnly)
    firstLookMs = settings_ != nullptr && settings_->ModemMode == kWaitOnlyMode
                      ? static_cast<int64_t>(std::max(settings_->BaudRate, 0)) * 60'000
                      : gprsWaitMs;
  Event("Поиск GPRS соединения без звонка " + number_);
  TLook look = listener_ ? WaitForModem(firstLookMs, waitOnly) : TLook::NotFound;
  if (look == TLook::NotFound && !waitOnly) {
    if (!PlaceCall()) return EndWithout(Stopping() ? TLook::Cancelled : TLook::CallFailed);
    clock_.Sleep(500);
    if (order_) order_->SetStatus("GPRS начало ожидания");
    LogLine("GPRS начало ожидание");
    look = WaitForModem(gprsWaitMs, true);
    LogLine("GPRS ожидание: закончено");
  }
  return look == TLook::Found ? Take() : EndWithout(look);
}

bool TTCPConnectionServer::EndWithout(TLook look) {
  // A listener that is not listening is no cancel: no modem can ever come.
  if (look == TLook::Cancelled && listener_ && listener_->Listening())
    Event("Отмена GPRS соединения ! " + number_);
  else if (look != TLook::CallFailed)
    Event("Соединение Не найдено ! " + number_);
  return false;
}

bool TTCPConnectionServer::WaitForFreeModem() {
  const int64_t start = clock_.TickMs();
  LogLine(" - Поиск Соединения " + number_);
  for (;;) {
    if (Stopping()) return false;
    std::optional<std::string> blocker = calls_.TryAdd(this, keyCopy_.PortName, number_);
    if (!blocker) return true;
    LogLine(" - Соединение блокировано " + *blocker);
    if (clock_.TickMs() - start >= kBusyWaitMaxMs) {
      Event("GSM модем " + keyCopy_.PortName + " занят вызовом " + *blocker);
      return false;
    }
    clock_.Sleep(kBusyCheckMs);
  }
}

// False when the call could not be placed, or was cancelled (the reason is in the event log).
bool TTCPConnectionServer::PlaceCall() {
  if (!WaitForFreeModem()) return false;
  LogLine(" - Можно соединяться " + number_);
  gsm_.SetOrder(order_);
  gsm_.SetOwner(owner_);
  if (!gsm_.Open()) {
    Event("Порт открыть не удалось " + keyCopy_.PortName);
    calls_.Remove(this);
    return false;
  }
  LogLine(" - Порт открыт " + number_);
  int result = kWakeUpFailed;
  try {
    TWakeUpCall call{gsm_,
                     clock_,
                     dialPrefix_,
                     number_,
                     [this](const std::string& text) { Event(text); },
                     [this](const std::string& text) { LogLine(text); },
                     [this] { return Stopping(); }};
    result = call.Call();
  } catch (const std::exception& e) {
    Event("Ошибка GSM модема (" + keyCopy_.PortName + "): " + e.what());
  }
  gsm_.Close();
  clock_.Sleep(500);
  LogLine(" - Порт закрыт " + number_);
  calls_.Remove(this);
  return result == kWakeUpWoken;
}

bool TTCPConnectionServer::Take() {
  noAnswerCount_ = 0;
  Event("Подключение от номера " + client_->number + " найдено");
  Event("Соединение установлено " + number_);
  moduleKind_ = client_->moduleKind;
  dataArrived_ = 0;
  buffer_.Reset();
  for (uint8_t byte : client_->early) buffer_.Put(byte);
  LogLine("Установка GPRS таймаута приема: " + std::to_string(kReceiveTimeoutMs));
  LogLine("Установка GPRS таймаута передачи: " + std::to_string(kSendTimeoutMs));
  connected_ = true;
  clock_.Sleep(100);
  return true;
}

void TTCPConnectionServer::LoseSocket(bool forget) {
  if (client_ && listener_) {
    if (forget)
      listener_->Forget(client_->serial);
    else
      listener_->GiveBack(client_->serial, this);
  }
  client_.reset();
  buffer_.Reset();
  connected_ = false;
}

void TTCPConnectionServer::ConnectionLost() {
  LoseSocket(true);
  throw EConnectExcept(kConnectionLostText);
}

bool TTCPConnectionServer::CheckLink() {
  return client_ && !su::PeerGone(client_->socket->Fd());
}

void TTCPConnectionServer::Release() {
  if (hold_) LoseSocket(true);
}

void TTCPConnectionServer::DropClient() {
  LoseSocket(true);
  if (listener_ && !number_.empty()) listener_->RemoveClient(number_, this);
}

int TTCPConnectionServer::Refill() {
  if (buffer_.Count() == 0) buffer_.Reset();
  int room = buffer_.Room();
  if (room <= 0) return 0;
  std::vector<uint8_t> scratch(std::min<size_t>(static_cast<size_t>(room), kScratchBytes));
  ssize_t n = ::recv(client_->socket->Fd(), scratch.data(), scratch.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (n <= 0) {
    lastError_ = n < 0 ? su::WsaErrorCode(errno) : su::WsaErrorCode(ECONNRESET);
    LogLine(n < 0 ? "{-1 !!!}" : "{0 !!!}");
    ConnectionLost();
  }
  LogLine("Чтение из сокета: " + std::to_string(n));
  for (ssize_t i = 0; i < n; ++i) buffer_.Put(scratch[static_cast<size_t>(i)]);
  ++readCounter_;
  return static_cast<int>(n);
}

bool TTCPConnectionServer::WaitData(int polls) {
  if (!client_) throw EConnectExcept(kConnectionLostText);
  if (buffer_.Count() > 0) return true;
  int64_t deadline = clock_.TickMs() + static_cast<int64_t>(std::max(polls, 0)) * kPollMs;
  for (;;) {
    int64_t left = std::max<int64_t>(deadline - clock_.TickMs(), 0);
    if (su::WaitReadable(client_->socket->Fd(), clock_, left)) Refill();
    if (buffer_.Count() > 0) {
      dataArrived_ = 1;
      return true;
    }
    if (deadline - clock_.TickMs() <= 0) return false;
  }
}

uint8_t TTCPConnectionServer::ReadByte() {
  if (buffer_.Count() == 0) {
    // A device that says nothing is no lost connection: the framing counts it as no answer.
    if (!WaitData(static_cast<int>(kReceiveTimeoutMs / kPollMs))) {
      lastError_ = su::WsaErrorCode(ETIMEDOUT);
      throw EReadExcept("Нет данных из сокета (Ошибка " + std::to_string(lastError_) + ")");
    }
  }
  uint8_t byte = buffer_.Take();
  TraceReceived(byte);
  return byte;
}

void TTCPConnectionServer::PurgeInput() {
  if (client_) {
    int fd = client_->socket->Fd();
    int waiting = 0;
    if (::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0) {
      std::vector<uint8_t> scratch(std::min<size_t>(static_cast<size_t>(waiting), kScratchBytes));
      ::recv(fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
    }
  }
  buffer_.Reset();
  dataArrived_ = 0;
}

void TTCPConnectionServer::Send(std::span<const uint8_t> bytes) {
  clock_.Sleep(kSendPauseMs);
  if (!client_) throw EConnectExcept(kConnectionLostText);
  scratchCount_ = 0;
  const int fd = client_->socket->Fd();
  const int64_t deadline = clock_.TickMs() + kSendTimeoutMs;
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    bool full = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    if (!full) lastError_ = su::WsaErrorCode(errno);
    int64_t left = deadline - clock_.TickMs();
    if (!full || left <= 0 || su::WaitConnected(fd, clock_, left) != 0) {
      if (full) lastError_ = su::WsaErrorCode(ETIMEDOUT);
      ConnectionLost();
    }
  }
  clock_.Sleep(kSendPauseMs);
  if (EchoFlag() != 0) DropEcho(bytes.size());
  TraceSent(bytes);
}

int TTCPConnectionServer::ReportFailure(int kind) {
  bool keep = moduleKind_ == 2 && kind == kFailNoAnswer && noAnswerCount_ <= kNoAnswerKept;
  if (!keep && client_) LoseSocket(true);
  ++noAnswerCount_;
  return 0;
}

}  // namespace orvela
