#include "protocols/Crc16.h"

#include <array>

namespace orvela {

void TCrc16Xmodem::Feed(uint8_t byte) {
  for (int bit = 7; bit >= 0; --bit) {
    reg_ = (reg_ << 1) | ((byte >> bit) & 1u);
    if (reg_ & 0x10000u) reg_ ^= 0x11021u;
  }
}

uint16_t Crc16Xmodem(std::span<const uint8_t> data) {
  TCrc16Xmodem crc;
  crc.Feed(data);
  static constexpr std::array<uint8_t, 2> kZeros = {0, 0};
  crc.Feed(kZeros);
  return crc.Value();
}

}  // namespace orvela

namespace orvela {

void TCrc16ModBus::Feed(uint8_t byte) {
  reg_ ^= byte;
  for (int bit = 0; bit < 8; ++bit) reg_ = (reg_ & 1u) ? static_cast<uint16_t>((reg_ >> 1) ^ 0xA001u) : reg_ >> 1;
}

uint16_t Crc16ModBus(std::span<const uint8_t> data) {
  TCrc16ModBus crc;
  crc.Feed(data);
  return crc.Value();
}

}  // namespace orvela
