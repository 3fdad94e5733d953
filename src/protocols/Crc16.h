#pragma once
// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
#include <cstdint>
#include <span>

namespace orvela {

// Bit-by-bit register, most significant bit first: feeding data and then two zero bytes gives the CRC;
// feeding data and its received CRC (high byte first) ends at 0 for a good block.
class TCrc16Xmodem {
 public:
  void Reset() { reg_ = 0; }
  void Feed(uint8_t byte);
  void Feed(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) Feed(b);
  }
  uint16_t Value() const { return static_cast<uint16_t>(reg_); }

 private:
  uint32_t reg_ = 0;  // low 16 bits and bit 16 (the bit shifted out)
};

uint16_t Crc16Xmodem(std::span<const uint8_t> data);

}  // namespace orvela

namespace orvela {

// ModBus RTU CRC-16: initial value 0xFFFF, reflected polynomial 0xA001, no final XOR; sent low byte first.
class TCrc16ModBus {
 public:
  void Reset() { reg_ = 0xFFFF; }
  void Feed(uint8_t byte);
  void Feed(std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) Feed(b);
  }
  uint16_t Value() const { return reg_; }

 private:
  uint16_t reg_ = 0xFFFF;
};

uint16_t Crc16ModBus(std::span<const uint8_t> data);

}  // namespace orvela
