#include "metersim/ModBusSlave.h"

#include <algorithm>
#include <deque>

namespace orvela::sim {

uint16_t modbus::Crc(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
  }
  return crc;
}

namespace {

using namespace modbus;

// Silence after which a partial frame is dropped (a real slave's 3.5 characters, generously).
constexpr int64_t kFrameGapMs = 200;
constexpr size_t kMaxFrame = 256;

// Length of a whole request frame (CRC included) by its function; 0 while it cannot be told yet, or for a
// function whose length is not known (the check sum decides).
size_t RequestLength(std::span<const uint8_t> frame) {
  if (frame.size() < 2) return 0;
  switch (frame[1]) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return 8;
    case 15:
    case 16:
      return frame.size() >= 7 ? 9 + frame[6] : 0;
    case kFnPut:
    case kFnRead:
      return frame.size() >= 3 ? 5 + frame[2] : 0;
    default:
      return 0;
  }
}

bool CrcCloses(std::span<const uint8_t> frame) {
  return frame.size() >= 4 && modbus::Crc(frame) == 0;
}

class TModBusSession : public TResponderSession {
 public:
  TModBusSession(const TModBusResponder& responder, TSessionContext& context)
      : responder_(responder), context_(context) {}

  void OnByte(uint8_t byte) override {
    int64_t now = context_.clock.TickMs();
    if (!frame_.empty() && now - lastByte_ > kFrameGapMs) frame_.clear();
    lastByte_ = now;
    frame_.push_back(byte);
    size_t expected = RequestLength(frame_);
    bool whole = expected != 0 ? frame_.size() >= expected : CrcCloses(frame_);
    if (whole) {
      std::vector<uint8_t> frame;
      frame.swap(frame_);
      Handle(frame);
    } else if (frame_.size() >= kMaxFrame) {
      frame_.clear();
    }
  }
  int64_t OnTick() override {
    int64_t now = context_.clock.TickMs();
    while (!drip_.empty() && now >= nextDrip_) {
      uint8_t byte = drip_.front();
      drip_.pop_front();
      context_.out.Send(std::span(&byte, 1));
      nextDrip_ += dripMs_;
    }
    return drip_.empty() ? now + 50 : nextDrip_;
  }

 private:
  void Handle(const std::vector<uint8_t>& frame) {
    // A damaged frame is not answered: the master's time-out tells it.
    if (modbus::Crc(frame) != 0) return;
    uint8_t address = frame[0];
    uint8_t function = frame[1];
    std::span<const uint8_t> data(frame.data() + 2, frame.size() - 4);
    TExchangeRecord record{kModBusProtocol, address, function, frame, false};
    std::optional<TPduAnswer> answer;
    const TModBusDevice* device = responder_.Find(address);
    if (device != nullptr) {
      TFaults faults = TFaultScope(&device->Faults(), context_.lineFaults).Merged();
      if (!faults.silent) answer = Answer(address, device->MakerDevice(), function, data, *device);
    } else if (address == kConverterAddress && (function == kFnPut || function == kFnRead)) {
      answer = Tunnel(address, nullptr, function, data);
    }
    // Faults of the reply: the addressed device's first, then the line's.
    TFaultScope scope(device != nullptr ? &device->Faults() : nullptr, context_.lineFaults);
    if (answer && scope.Take(&TFaults::dropReplies)) answer.reset();
    record.answered = answer.has_value();
    context_.log.Add(std::move(record));
    if (answer) Reply(address, function, *answer, scope);
  }

  std::optional<TPduAnswer> Answer(uint8_t address, const TTarvelDevice* meter, uint8_t function,
                                   std::span<const uint8_t> data, const TModBusDevice& device) {
    if (meter != nullptr && (function == kFnPut || function == kFnRead))
      return Tunnel(address, meter, function, data);
    return device.Answer(function, data, context_.calendar.Now());
  }

  // The tunnel's two functions; meter is none for the converter's own address.
  std::optional<TPduAnswer> Tunnel(uint8_t address, const TTarvelDevice* meter, uint8_t function,
                                   std::span<const uint8_t> data) {
    if (function == kFnPut) {
      if (data.empty() || data[0] != data.size() - 1) return TPduAnswer{{}, kIllegalValue};
      std::span<const uint8_t> message = data.subspan(1);
      std::optional<TTarvelRequest> request = ParseTarvelRequest(message);
      std::optional<std::vector<uint8_t>> answer;
      if (request && meter == nullptr && !request->HasAddress() && request->function == tarvel::kFnList)
        answer = DeviceListAnswer(*request, responder_.MakerAddresses());
      else if (request && meter != nullptr && request->HasAddress() && request->Address() == address)
        answer = meter->Answer(*request, context_.calendar.Now(),
                               TFaultScope(&meter->Faults(), context_.lineFaults).Merged());
      if (!answer) return TPduAnswer{{}, kIllegalValue};
      pending_[address] = *answer;
      size_t length = answer->size();
      return TPduAnswer{{2, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)}};
    }
    if (data.size() != 6 || data[0] != 5) return TPduAnswer{{}, kIllegalValue};
    auto it = pending_.find(address);
    size_t length = (data[1] << 8) | data[2];
    size_t offset = (data[3] << 8) | data[4];
    if (it == pending_.end() || it->second.size() != length || offset >= length)
      return TPduAnswer{{}, kIllegalAddress};
    size_t piece = std::min<size_t>({data[5], length - offset, 242});
    std::vector<uint8_t> reply{static_cast<uint8_t>(7 + piece), 0, 0, data[1], data[2], data[3], data[4],
                               static_cast<uint8_t>(piece)};
    reply.insert(reply.end(), it->second.begin() + static_cast<std::ptrdiff_t>(offset),
                 it->second.begin() + static_cast<std::ptrdiff_t>(offset + piece));
    return TPduAnswer{std::move(reply)};
  }

  void Reply(uint8_t address, uint8_t function, TPduAnswer answer, TFaultScope& scope) {
    if (scope.Take(&TFaults::exceptionReplies)) answer = TPduAnswer{{}, kIllegalAddress};
    bool counted = function >= 1 && function <= 4 && answer.exception == 0 && !answer.data.empty();
    if (counted && answer.data[0] > 0 && scope.Take(&TFaults::oddByteCounts)) {
      --answer.data[0];
      answer.data.pop_back();
    }
    if (scope.Take(&TFaults::wrongAddress)) ++address;
    std::vector<uint8_t> frame{address};
    if (answer.exception != 0) {
      frame.push_back(static_cast<uint8_t>(function | 0x80));
      frame.push_back(answer.exception);
    } else {
      // The wrong function echo: another function's code on a well-formed reply.
      frame.push_back(scope.Take(&TFaults::wrongCode) ? static_cast<uint8_t>(function ^ 0x07) : function);
      frame.insert(frame.end(), answer.data.begin(), answer.data.end());
    }
    uint16_t crc = modbus::Crc(frame);
    if (scope.Take(&TFaults::badCrc)) crc ^= 0x5A5A;
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    // A short frame: the reply stops half-way and the rest never comes.
    if (scope.Take(&TFaults::truncateBlocks)) frame.resize(frame.size() / 2);
    int64_t drip = scope.Merged().dripMs;
    if (drip <= 0) return context_.out.Send(frame);
    // Inter-character gaps: one byte at a time, drip ms apart.
    dripMs_ = drip;
    drip_.insert(drip_.end(), frame.begin(), frame.end());
    nextDrip_ = context_.clock.TickMs();
    OnTick();
  }

  const TModBusResponder& responder_;
  TSessionContext& context_;
  std::vector<uint8_t> frame_;
  int64_t lastByte_ = 0;
  std::map<uint8_t, std::vector<uint8_t>> pending_;  // tunnel answers by address
  std::deque<uint8_t> drip_;                         // reply bytes still to go, one per dripMs_
  int64_t dripMs_ = 0;
  int64_t nextDrip_ = 0;
};

}  // namespace

std::optional<TPduAnswer> TModBusDevice::Answer(uint8_t, std::span<const uint8_t>, TDateTime) const {
  return TPduAnswer{{}, kIllegalFunction};
}

TTunnelledTarvel::TTunnelledTarvel(std::string family, const TTarvelLayout& layout, uint8_t address,
                                   std::string serial)
    : TModBusDevice(std::move(family), address, serial), meter_(layout, address, serial) {}

bool TModBusResponder::AddDevice(std::shared_ptr<TSimDevice> device) {
  auto slave = std::dynamic_pointer_cast<TModBusDevice>(device);
  if (!slave || devices_.contains(slave->Address()) || slave->Address() == kConverterAddress) return false;
  devices_[slave->Address()] = std::move(slave);
  return true;
}

TSimDevice* TModBusResponder::FindDevice(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

const TModBusDevice* TModBusResponder::Find(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

std::vector<uint8_t> TModBusResponder::MakerAddresses() const {
  std::vector<uint8_t> addresses;
  for (const auto& [address, device] : devices_)
    if (device->MakerDevice() != nullptr) addresses.push_back(address);
  return addresses;
}

std::unique_ptr<TResponderSession> TModBusResponder::OpenSession(TSessionContext& context) {
  return std::make_unique<TModBusSession>(*this, context);
}

}  // namespace orvela::sim
