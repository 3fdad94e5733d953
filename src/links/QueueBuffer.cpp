#include "links/QueueBuffer.h"

#include <cstddef>

namespace orvela {

void QueueBuffer::Reset() {
  read_ = 0;
  write_ = -1;
  count_ = 0;
}

void QueueBuffer::Put(uint8_t byte) {
  ++write_;
  if (write_ >= kCapacity) {
    // Overflow drops what was held; the read position must follow, or Take would hand out stale bytes.
    Reset();
    write_ = 0;
  }
  data_[static_cast<size_t>(write_)] = byte;
  ++count_;
}

uint8_t QueueBuffer::Take() {
  if (count_ <= 0 || read_ < 0 || read_ >= kCapacity) {
    count_ = 0;
    return 0;
  }
  uint8_t byte = data_[static_cast<size_t>(read_)];
  ++read_;
  --count_;
  return byte;
}

}  // namespace orvela
