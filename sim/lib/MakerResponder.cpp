#include "metersim/MakerResponder.h"

#include "metersim/XModemEndpoint.h"

namespace orvela::sim {
namespace {

class TMakerSession : public TResponderSession, private TXModemEndpoint::IHandler {
 public:
  TMakerSession(const TMakerResponder& responder, TSessionContext& context)
      : responder_(responder), context_(context), endpoint_(context, *this) {}
  void OnByte(uint8_t byte) override { endpoint_.OnByte(byte); }
  int64_t OnTick() override { return endpoint_.OnTick(); }

 private:
  TFaultCell* FaultsFor(std::span<const uint8_t> message) override {
    auto request = ParseTarvelRequest(message);
    const TTarvelDevice* device =
        request && request->HasAddress() ? responder_.Find(request->Address()) : nullptr;
    return device ? &device->Faults() : nullptr;
  }

  std::optional<std::vector<uint8_t>> Answer(std::span<const uint8_t> message) override {
    if (message.size() < 4) return std::nullopt;
    auto request = ParseTarvelRequest(message);
    TExchangeRecord record{kMakerProtocol, -1, message[1], {}, false};
    size_t length = 4 + (message[2] | (message[3] << 8));
    record.message.assign(message.begin(),
                          message.begin() + static_cast<std::ptrdiff_t>(std::min(length, message.size())));
    std::optional<std::vector<uint8_t>> answer;
    TFaultCell* deviceFaults = nullptr;
    if (request && !request->HasAddress()) {
      if (request->function == tarvel::kFnList) answer = DeviceListAnswer(*request, responder_.Addresses());
    } else if (request) {
      record.address = request->Address();
      if (const TTarvelDevice* device = responder_.Find(request->Address())) {
        deviceFaults = &device->Faults();
        TFaults faults = TFaultScope(deviceFaults, context_.lineFaults).Merged();
        if (!faults.silent) answer = device->Answer(*request, context_.calendar.Now(), faults);
      }
    }
    if (answer) MisreportAnswer(*answer, TFaultScope(deviceFaults, context_.lineFaults));
    record.answered = answer.has_value();
    context_.log.Add(std::move(record));
    return answer;
  }

  const TMakerResponder& responder_;
  TSessionContext& context_;
  TXModemEndpoint endpoint_;
};

}  // namespace

bool TMakerResponder::AddDevice(std::shared_ptr<TSimDevice> device) {
  auto tarvel = std::dynamic_pointer_cast<TTarvelDevice>(device);
  if (!tarvel || devices_.contains(tarvel->Address())) return false;
  devices_[tarvel->Address()] = std::move(tarvel);
  return true;
}

std::unique_ptr<TResponderSession> TMakerResponder::OpenSession(TSessionContext& context) {
  return std::make_unique<TMakerSession>(*this, context);
}

const TTarvelDevice* TMakerResponder::Find(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

TSimDevice* TMakerResponder::FindDevice(uint8_t address) const {
  auto it = devices_.find(address);
  return it == devices_.end() ? nullptr : it->second.get();
}

std::vector<uint8_t> TMakerResponder::Addresses() const {
  std::vector<uint8_t> addresses;
  for (const auto& [address, device] : devices_) addresses.push_back(address);
  return addresses;
}

}  // namespace orvela::sim
