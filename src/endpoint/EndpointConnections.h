#pragma once
// The endpoint's connection table: owned by the I/O thread, written to by the main thread through Send.
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "endpoint/Endpoint.h"
#include "endpoint/EndpointRequest.h"

namespace orvela {

class TEndpoint::TConnections {
 public:
  struct TConn {
    int fd = -1;
    std::string in;
    bool skipping = false;  // past an oversized line, up to its LF
    std::string out;
    bool hello = false;
    bool gateway = false;  // said hello as the UA gateway: its slot is kept for it
    bool closeAfterFlush = false;
    bool cut = false;           // to be closed at once: its outbox outgrew the limit, or it idled
    int64_t opened = 0;         // in the clock's milliseconds
    int64_t stalledSince = -1;  // since when, in the clock's milliseconds, its full outbox has not moved
    std::set<int64_t> requests;
    std::set<int64_t> cancelled;
    size_t subs = 0;
  };

  explicit TConnections(int wakeFd) : wakeFd_(wakeFd) {}

  // Queues a message; a reply (final) ends its request. Unknown connections (gone) drop it.
  void Send(uint64_t conn, const endpoint::Json& message, bool final = false);
  // Every message to a connection is queued here, under the lock: a client that stops reading while
  // messages keep coming is cut off, not buffered for.
  static void Queue(TConn& conn, const endpoint::Json& message);
  bool Cancelled(uint64_t conn, int64_t id);
  void SetSubs(uint64_t conn, size_t subs);
  void Wake();

  std::mutex mutex_;
  std::map<uint64_t, TConn> conns_;
  uint64_t next_ = 1;
  std::atomic<uint32_t> generation{0};
  const int64_t start = endpoint::NowMicros();
  std::atomic<bool> stopping{false};
  // Device and archive reads in flight: while there are any, the I/O thread has the main thread look at their deadlines.
  std::atomic<size_t> deviceReads{0};

 private:
  int wakeFd_;
};

}  // namespace orvela
