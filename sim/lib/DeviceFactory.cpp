#include "metersim/DeviceFactory.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <vector>

#include "drivers/Families.h"
#include "metersim/MBusSlave.h"
#include "metersim/ModBusControllers.h"
#include "metersim/ModBusSlave.h"
#include "metersim/OrlixMeter.h"
#include "metersim/TarvelDevice.h"
#include "metersim/TarvelMDevice.h"

namespace orvela::sim {
namespace {

// Simulated families under the family table's keys.
struct TSimFamily {
  std::string_view name;
  std::function<std::unique_ptr<TSimDevice>(uint8_t, std::string)> make;
};

const std::vector<TSimFamily>& Families() {
  static const std::vector<TSimFamily> families = {
      {FamilyKey(mcTarvel2001),
       [](uint8_t a, std::string s) {
         return std::make_unique<TTarvelDevice>(Tarvel2001Layout(), a, std::move(s));
       }},
      {FamilyKey(mcTarvelF),
       [](uint8_t a, std::string s) {
         return std::make_unique<TTarvelDevice>(TarvelFLayout(), a, std::move(s));
       }},
      // The same meters behind a ModBus converter's tunnel, and a plain M-Bus heat meter.
      {"tarvel2001_mb",
       [](uint8_t a, std::string s) {
         return std::make_unique<TTunnelledTarvel>("tarvel2001_mb", Tarvel2001Layout(), a, std::move(s));
       }},
      {"tarvelf_mb",
       [](uint8_t a, std::string s) {
         return std::make_unique<TTunnelledTarvel>("tarvelf_mb", TarvelFLayout(), a, std::move(s));
       }},
      {FamilyKey(mcTarvelM),
       [](uint8_t a, std::string s) { return std::make_unique<TTarvelMDevice>(a, std::move(s)); }},
      {"tarvelm_mb",
       [](uint8_t a, std::string s) { return std::make_unique<TTunnelledTarvelM>(a, std::move(s)); }},
      {"mbus", [](uint8_t a, std::string s) { return std::make_unique<TMBusMeter>("mbus", a, std::move(s)); }},
      {FamilyKey(mcOrlix),
       [](uint8_t a, std::string s) { return std::make_unique<TOrlixMeter>(a, std::move(s)); }},
      {FamilyKey(mcZelio),
       [](uint8_t a, std::string s) { return std::make_unique<TZelioController>(a, std::move(s)); }},
      {FamilyKey(mcModBus),
       [](uint8_t a, std::string s) { return std::make_unique<TKmController>(a, std::move(s)); }},
  };
  return families;
}

}  // namespace

std::unique_ptr<TSimDevice> MakeDevice(std::string_view family, uint8_t address, std::string serial) {
  for (const auto& f : Families()) {
    if (f.name == family) return f.make(address, std::move(serial));
  }
  return nullptr;
}

std::string DeviceFamilies() {
  std::string names;
  for (const auto& f : Families()) names += (names.empty() ? "" : ", ") + std::string(f.name);
  return names;
}

bool ParseDeviceSpec(std::string_view text, TDeviceSpec& spec, std::string& error) {
  auto first = text.find(':');
  auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) {
    error = "device \"" + std::string(text) + "\": expected family:address:serial";
    return false;
  }
  spec.family = std::string(text.substr(0, first));
  std::string_view address = text.substr(first + 1, second - first - 1);
  spec.serial = std::string(text.substr(second + 1));
  if (!MakeDevice(spec.family, 1, "")) {
    error = "unknown device family \"" + spec.family + "\" (known: " + DeviceFamilies() + ")";
    return false;
  }
  int value = 0;
  auto [end, ec] = std::from_chars(address.data(), address.data() + address.size(), value);
  if (ec != std::errc() || end != address.data() + address.size() || value < 1 || value > 255) {
    error = "device \"" + std::string(text) + "\": address must be 1 to 255";
    return false;
  }
  spec.address = static_cast<uint8_t>(value);
  bool printable =
      std::all_of(spec.serial.begin(), spec.serial.end(), [](char c) { return c > ' ' && c < 127; });
  if (spec.serial.empty() || spec.serial.size() > 8 || !printable) {
    error = "device \"" + std::string(text) + "\": serial must be 1 to 8 printable characters";
    return false;
  }
  return true;
}

}  // namespace orvela::sim
