#include "endpoint/HistoryKept.h"

#include <algorithm>
#include <random>

#include "platform/Clock.h"

namespace orvela::endpoint {
namespace {

size_t Size(const THistoryWindow& read) {
  return read.window.size() + read.before.size() + read.after.size();
}

void CopyWhere(const TRecords& from, TRecords& to, int64_t low, int64_t high) {
  for (const THistoryRecord& record : from)
    if (record.t >= low && record.t < high) to.push_back(record);
}

// 128 random bits from a generator seeded once per process: a token cannot be guessed from another.
std::string NewToken() {
  static std::mt19937_64 random = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (int half = 0; half < 2; ++half) {
    uint64_t bits = random();
    for (int k = 0; k < 16; ++k, bits >>= 4) token += kHex[bits & 15];
  }
  return token;
}

}  // namespace

void THistoryKept::Prune(int64_t now) {
  while (!reads_.empty() &&
         (now - reads_.back().kept > kReadAgeMs || reads_.size() > kMaxReads || records_ > kMaxRecords)) {
    records_ -= Size(reads_.back().records);
    reads_.pop_back();
  }
  while (!tokenOrder_.empty()) {
    auto it = tokens_.find(tokenOrder_.front());
    if (it != tokens_.end() && now - it->second.handed <= kTokenAgeMs && tokens_.size() <= kMaxTokens) break;
    if (it != tokens_.end()) tokens_.erase(it);
    tokenOrder_.pop_front();
  }
}

void THistoryKept::Keep(THistoryWindow read) {
  if (Size(read) > kMaxRecords) return;
  const int64_t now = SystemClock().TickMs();
  records_ += Size(read);
  reads_.push_front(TRead{std::move(read), now});
  Prune(now);
}

std::optional<THistoryWindow> THistoryKept::Covering(const std::string& nid, int64_t start, int64_t end,
                                                     bool bounds) {
  const int64_t now = SystemClock().TickMs();
  Prune(now);
  auto it = std::find_if(reads_.begin(), reads_.end(), [&](const TRead& read) {
    const THistoryWindow& r = read.records;
    return r.nid == nid && r.start <= start && end <= r.end && (r.bounds || !bounds);
  });
  if (it == reads_.end()) return std::nullopt;
  reads_.splice(reads_.begin(), reads_, it);  // the latest used goes last
  const THistoryWindow& kept = it->records;
  THistoryWindow cut{nid, start, end, bounds, {}, {}, {}};
  CopyWhere(kept.window, cut.window, start, end);
  if (bounds) {
    // What lies before the window and after it, in the kept window or its own bound searches.
    CopyWhere(kept.before, cut.before, INT64_MIN, start);
    CopyWhere(kept.window, cut.before, INT64_MIN, start);
    CopyWhere(kept.window, cut.after, end, INT64_MAX);
    CopyWhere(kept.after, cut.after, end, INT64_MAX);
  }
  return cut;
}

std::string THistoryKept::Hand(TContinuation next) {
  const int64_t now = SystemClock().TickMs();
  std::string token = NewToken();
  tokens_[token] = TToken{std::move(next), now};
  tokenOrder_.push_back(token);
  Prune(now);
  return token;
}

std::optional<TContinuation> THistoryKept::Find(const std::string& token) {
  Prune(SystemClock().TickMs());
  auto it = tokens_.find(token);
  if (it == tokens_.end()) return std::nullopt;
  return it->second.next;
}

}  // namespace orvela::endpoint
