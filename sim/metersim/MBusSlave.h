#pragma once
// An M-Bus slave core (EN 13757-2 link layer): SND_NKE (10 40 A) is acknowledged with E5, REQ_UD2
// (10 5B A or 10 7B A) answered with an RSP_UD long frame: 68 L L 68 08 A 72, the serial number as eight
// BCD digits (least significant byte first), maker 2D 2C, version 1, medium 04 (heat), access number,
// status 0, signature 0000, then two data records: 04 06 energy in kWh and 04 13 volume in litres (32-bit,
// least significant byte first), check sum, 16. A frame with a bad check sum or stop byte, or for
// another address, is not answered.
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "metersim/Responder.h"

namespace orvela::sim {

inline constexpr std::string_view kMBusProtocol = "mbus";

namespace mbus {
inline constexpr uint8_t kSndNke = 0x40;
inline constexpr uint8_t kReqUd2 = 0x5B;
inline constexpr uint8_t kReqUd2Fcb = 0x7B;
inline constexpr uint8_t kAck = 0xE5;
// The parameters the records report (the simulator's value functions: quantity 1 and 3 of channel 1).
inline constexpr uint8_t kEnergyParam = 0x01;
inline constexpr uint8_t kVolumeParam = 0x03;
}  // namespace mbus

class TMBusMeter : public TSimDevice {
 public:
  using TSimDevice::TSimDevice;
  std::string_view Protocol() const override { return kMBusProtocol; }
  // The RSP_UD frame at the meter's time now.
  std::vector<uint8_t> UserData(TDateTime now, uint8_t accessNumber) const;
  // The two readings as the records carry them.
  uint32_t EnergyKwh(TDateTime now) const;
  uint32_t VolumeLitres(TDateTime now) const;
};

class TMBusResponder : public TResponder {
 public:
  std::string_view Protocol() const override { return kMBusProtocol; }
  bool AddDevice(std::shared_ptr<TSimDevice> device) override;
  TSimDevice* FindDevice(uint8_t address) const override;
  std::unique_ptr<TResponderSession> OpenSession(TSessionContext& context) override;
  const TMBusMeter* Find(uint8_t address) const;

 private:
  std::map<uint8_t, std::shared_ptr<TMBusMeter>> devices_;
};

}  // namespace orvela::sim
