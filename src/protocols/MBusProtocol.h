#pragma once
// M-Bus (EN 13757-2 link layer) over any link: short frames 10 C A and long frames 68 L L 68 C A CI data
// go out with their arithmetic check sum and stop byte; the reply is read by its first byte and refused
// unless its check sum and stop byte are right.
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocols/Protocol.h"

namespace orvela {

namespace mbus {
inline constexpr uint8_t kShortStart = 0x10;
inline constexpr uint8_t kLongStart = 0x68;
inline constexpr uint8_t kStop = 0x16;
inline constexpr uint8_t kAck = 0xE5;
}  // namespace mbus

// The request with its check sum (low byte of the sum from C on) and the stop byte appended; a request
// not starting with 0x68 is a short frame.
TBytes BuildMBusFrame(std::span<const uint8_t> request);

class MBusProtocol : public TProtocol {
 public:
  MBusProtocol();

  // 0 with the whole reply (check sum and stop byte included) in the buffer; -1 on any failure.
  int Transact(int code, std::span<const uint8_t> request, TBytes& buffer) override;
  void SendFrame(std::span<const uint8_t> request) override;
  void ReceiveFrame(TBytes& reply) override;

  // Up to 51 × (CheckLink, a waiting byte or WaitData(40)); raises EReadExcept.
  uint8_t ReadByteMbus();

 private:
  uint8_t Take(TBytes& reply);
  // L + 4 more bytes of a long frame after its L, checked.
  void TakeLongFrame(TBytes& reply);
  void TakeShortFrame(TBytes& reply);

  int32_t length_ = 0;
};

}  // namespace orvela
