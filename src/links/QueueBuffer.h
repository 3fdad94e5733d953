#pragma once
// Receive buffer of a link: bytes are put in by a refill and taken out one by one by the framings.
#include <array>
#include <cstdint>

namespace orvela {

class QueueBuffer {
 public:
  static constexpr int32_t kCapacity = 65536;

  // A new buffer is in the same state as after Reset.
  QueueBuffer() { Reset(); }

  void Reset();
  // Appends a byte. A write past the end starts again at the beginning and drops what was held
  // (read position included), so the buffer never hands out stale bytes.
  void Put(uint8_t byte);
  // Next byte, or 0 when the buffer is empty (the count stays 0).
  uint8_t Take();
  int32_t Count() const { return count_; }
  // Bytes that can still be put without wrapping (and so without dropping held data).
  int32_t Room() const { return kCapacity - 1 - write_; }

 private:
  std::array<uint8_t, kCapacity> data_{};
  int32_t read_ = 0;
  int32_t write_ = -1;
  int32_t count_ = 0;
};

}  // namespace orvela
