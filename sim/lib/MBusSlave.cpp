#include "metersim/MBusSlave.h"

#include <algorithm>
#include <cmath>

#include "metersim/Values.h"

namespace orvela::sim {
namespace {

using namespace mbus;

constexpr int64_t kFrameGapMs = 200;

uint8_t Sum(std::span<const uint8_t> bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return static_cast<uint8_t>(sum);
}

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Eight decimal digits of the serial number (its digits, right-aligned), as BCD, least significant first.
void PutBcdSerial(std::vector<uint8_t>& out, std::string_view serial) {
  uint32_t number = 0;
  for (char c : serial)
    if (c >= '0' && c <= '9') number = (number * 10 + static_cast<uint32_t>(c - '0')) % 100'000'000;
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>((number % 10) | ((number / 10 % 10) << 4)));
    number /= 100;
  }
}

class TMBusSession : public TResponderSession {
 public:
  TMBusSession(const TMBusResponder& responder, TSessionContext& context)
      : responder_(responder), context_(context) {}

  void OnByte(uint8_t byte) override {
    int64_t now = context_.clock.TickMs();
    if (!frame_.empty() && now - lastByte_ > kFrameGapMs) frame_.clear();
    lastByte_ = now;
    if (frame_.empty() && byte != 0x10 && byte != 0x68) return;
    frame_.push_back(byte);
    size_t whole = frame_[0] == 0x10 ? 5 : frame_.size() >= 2 ? frame_[1] + 6u : 0;
    if (whole != 0 && frame_.size() >= whole) {
      std::vector<uint8_t> frame;
      frame.swap(frame_);
      Handle(frame);
    }
  }
  int64_t OnTick() override { return context_.clock.TickMs() + 50; }

 private:
  void Handle(const std::vector<uint8_t>& frame) {
    size_t from = frame[0] == 0x10 ? 1 : 4;
    if (frame.back() != 0x16 ||
        Sum(std::span(frame).subspan(from, frame.size() - from - 2)) != frame[frame.size() - 2])
      return;
    if (frame[0] == 0x68 && (frame[2] != frame[1] || frame[3] != 0x68)) return;
    uint8_t control = frame[from];
    uint8_t address = frame[from + 1];
    TExchangeRecord record{kMBusProtocol, address, control, frame, false};
    const TMBusMeter* meter = responder_.Find(address);
    TFaults faults = meter ? TFaultScope(&meter->Faults(), context_.lineFaults).Merged() : TFaults{};
    if (meter != nullptr && !faults.silent) {
      if (control == kSndNke) {
        uint8_t ack = kAck;
        context_.out.Send(std::span(&ack, 1));
        record.answered = true;
      } else if (frame[0] == 0x10 && (control == kReqUd2 || control == kReqUd2Fcb)) {
        context_.out.Send(meter->UserData(context_.calendar.Now(), accessNumber_++));
        record.answered = true;
      }
    }
    context_.log.Add(std::move(record));
  }

  const TMBusResponder& responder_;
  TSessionContext& context_;
  std::vector<uint8_t> frame_;
  int64_t lastByte_ = 0;
  uint8_t accessNumber_ = 0;
};

}  // namespace

uint32_t TMBusMeter::EnergyKwh(TDateTime now) const {
  return static_cast<uint32_t>(std::lround(CurrentValue(Serial(), kEnergyParam, now)));
}

uint32_t TMBusMeter::VolumeLitres(TDateTime now) const {
  return static_cast<uint32_t>(std::lround(CurrentValue(Serial(), kVolumeParam, now) * 1000.0));
}

std::vector<uint8_t> TMBusMeter::UserData(TDateTime now, uint8_t accessNumber) const {
  std::vector<uint8_t> body{0x08, Address(), 0x72};
  PutBcdSerial(body, Serial());
  body.insert(body.end(), {0x2D, 0x2C, 0x01, 0x04, accessNumber, 0x00, 0x00, 0x00});
  body.insert(body.end(), {0x04, 0x06});
  PutLe32(body, EnergyKwh(now));
  body.insert(body.end(), {0x04, 0x13});
  PutLe32(body, VolumeLitres(now));
  // Sized once and filled in place: start, L, L, start, body, check sum, stop.
  const auto length = static_cast<uint8_t>(body.size());
  std::vector<uint8_t> frame(body.size() + 6);
  frame[0] = 0x68;
  frame[1] = length;
  frame[2] = length;
  frame[3] = 0x68;
  std::copy(body.begin(), body.end(), frame.begin() + 4);
  frame[frame.size() - 2] = Sum(body);
  frame[frame.size() - 1] = 0x16;
  return frame;
}

bool TMBusResponder::AddDevice(std::shared_ptr<TSimDevice> device) {
  auto meter = std::dynamic_pointer_cast<TMBusMeter>(device);
  if (!meter || devices_.contains(meter->Address())) return false;
  devices_[meter->Address()] = std::move(meter);
  return true;
}

TSimDevice* TMBusResponder::FindDevice(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

const TMBusMeter* TMBusResponder::Find(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

std::unique_ptr<TResponderSession> TMBusResponder::OpenSession(TSessionContext& context) {
  return std::make_unique<TMBusSession>(*this, context);
}

}  // namespace orvela::sim
