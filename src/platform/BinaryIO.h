#pragma once
// Bounded little-endian readers and writers for the binary files and wire frames.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvela {

// A read past the end or a value out of its bounds; carries the offset where it happened.
class EFormatError : public std::runtime_error {
 public:
  EFormatError(size_t offset, const std::string& reason)
      : std::runtime_error(reason), offset_(offset), reason_(reason) {}
  size_t Offset() const { return offset_; }
  const std::string& Reason() const { return reason_; }

 private:
  size_t offset_;
  std::string reason_;
};

class TBinaryReader {
 public:
  explicit TBinaryReader(std::span<const uint8_t> data) : data_(data) {}

  size_t Offset() const { return pos_; }
  size_t Remaining() const { return data_.size() - pos_; }
  bool AtEnd() const { return pos_ >= data_.size(); }

  uint8_t U8() { return static_cast<uint8_t>(Le(1)); }
  int8_t I8() { return static_cast<int8_t>(Le(1)); }
  uint16_t U16() { return static_cast<uint16_t>(Le(2)); }
  int16_t I16() { return static_cast<int16_t>(Le(2)); }
  uint32_t U32() { return static_cast<uint32_t>(Le(4)); }
  int32_t I32() { return static_cast<int32_t>(Le(4)); }
  uint64_t U64() { return Le(8); }
  int64_t I64() { return static_cast<int64_t>(Le(8)); }
  float F32() {
    uint32_t bits = U32();
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
  }
  double F64() {
    uint64_t bits = U64();
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }
  uint8_t PeekU8() const {
    Need(1);
    return data_[pos_];
  }
  std::span<const uint8_t> Bytes(size_t n) {
    Need(n);
    auto s = data_.subspan(pos_, n);
    pos_ += n;
    return s;
  }
  std::string Text(size_t n) {
    auto s = Bytes(n);
    return std::string(s.begin(), s.end());
  }
  void Skip(size_t n) { Bytes(n); }
  void Seek(size_t offset) {
    if (offset > data_.size()) throw EFormatError(pos_, "seek past the end");
    pos_ = offset;
  }
  // A length-prefixed text in a fixed field of width 1 + capacity; a length byte beyond the field is
  // clamped to the field.
  std::string ShortString(size_t capacity) {
    auto field = Bytes(1 + capacity);
    size_t len = std::min<size_t>(field[0], capacity);
    return std::string(field.begin() + 1, field.begin() + 1 + len);
  }

 private:
  void Need(size_t n) const {
    if (n > data_.size() - pos_)
      throw EFormatError(pos_, "unexpected end of data: " + std::to_string(n) + " bytes needed, " +
                                   std::to_string(data_.size() - pos_) + " left");
  }
  uint64_t Le(size_t n) {
    Need(n);
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += n;
    return v;
  }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

class TBinaryWriter {
 public:
  const std::vector<uint8_t>& Data() const { return buf_; }
  std::vector<uint8_t> Take() { return std::move(buf_); }
  size_t Size() const { return buf_.size(); }

  void U8(uint8_t v) { buf_.push_back(v); }
  void I8(int8_t v) { U8(static_cast<uint8_t>(v)); }
  void U16(uint16_t v) { Le(v, 2); }
  void I16(int16_t v) { Le(static_cast<uint16_t>(v), 2); }
  void U32(uint32_t v) { Le(v, 4); }
  void I32(int32_t v) { Le(static_cast<uint32_t>(v), 4); }
  void U64(uint64_t v) { Le(v, 8); }
  void I64(int64_t v) { Le(static_cast<uint64_t>(v), 8); }
  void F32(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, 4);
    U32(bits);
  }
  void F64(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    U64(bits);
  }
  void Bytes(std::span<const uint8_t> b) { buf_.insert(buf_.end(), b.begin(), b.end()); }
  void Text(const std::string& s) { buf_.insert(buf_.end(), s.begin(), s.end()); }
  void Zeros(size_t n) { buf_.insert(buf_.end(), n, 0); }
  // Length byte, the text cut to capacity, zeros to the end of the field.
  void ShortString(const std::string& s, size_t capacity) {
    size_t len = std::min(s.size(), capacity);
    U8(static_cast<uint8_t>(len));
    buf_.insert(buf_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(len));
    Zeros(capacity - len);
  }

 private:
  void Le(uint64_t v, size_t n) {
    for (size_t i = 0; i < n; ++i) buf_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> buf_;
};

}  // namespace orvela
