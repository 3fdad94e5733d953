#pragma once
// An in-memory line to a scripted slave: every frame the framing sends is answered at once with the bytes a
// script makes from it; waits move a manual clock, so time-outs cost nothing. The check sums the tests put
// on replies are computed here, from the protocol descriptions, not by the framings.
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "links/ConnectionDevice.h"

namespace orvela::test {

using SlaveBytes = std::vector<uint8_t>;

// ModBus CRC-16 by the shift-register description (0xFFFF, reflected 0xA001), low byte first.
inline SlaveBytes WithModBusCrc(SlaveBytes frame) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : frame) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

class TScriptedSlaveLine : public TConnectionDevice {
 public:
  using Script = std::function<SlaveBytes(const SlaveBytes& frame)>;
  TScriptedSlaveLine(Script script, ManualClock& clock)
      : TConnectionDevice(nullptr, clock), script_(std::move(script)), clock_(clock) {}

  bool Connect() override {
    ++connects;
    return !refuseConnect;
  }
  bool CheckLink() override {
    if (portFailure) throw EPortExcept("Ошибка порта");
    return true;
  }
  int InCount() override { return static_cast<int>(in_.size()); }
  uint8_t ReadByte() override {
    uint8_t b = in_.front();
    in_.pop_front();
    ++readCounter_;
    return b;
  }
  bool WaitData(int polls) override {
    if (in_.empty()) clock_.Advance(static_cast<int64_t>(polls) * 20);
    return !in_.empty();
  }
  void PurgeInput() override { in_.clear(); }
  void Send(std::span<const uint8_t> bytes) override {
    SlaveBytes frame(bytes.begin(), bytes.end());
    sent.push_back(frame);
    SlaveBytes reply = script_(frame);
    in_.insert(in_.end(), reply.begin(), reply.end());
  }
  void Release() override { ++releases; }
  int ReportFailure(int kind) override {
    failures.push_back(kind);
    return 0;
  }
  void DropClient() override { ++drops; }

  std::vector<SlaveBytes> sent;
  std::vector<int> failures;
  int connects = 0;
  int releases = 0;
  int drops = 0;
  bool refuseConnect = false;
  bool portFailure = false;

 private:
  Script script_;
  ManualClock& clock_;
  std::deque<uint8_t> in_;
};

}  // namespace orvela::test
