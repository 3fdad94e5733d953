#include "protocols/MakerMessage.h"

#include <algorithm>

#include "links/LinkExceptions.h"

namespace orvela::maker {

std::vector<uint8_t> BuildMessage(uint8_t function, std::span<const uint8_t> payload) {
  std::vector<uint8_t> message(kHeaderSize + payload.size());
  message[1] = function;
  message[2] = static_cast<uint8_t>(payload.size() & 0xFF);
  message[3] = static_cast<uint8_t>((payload.size() >> 8) & 0xFF);
  std::copy(payload.begin(), payload.end(), message.begin() + kHeaderSize);
  return message;
}

size_t DeclaredTotal(std::span<const uint8_t> message) {
  if (message.size() < kHeaderSize) return 0;
  return kHeaderSize + (static_cast<size_t>(message[2]) | (static_cast<size_t>(message[3]) << 8));
}

void CheckReply(std::span<const uint8_t> reply) {
  if (reply.size() < kHeaderSize) throw EReadExcept("Ошибка приема - пустой ответ");
  if (DeclaredTotal(reply) > kAnswerBufferSize)
    throw EReadExcept("Ошибка приема - заявленная длина больше буфера");
  if (reply.size() < DeclaredTotal(reply))
    throw EReadExcept("Ошибка приема - расхождение заявленной и полученной длинны");
}

bool CopyToAnswerBuffer(std::span<const uint8_t> reply, std::vector<uint8_t>& buffer) {
  size_t total = DeclaredTotal(reply);
  buffer.assign(kAnswerBufferSize, kAnswerFill);
  std::copy_n(reply.begin(), total, buffer.begin());
  return total > kShortReply;
}

}  // namespace orvela::maker
