#include "protocols/Protocol.h"

#include <atomic>

#include "protocols/MakerMessage.h"

namespace orvela {
namespace {

std::atomic<IExchangeJournal*> gExchangeJournal{nullptr};
std::atomic<int64_t> gRequestNumber{0};

// How each failure class is counted, which side of the exchange it ends and what the link is told: a
// receive that ran out of time is a device that did not answer (an inbound GPRS link keeps its socket for
// that), a lost connection or a failing port is a failed read, a refused request a failed write.
struct TFailureRule {
  bool (*matches)(const ELinkError&);
  int64_t TExchangeCounters::*counter;
  bool sendSide;
  int kind;
};

template <class E>
bool Is(const ELinkError& e) {
  return dynamic_cast<const E*>(&e) != nullptr;
}

constexpr TFailureRule kFailureRules[] = {
    {Is<EWriteExcept>, &TExchangeCounters::writeFailures, true, kFailWrite},
    {Is<EReadExcept>, &TExchangeCounters::readFailures, false, kFailNoAnswer},
    {Is<EConnectExcept>, &TExchangeCounters::connectionLosses, false, kFailRead},
    {Is<EPortExcept>, &TExchangeCounters::portFailures, false, kFailRead},
    {Is<EPriborReadExcept>, &TExchangeCounters::noAnswers, false, kFailNoAnswer},
};

constexpr const char* kDeadlineText = "Ошибка обмена - истекло время обмена";
// A framing that does not say otherwise gets one minute per exchange.
constexpr int64_t kDefaultExchangeBudgetMs = 60'000;

}  // namespace

IExchangeJournal* CurrentExchangeJournal() {
  return gExchangeJournal.load();
}
void SetExchangeJournal(IExchangeJournal* journal) {
  gExchangeJournal.store(journal);
}

int64_t CurrentRequestNumber() {
  return gRequestNumber.load();
}
int64_t NextRequestNumber() {
  return ++gRequestNumber;
}

bool TProtocol::Request(std::span<const uint8_t>, TBytes&) {
  return false;
}
int TProtocol::Transact(int, std::span<const uint8_t>, TBytes&) {
  return -1;
}

void TProtocol::SendRaw(std::span<const uint8_t> bytes) {
  if (link_) link_->Send(bytes);
}

std::string TProtocol::ReadRawByte() {
  return {};
}

void TProtocol::SendFrame(std::span<const uint8_t> request) {
  SendRaw(request);
}

void TProtocol::ReceiveFrame(TBytes& reply) {
  reply.clear();
}

bool TProtocol::Exchange(std::span<const uint8_t> request) {
  if (!link_) return false;
  link_->ClearReadCounter();
  link_->PurgeInput();
  link_->PurgeOutput();
  resultCode_ = 0;
  BeginExchange();
  ++counters_.requests;
  sendStatus_.clear();
  receiveStatus_.clear();
  reply_.clear();
  Log(name_ + ". Запрос № " + std::to_string(CurrentRequestNumber()) + " - " + FormatDateTime(Now()) + "; " +
      description_);
  TBytes sentBytes(request.begin(), request.end());
  bool sent = false;
  bool ok = false;
  exchangeStart_ = GetClock().TickMs();
  sending_ = false;
  ArmDeadline(ExchangeBudgetMs());
  try {
    sendStart_ = Now();
    Log("Посылка");
    SetStatus("Посылка запроса");
    sending_ = true;
    SendFrame(request);
    sending_ = false;
    if (ShuttingDown()) return false;
    sendStatus_ = "Успешно";
    sendEnd_ = Now();
    sent = true;
    receiveStart_ = Now();
    Log("");
    Log("Ответ");
    SetStatus("Чтение ответа");
    ReceiveFrame(reply_);
    if (ShuttingDown()) return false;
    receiveEnd_ = Now();
    CheckReply(reply_);
    receiveStatus_ = "Успешно";
    ok = true;
    ++counters_.successes;
    link_->ClearNoAnswerCount();
  } catch (const EShutdownStop&) {
    return false;
  } catch (const EDeadlinePassed&) {
    RecordDeadline();
  } catch (const EPortExcept& e) {
    if (link_->ReadCounter() == 0) resultCode_ = kResultPortFailure;
    RecordFailure(e);
  } catch (const ELinkError& e) {
    if (RecordFailure(e) == 0) throw;
  }
  JournalExchange(sentBytes, reply_, sent);
  Log("");
  return ok;
}

void TProtocol::RecordDeadline() {
  if (sending_)
    RecordFailure(EWriteExcept(kDeadlineText));
  else
    RecordFailure(EReadExcept(kDeadlineText));
}

bool TProtocol::MakerRequest(std::span<const uint8_t> request, TBytes& buffer) {
  replyArrived_ = false;
  bool ok = Exchange(request);
  if (link_) link_->Release();
  if (!ok) return false;
  replyArrived_ = true;
  return maker::CopyToAnswerBuffer(reply_, buffer);
}

void TProtocol::CheckReply(const TBytes&) {}

int64_t TProtocol::ExchangeBudgetMs() const {
  return kDefaultExchangeBudgetMs;
}

void TProtocol::ArmDeadline(int64_t budgetMs) {
  deadline_ = exchangeStart_ + budgetMs;
}

void TProtocol::Poll() {
  if (ShuttingDown()) throw EShutdownStop{};
  if (GetClock().TickMs() > deadline_) throw EDeadlinePassed{};
}

std::optional<uint8_t> TProtocol::ReadBytePolled(int attempts, int pollUnits) {
  for (int i = 0; i < attempts; ++i) {
    Poll();
    link_->CheckLink();
    if (link_->InCount() > 0) return link_->ReadByte();
    link_->WaitData(pollUnits);
  }
  return std::nullopt;
}

int32_t TProtocol::LineSpeed() const {
  return link_ != nullptr && link_->Settings() != nullptr ? link_->Settings()->BaudRate : 0;
}

Clock& TProtocol::GetClock() const {
  return link_ ? link_->GetClock() : SystemClock();
}

TDateTime TProtocol::Now() const {
  return GetClock().Now();
}

void TProtocol::BeginExchange() {
  order_ = link_ ? link_->Order() : nullptr;
  linkAddress_ = link_ ? link_->Address() : std::string();
  if (link_ && link_->Owner()) owner_ = link_->Owner();
}

void TProtocol::Log(const std::string& text) {
  if (!order_) return;
  IChannelLog* order = order_;
  RunInOwner(owner_, [order, &text] { order->LogLine(text); });
}

void TProtocol::SetStatus(const std::string& text) {
  if (!order_) return;
  IChannelLog* order = order_;
  RunInOwner(owner_, [order, &text] { order->SetStatus(text); });
}

bool TProtocol::Sleep(int64_t ms) {
  GetClock().Sleep(ms);
  return !ShuttingDown();
}

int TProtocol::RecordFailure(const ELinkError& error) {
  for (const TFailureRule& rule : kFailureRules) {
    if (!rule.matches(error)) continue;
    ++(counters_.*rule.counter);
    (rule.sendSide ? sendEnd_ : receiveEnd_) = Now();
    if (order_ && order_->TraceOn()) {
      (rule.sendSide ? sendStatus_ : receiveStatus_) = error.what();
      Log(error.what());
    }
    if (link_) link_->ReportFailure(rule.kind);
    return rule.kind;
  }
  return 0;
}

void TProtocol::JournalExchange(const TBytes& request, const TBytes& reply, bool sent) {
  IExchangeJournal* journal = CurrentExchangeJournal();
  if (!journal) return;
  auto write = [&] {
    journal->DebugTrace(linkAddress_, deviceIdentity_, request, 0, sendStatus_, sendStart_, sendEnd_);
    if (sent)
      journal->DebugTrace(linkAddress_, deviceIdentity_, reply, 1, receiveStatus_, receiveStart_,
                          receiveEnd_);
  };
  RunInOwner(owner_, write);
}

}  // namespace orvela
