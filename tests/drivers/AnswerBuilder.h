#pragma once
// Hand-built answers of the maker's protocol for the decoding tests.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace orvela::test {

// An answer message: 0, code, declared length (little-endian), then `body` from byte 4 on.
inline std::vector<uint8_t> MakeAnswer(uint8_t code, std::vector<uint8_t> body) {
  std::vector<uint8_t> answer(4 + body.size());
  answer[1] = code;
  answer[2] = static_cast<uint8_t>(body.size() & 0xFF);
  answer[3] = static_cast<uint8_t>(body.size() >> 8);
  std::copy(body.begin(), body.end(), answer.begin() + 4);
  return answer;
}

// Body bytes from offset 4 up to `size` - 4 bytes long, zero-filled, with bytes written at absolute offsets.
class TAnswerBody {
 public:
  explicit TAnswerBody(size_t answerSize) : bytes_(answerSize - 4, 0) {}
  TAnswerBody& Put(size_t at, std::initializer_list<uint8_t> values) {
    for (uint8_t v : values) bytes_.at(at++ - 4) = v;
    return *this;
  }
  std::vector<uint8_t> Answer(uint8_t code) const { return MakeAnswer(code, bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

// A 65,536-byte framing buffer holding the answer, the rest 0xFF as the framing leaves it.
inline std::vector<uint8_t> InFramingBuffer(const std::vector<uint8_t>& answer) {
  std::vector<uint8_t> buffer(65536, 0xFF);
  std::copy(answer.begin(), answer.end(), buffer.begin());
  return buffer;
}

}  // namespace orvela::test
