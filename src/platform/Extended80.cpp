#include "platform/Extended80.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace orvela {

TExtended80 DoubleToExtended80(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  const uint16_t sign = static_cast<uint16_t>((bits >> 63) << 15);
  const int exp = static_cast<int>((bits >> 52) & 0x7FF);
  uint64_t frac = bits & ((uint64_t{1} << 52) - 1);
  uint16_t exp80 = 0;
  uint64_t mant = 0;
  if (exp == 0x7FF) {  // infinity or NaN
    exp80 = 0x7FFF;
    mant = (uint64_t{1} << 63) | (frac << 11);
  } else if (exp == 0) {
    if (frac != 0) {  // subnormal double: normalise, the extended range holds it
      int shift = 0;
      while (!(frac & (uint64_t{1} << 52))) {
        frac <<= 1;
        ++shift;
      }
      exp80 = static_cast<uint16_t>(1 - 1023 - shift + 16383);
      mant = frac << 11;
    }
  } else {
    exp80 = static_cast<uint16_t>(exp - 1023 + 16383);
    mant = (uint64_t{1} << 63) | (frac << 11);
  }
  TExtended80 out{};
  for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(mant >> (8 * i));
  const uint16_t se = sign | exp80;
  out[8] = static_cast<uint8_t>(se & 0xFF);
  out[9] = static_cast<uint8_t>(se >> 8);
  return out;
}

double Extended80ToDouble(const TExtended80& b) {
  uint64_t mant = 0;
  for (int i = 0; i < 8; ++i) mant |= static_cast<uint64_t>(b[i]) << (8 * i);
  const uint16_t se = static_cast<uint16_t>(b[8] | (b[9] << 8));
  const bool negative = se & 0x8000;
  const int exp = se & 0x7FFF;
  double result;
  if (exp == 0x7FFF) {
    result = (mant << 1) ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else if (mant == 0) {
    result = 0.0;
  } else {
    // ldexp rounds once and handles overflow to infinity and underflow to subnormals.
    result = std::ldexp(static_cast<double>(mant), exp - 16383 - 63);
  }
  return negative ? -result : result;
}

}  // namespace orvela
