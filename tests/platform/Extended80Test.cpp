#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/Extended80.h"

namespace orvela {
namespace {

struct TPattern {
  double value;
  TExtended80 bytes;  // little-endian: mantissa (with its integer bit) then sign and exponent
  const char* why;
};

const double kInf = std::numeric_limits<double>::infinity();

const TPattern kPatterns[] = {
    {1.0, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}, "one"},
    {-2.5, {0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0}, "negative with a fraction"},
    {10.0, {0, 0, 0, 0, 0, 0, 0, 0xA0, 0x02, 0x40}, "ten"},
    {0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, "zero"},
    {-0.0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}, "negative zero"},
    {std::ldexp(1.0, -1074), {0, 0, 0, 0, 0, 0, 0, 0x80, 0xCD, 0x3B}, "smallest subnormal double"},
    {std::ldexp(3.0, -1050), {0, 0, 0, 0, 0, 0, 0, 0xC0, 0xE6, 0x3B}, "subnormal double with two bits"},
    {kInf, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F}, "infinity"},
    {-kInf, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0xFF}, "negative infinity"},
    {0.1, {0, 0xD0, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0xFB, 0x3F}, "one tenth, 53 bits of it"},
};

TEST(Extended80, KnownBytePatternsBothWays) {
  for (const auto& p : kPatterns) {
    SCOPED_TRACE(p.why);
    EXPECT_EQ(DoubleToExtended80(p.value), p.bytes);
    const double back = Extended80ToDouble(p.bytes);
    EXPECT_EQ(back, p.value);
    EXPECT_EQ(std::signbit(back), std::signbit(p.value));
  }
}

TEST(Extended80, NaNAndValuesOutsideTheDoubleRange) {
  EXPECT_TRUE(std::isnan(Extended80ToDouble(DoubleToExtended80(std::numeric_limits<double>::quiet_NaN()))));
  // Largest extended exponent below infinity: far beyond the double range.
  EXPECT_EQ(Extended80ToDouble({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x7F}), kInf);
  EXPECT_EQ(Extended80ToDouble({0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0xFF}), -kInf);
  // Far below the smallest double.
  EXPECT_EQ(Extended80ToDouble({0, 0, 0, 0, 0, 0, 0, 0x80, 0x01, 0x00}), 0.0);
  // Bits below the 53 a double holds round to nearest: 1 + 2^-53 + 2^-63 rounds up.
  EXPECT_EQ(Extended80ToDouble({0x01, 0x04, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}), 1.0 + std::ldexp(1.0, -52));
}

TEST(Extended80, DoublesRoundTrip) {
  const double values[] = {3.141592653589793,
                           -123456.789,
                           1e300,
                           -1e-300,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min() * 12345,
                           65535.0,
                           4294967296.5};
  for (double v : values) EXPECT_EQ(Extended80ToDouble(DoubleToExtended80(v)), v) << v;
}

}  // namespace
}  // namespace orvela
