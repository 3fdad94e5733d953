#pragma once
// The maker's own message, the same whichever framing carries it (XModem blocks, the closed library, the
// ModBus tunnel): byte 0 is 0, byte 1 the function (in a reply the answer code), bytes 2 and 3 the payload
// length (little-endian) not counting these four header bytes, then the payload.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace orvela::maker {

inline constexpr size_t kHeaderSize = 4;
// Drivers read every reply from a buffer of this size, filled with 0xFF past the reply.
inline constexpr size_t kAnswerBufferSize = 65536;
inline constexpr uint8_t kAnswerFill = 0xFF;
// A reply of this many bytes or fewer is whole but does not count as a successful exchange (a short
// refusal or an empty list).
inline constexpr size_t kShortReply = 6;

// A request: header 0, function, payload length, payload.
std::vector<uint8_t> BuildMessage(uint8_t function, std::span<const uint8_t> payload);
// Header plus the length bytes 2 and 3 declare; 0 when not even the header is there.
size_t DeclaredTotal(std::span<const uint8_t> message);
// Raises EReadExcept when a received reply is empty, declares more than a buffer holds, or is shorter than
// it declares.
void CheckReply(std::span<const uint8_t> reply);
// The checked reply's declared part at the start of an answer buffer filled with 0xFF. True when the reply
// counts as a successful exchange (longer than six bytes).
bool CopyToAnswerBuffer(std::span<const uint8_t> reply, std::vector<uint8_t>& buffer);

}  // namespace orvela::maker
