#pragma once
// The 80-bit extended float of the tree file: 64-bit mantissa with explicit integer bit, 15-bit exponent.
#include <array>
#include <cstdint>

namespace orvela {

using TExtended80 = std::array<uint8_t, 10>;

TExtended80 DoubleToExtended80(double value);
// Values beyond the double range become +/-infinity; NaNs stay NaN.
double Extended80ToDouble(const TExtended80& bytes);

}  // namespace orvela
