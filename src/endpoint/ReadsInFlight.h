#pragma once
// The endpoint's reads that wait for devices, by number, on the main thread: each is answered once, when its
// devices have answered, at its deadline, or "cancelled"; a gone client's reads end without a reply. While
// any are out, the I/O thread has the main thread look at the deadlines. TRead has conn, id and deadline.
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>

#include "endpoint/EndpointConnections.h"
#include "platform/Clock.h"

namespace orvela::endpoint {

template <class TRead>
class TReadsInFlight {
 public:
  TReadsInFlight(const TReadsInFlight&) = delete;
  TReadsInFlight& operator=(const TReadsInFlight&) = delete;

  // A read in flight is withdrawn and answered "cancelled"; false when conn has no such read.
  bool Cancel(uint64_t conn, int64_t id);
  // A gone connection's reads are withdrawn without a reply.
  void Drop(uint64_t conn);
  // Reads past their deadline are answered with what has come.
  void Expire();

 protected:
  using TReads = std::map<uint64_t, std::unique_ptr<TRead>>;

  explicit TReadsInFlight(TEndpoint::TConnections& conns) : conns_(conns) {}
  // The derived destructor ends what is left, while its Withdraw can still be called.
  virtual ~TReadsInFlight();

  // The read's reply, from what it holds.
  virtual void Reply(TRead& read) = 0;
  // Takes back from the server what is still queued for the read.
  virtual void Withdraw(TRead& read) = 0;

  // The read waits from now until deadlineMs of the clock have passed.
  typename TReads::iterator Add(uint64_t number, std::unique_ptr<TRead> read, int64_t deadlineMs) {
    read->deadline = SystemClock().TickMs() + deadlineMs;
    auto it = reads_.emplace(number, std::move(read)).first;
    ++conns_.deviceReads;
    conns_.Wake();  // the I/O thread starts timing the deadlines
    return it;
  }
  typename TReads::iterator Find(uint64_t number) { return reads_.find(number); }
  TReads& Reads() { return reads_; }
  bool Known(typename TReads::iterator it) const { return it != reads_.end(); }
  void Finish(typename TReads::iterator it) {
    Reply(*it->second);
    End(it);
  }
  void End(typename TReads::iterator it) {
    Withdraw(*it->second);
    reads_.erase(it);
    --conns_.deviceReads;
  }
  void EndAll() {
    while (!reads_.empty()) End(reads_.begin());
  }

  TEndpoint::TConnections& conns_;

 private:
  template <class Pred>
  void EndWhere(Pred pred, bool reply) {
    for (auto it = reads_.begin(); it != reads_.end();) {
      auto next = std::next(it);
      if (pred(*it->second)) reply ? Finish(it) : End(it);
      it = next;
    }
  }

  TReads reads_;
};

// Out of the class, so that a read type known only to its reader's source file is needed there alone: the
// reader's header declares the instantiation extern, its source file makes it.
template <class TRead>
TReadsInFlight<TRead>::~TReadsInFlight() = default;

template <class TRead>
bool TReadsInFlight<TRead>::Cancel(uint64_t conn, int64_t id) {
  for (auto it = reads_.begin(); it != reads_.end(); ++it)
    if (it->second->conn == conn && it->second->id == id) {
      conns_.Send(conn, ErrorReply(id, kAbort, "cancelled"), true);
      End(it);
      return true;
    }
  return false;
}

template <class TRead>
void TReadsInFlight<TRead>::Drop(uint64_t conn) {
  EndWhere([conn](const TRead& read) { return read.conn == conn; }, false);
}

template <class TRead>
void TReadsInFlight<TRead>::Expire() {
  const int64_t now = SystemClock().TickMs();
  EndWhere([now](const TRead& read) { return read.deadline <= now; }, true);
}

}  // namespace orvela::endpoint
