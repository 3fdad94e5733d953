#pragma once
// What history reads keep for the requests that page through them: the records of recently finished reads
// (a later page of the same window is cut from them instead of reading the meter again), and the
// continuations handed out, kept here so that a client holds an opaque token that cannot widen its window.
// Both are bounded in count and age (the clock's milliseconds). Main thread only.
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "endpoint/EndpointCodec.h"

namespace orvela::endpoint {

struct THistoryRecord {
  Json v;
  int64_t t = 0;
  DWORD q = 0;
};
using TRecords = std::vector<THistoryRecord>;

// One read's window and records: the window's, and those of the bound searches before and after it.
struct THistoryWindow {
  std::string nid;
  int64_t start = 0;
  int64_t end = 0;
  bool bounds = false;
  TRecords window, before, after;
};

// Where a paged read goes on: its window from start, less the records at start the last page gave.
struct TContinuation {
  std::string nid;
  int64_t start = 0;
  int64_t end = 0;
  bool bounds = false;
  size_t skip = 0;
};

class THistoryKept {
 public:
  static constexpr size_t kMaxReads = 16;
  static constexpr size_t kMaxRecords = 1'000'000;
  static constexpr int64_t kReadAgeMs = 60'000;
  static constexpr size_t kMaxTokens = 1024;
  static constexpr int64_t kTokenAgeMs = 600'000;

  // Keeps a finished read, the oldest ones going when the limits are passed.
  void Keep(THistoryWindow read);
  // A kept read's records cut to a window it covers (bounds only when it searched them).
  std::optional<THistoryWindow> Covering(const std::string& nid, int64_t start, int64_t end, bool bounds);
  // A new opaque token for the continuation.
  std::string Hand(TContinuation next);
  // The continuation a token names, while it is kept.
  std::optional<TContinuation> Find(const std::string& token);

 private:
  struct TRead {
    THistoryWindow records;
    int64_t kept = 0;
  };
  struct TToken {
    TContinuation next;
    int64_t handed = 0;
  };
  void Prune(int64_t now);

  std::list<TRead> reads_;  // latest first
  size_t records_ = 0;
  std::map<std::string, TToken> tokens_;
  std::list<std::string> tokenOrder_;  // oldest first
};

}  // namespace orvela::endpoint
