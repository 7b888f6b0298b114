#pragma once

#include <bit>
#include <cstdint>

namespace nuvlet {

// Divides by a fixed divisor with a multiplication and a shift instead of a division,
// exactly, for every dividend below 2^31: with 2^L >= d and m = ceil(2^(31+L) / d), the
// error of n * m / 2^(31+L) against n / d is below 2^31 / 2^(31+L) <= 1 / d, too little
// to carry the quotient across an integer. m fits in 33 bits and n * m in 63.
class ExactDivider {
 public:
  static constexpr std::uint64_t kDividendLimit = std::uint64_t{1} << 31;

  // 1 <= divisor < 2^32.
  explicit ExactDivider(std::uint64_t divisor)
      : shift_(31 + static_cast<int>(std::bit_width(divisor - 1))),
        multiplier_(((std::uint64_t{1} << shift_) + divisor - 1) / divisor) {}

  // dividend < kDividendLimit.
  std::uint64_t operator()(std::uint64_t dividend) const {
    return (dividend * multiplier_) >> shift_;
  }

 private:
  int shift_;
  std::uint64_t multiplier_;
};

}  // namespace nuvlet
