#pragma once
// The check sum of the maker's XModem blocks, computed on the device side on its own so that a misreading
// in the server's framing shows up as a failing test instead of agreeing with itself.
#include <cstdint>
#include <span>

namespace orvela::sim {

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
constexpr uint16_t Crc16Xmodem(std::span<const uint8_t> data, uint16_t crc = 0) {
  for (uint8_t byte : data) {
    crc = static_cast<uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

}  // namespace orvela::sim
