#pragma once
// An in-memory line to a scripted XModem meter. What the framing sends reaches the meter at once; the
// meter's answers are scheduled in the line's time, which moves only while the framing waits (manual
// clock), so fault cases with minutes of protocol time-outs run in microseconds and without races.
#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "links/ConnectionDevice.h"

namespace orvela::test {

using Bytes = std::vector<uint8_t>;

// Written from the XModem description, not from the framing: table-driven CRC-16/XMODEM.
inline uint16_t MeterCrc(const uint8_t* data, size_t n) {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t c = static_cast<uint16_t>(i << 8);
      for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      t[i] = c;
    }
    return t;
  }();
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i)
    crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

struct TMeterScript {
  int64_t firstCAtMs = 0;      // when the meter first asks for a request with "C"; -1 never
  bool refuseRequest = false;  // answers every request block with NAKs and asks again
  Bytes reply;                 // reply payload, header included; sent in 128-byte blocks
  int badCrcBlock = 0;         // 1-based block first sent with a broken CRC
  int wrongNumberBlock = 0;    // block sent with a number five too high
  int repeatBlock = 0;         // block sent a second time after its ACK
  bool sendEot = true;
  bool junkForEot = false;  // with sendEot off: a stray byte answers every ACK or NAK after the last block
  int waitingBlock = 0;     // block whose body turns into slow "C" bytes (meter fell back to waiting)
  int closeInBlock = 0;     // the line closes after half of this block
  bool silentAfterRequest = false;
  bool portFailure = false;    // the serial component fails on the first wait
  bool resendForever = false;  // every ACK brings the same block again
  int64_t dripMs = 0;          // reply blocks arrive one byte every dripMs
  int64_t blockGapMs = 0;      // each reply block arrives this long after it was asked for
  int pollMs = 20;             // the link's poll unit (20 TCP, 5 serial)
};

class TScriptedMeterLine : public TConnectionDevice {
 public:
  static constexpr uint8_t kSoh = 0x01, kEot = 0x04, kAck = 0x06, kNak = 0x15, kC = 'C';

  TScriptedMeterLine(TMeterScript script, ManualClock& clock)
      : TConnectionDevice(nullptr, clock), s_(std::move(script)), manual_(clock), nextCAt_(s_.firstCAtMs) {}

  // --- link side ---
  bool CheckLink() override { return true; }
  int InCount() override {
    MoveDue();
    return static_cast<int>(input_.size());
  }
  uint8_t ReadByte() override {
    MoveDue();
    if (input_.empty()) return 0;
    uint8_t b = input_.front();
    input_.erase(input_.begin());
    ++readCounter_;
    return b;
  }
  bool WaitData(int polls) override {
    if (s_.portFailure) throw EPortExcept("Ошибка порта");
    for (int i = 0;; ++i) {
      MoveDue();
      if (!input_.empty()) return true;
      if (closed_) throw EConnectExcept(kConnectionLostText);
      if (i >= polls) return false;
      manual_.Advance(s_.pollMs);
    }
  }
  void PurgeInput() override {
    MoveDue();
    input_.clear();
  }
  void Release() override { releasedHeld += hold_ ? 1 : 0; }
  int ReportFailure(int kind) override {
    reported.push_back(kind);
    return 0;
  }
  void Send(std::span<const uint8_t> bytes) override {
    if (closed_) throw EConnectExcept(kConnectionLostText);
    Bytes chunk(bytes.begin(), bytes.end());
    sent.push_back(chunk);
    OnChunk(chunk);
  }

  // --- what the meter saw ---
  std::vector<Bytes> sent;
  std::vector<Bytes> requestBlocks;  // data of every good request block
  int releasedHeld = 0;
  std::vector<int> reported;
  bool SawChunk(const Bytes& chunk) const {
    for (const auto& c : sent)
      if (c == chunk) return true;
    return false;
  }

 private:
  enum class Phase { Request, ReplyStart, Sending, EotSent, Done };

  void At(int64_t ms, Bytes bytes) { scheduled_.emplace(ms, std::move(bytes)); }
  void Now(Bytes bytes) { At(manual_.TickMs(), std::move(bytes)); }
  void MoveDue() {
    int64_t now = manual_.TickMs();
    if (phase_ == Phase::Request && nextCAt_ >= 0 && now >= nextCAt_) {
      input_.push_back(kC);
      nextCAt_ = now + 3000;
    }
    while (!scheduled_.empty() && scheduled_.begin()->first <= now) {
      auto& b = scheduled_.begin()->second;
      input_.insert(input_.end(), b.begin(), b.end());
      scheduled_.erase(scheduled_.begin());
    }
  }
  int BlockCount() const { return static_cast<int>((s_.reply.size() + 127) / 128); }

  Bytes Block(int index, bool firstSending) {
    uint8_t number = static_cast<uint8_t>(index + (index == s_.wrongNumberBlock ? 5 : 0));
    Bytes b{kSoh, number, static_cast<uint8_t>(255 - number)};
    for (size_t i = 0; i < 128; ++i) {
      size_t at = static_cast<size_t>(index - 1) * 128 + i;
      b.push_back(at < s_.reply.size() ? s_.reply[at] : 0x1A);
    }
    uint16_t crc = MeterCrc(b.data() + 3, 128);
    if (index == s_.badCrcBlock && firstSending) crc ^= 0x0101;
    b.push_back(static_cast<uint8_t>(crc >> 8));
    b.push_back(static_cast<uint8_t>(crc));
    return b;
  }

  // A reply block onto the line: whole, after the gap, or byte by byte.
  void Deliver(const Bytes& b) {
    int64_t at = manual_.TickMs() + s_.blockGapMs;
    if (s_.dripMs <= 0) return At(at, b);
    for (uint8_t byte : b) At(at += s_.dripMs, {byte});
  }

  void SendBlock(int index) {
    bool first = sentOnce_.insert(index).second;
    Bytes b = Block(index, first);
    if (index == s_.waitingBlock) {
      Now(Bytes(b.begin(), b.begin() + 3));
      for (int i = 1; i <= 6; ++i) At(manual_.TickMs() + 2000 * i, {kC});
      return;
    }
    if (index == s_.closeInBlock) {
      Now(Bytes(b.begin(), b.begin() + 60));
      closed_ = true;
      return;
    }
    Deliver(b);
  }

  void OnChunk(const Bytes& c) {
    switch (phase_) {
      case Phase::Request:
        if (c.size() == 133 && c[0] == kSoh) {
          if (MeterCrc(c.data() + 3, 128) == (c[131] << 8 | c[132]) && c[1] == 1 && c[2] == 254)
            requestBlocks.emplace_back(c.begin() + 3, c.begin() + 131);
          if (s_.refuseRequest) {
            Now(Bytes(6, kNak));
            nextCAt_ = manual_.TickMs() + 10;
          } else {
            Now({kAck});
            nextCAt_ = -1;
          }
        } else if (c == Bytes{kEot}) {
          Now({kAck});
          phase_ = s_.silentAfterRequest ? Phase::Done : Phase::ReplyStart;
        }
        break;
      case Phase::ReplyStart:
        if (c == Bytes{kC}) {
          current_ = 1;
          phase_ = Phase::Sending;
          SendBlock(current_);
        }
        break;
      case Phase::Sending:
        if (c == Bytes{kNak}) {
          SendBlock(current_);
        } else if (c == Bytes{kAck}) {
          if (s_.resendForever || (current_ == s_.repeatBlock && !repeated_)) {
            repeated_ = true;
            SendBlock(current_);
          } else if (++current_ <= BlockCount()) {
            SendBlock(current_);
          } else if (s_.sendEot) {
            Now({kEot});
            phase_ = Phase::EotSent;
          } else {
            phase_ = Phase::Done;
            if (s_.junkForEot) Now({0x00});
          }
        }
        break;
      case Phase::EotSent:
        if (c == Bytes{kAck}) phase_ = Phase::Done;
        break;
      case Phase::Done:
        if (s_.junkForEot && (c == Bytes{kAck} || c == Bytes{kNak})) Now({0x00});
        break;
    }
  }

  TMeterScript s_;
  ManualClock& manual_;
  int64_t nextCAt_;  // a waiting meter repeats its "C" every 3 s; -1 when it no longer waits
  Phase phase_ = Phase::Request;
  int current_ = 0;
  bool repeated_ = false;
  bool closed_ = false;
  std::set<int> sentOnce_;
  Bytes input_;
  std::multimap<int64_t, Bytes> scheduled_;
};

}  // namespace orvela::test
