#pragma once
// A simulated device: its address on the line, its serial number, its faults. The protocol family it
// speaks decides which responder of the line answers for it.
#include <cstdint>
#include <string>
#include <string_view>

#include "metersim/Faults.h"

namespace orvela::sim {

// The maker's own protocol (XModem-framed messages of the heat meters).
inline constexpr std::string_view kMakerProtocol = "maker";

class TSimDevice {
 public:
  TSimDevice(std::string family, uint8_t address, std::string serial)
      : family_(std::move(family)), address_(address), serial_(std::move(serial)) {}
  virtual ~TSimDevice() = default;
  TSimDevice(const TSimDevice&) = delete;
  TSimDevice& operator=(const TSimDevice&) = delete;

  // Protocol family, the key of the responder that serves the device.
  virtual std::string_view Protocol() const = 0;
  // Family name as the command line spells it ("tarvel2001").
  const std::string& Family() const { return family_; }
  uint8_t Address() const { return address_; }
  const std::string& Serial() const { return serial_; }
  TFaultCell& Faults() const { return faults_; }

 private:
  std::string family_;
  uint8_t address_;
  std::string serial_;
  mutable TFaultCell faults_;
};

}  // namespace orvela::sim
