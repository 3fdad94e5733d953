#pragma once
// A ModBus RTU slave core: frames are found by their function's length rules (or, for a function it does
// not know, by a check sum that closes), a frame with a bad CRC or for another address is ignored as a real
// slave ignores it, and each device answers request PDUs. The maker's tunnel is served here for the
// maker's meters behind a converter:
//   put   (0x70): k, then a whole maker message of k bytes; reply: 2, the answer's length (high byte first)
//   read  (0x71): 5, length (2), offset (2), piece size; reply: n, status 0, 0, length (2), offset (2),
//                 c, then c answer bytes from the offset
// A message that names no device (the line scan) goes to the converter's own address 0xFE, which answers
// the list of the maker's meters behind it.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "metersim/Responder.h"
#include "metersim/TarvelDevice.h"

namespace orvela::sim {

inline constexpr std::string_view kModBusProtocol = "modbus";

namespace modbus {
inline constexpr uint8_t kFnPut = 0x70;
inline constexpr uint8_t kFnRead = 0x71;
inline constexpr uint8_t kConverterAddress = 0xFE;
inline constexpr uint8_t kIllegalFunction = 0x01;
inline constexpr uint8_t kIllegalAddress = 0x02;
inline constexpr uint8_t kIllegalValue = 0x03;
// ModBus CRC-16 (0xFFFF, reflected 0xA001) as the device computes it.
uint16_t Crc(std::span<const uint8_t> bytes);
}  // namespace modbus

// What a device answers to one request PDU: data after the function byte, or an exception code.
struct TPduAnswer {
  std::vector<uint8_t> data;
  uint8_t exception = 0;
};

class TModBusDevice : public TSimDevice {
 public:
  using TSimDevice::TSimDevice;
  std::string_view Protocol() const override { return kModBusProtocol; }
  // The answer to a function other than the tunnel's; none: silence.
  virtual std::optional<TPduAnswer> Answer(uint8_t function, std::span<const uint8_t> data,
                                           TDateTime now) const;
  // The maker's meter behind the tunnel; none for a plain ModBus device.
  virtual const TTarvelDevice* MakerDevice() const { return nullptr; }
};

// A maker's meter (Tarvel 2001, Tarvel F) reached through the tunnel.
class TTunnelledTarvel : public TModBusDevice {
 public:
  TTunnelledTarvel(std::string family, const TTarvelLayout& layout, uint8_t address, std::string serial);
  const TTarvelDevice* MakerDevice() const override { return &meter_; }

 private:
  TTarvelDevice meter_;
};

class TModBusResponder : public TResponder {
 public:
  std::string_view Protocol() const override { return kModBusProtocol; }
  bool AddDevice(std::shared_ptr<TSimDevice> device) override;
  TSimDevice* FindDevice(uint8_t address) const override;
  std::unique_ptr<TResponderSession> OpenSession(TSessionContext& context) override;

  const TModBusDevice* Find(uint8_t address) const;
  std::vector<uint8_t> MakerAddresses() const;

 private:
  std::map<uint8_t, std::shared_ptr<TModBusDevice>> devices_;
};

}  // namespace orvela::sim
