#include "protocols/Protocol.h"

#include <atomic>

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
  if (owner_)
    owner_->Synchronize([order, &text] { order->LogLine(text); });
  else
    order->LogLine(text);
}

void TProtocol::SetStatus(const std::string& text) {
  if (!order_) return;
  IChannelLog* order = order_;
  if (owner_)
    owner_->Synchronize([order, &text] { order->SetStatus(text); });
  else
    order->SetStatus(text);
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
  if (owner_)
    owner_->Synchronize(write);
  else
    write();
}

}  // namespace orvela
