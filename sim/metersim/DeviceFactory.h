#pragma once
// The device families the simulator knows, by the names the command line uses.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "metersim/Device.h"

namespace orvela::sim {

// A device of a family, or none for an unknown family.
std::unique_ptr<TSimDevice> MakeDevice(std::string_view family, uint8_t address, std::string serial);
std::string DeviceFamilies();

// "family:address:serial", e.g. "tarvel2001:1:12345678"; address 1 to 255, serial 1 to 8 printable
// characters.
struct TDeviceSpec {
  std::string family;
  uint8_t address = 0;
  std::string serial;
};
bool ParseDeviceSpec(std::string_view text, TDeviceSpec& spec, std::string& error);

}  // namespace orvela::sim
