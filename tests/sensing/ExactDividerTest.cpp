#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "nuvlet/sensing/ExactDivider.h"

namespace nuvlet {
namespace {

TEST(ExactDivider, GivesTheQuotientOfEveryDividendItTakes) {
  // Powers of two and their neighbours put the multiplier's rounding at its extremes;
  // the rest are the doubled pixel counts of cells of common and of enormous frames.
  std::vector<std::uint64_t> divisors = {1, 2, 3, 5, 7, 60, 120, 4080, 4320, 8160, 2 * 4202468};
  for (int bits = 1; bits < 32; ++bits) {
    const std::uint64_t p = std::uint64_t{1} << bits;
    divisors.insert(divisors.end(), {p - 1, p, p + 1});
  }
  std::mt19937_64 random(3);
  for (const std::uint64_t d : divisors) {
    SCOPED_TRACE(d);
    const ExactDivider divide(d);
    const std::uint64_t top = ExactDivider::kDividendLimit - 1;
    // Either side of every multiple near both ends, and a spread in between.
    for (std::uint64_t q :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, top / d - 1, top / d}) {
      if (q > top / d) continue;
      for (std::uint64_t n : {q * d - 1, q * d, q * d + d - 1}) {
        if (n > top || (q == 0 && n == q * d - 1)) continue;
        ASSERT_EQ(divide(n), n / d) << n;
      }
    }
    for (int i = 0; i < 20000; ++i) {
      const std::uint64_t n = random() % ExactDivider::kDividendLimit;
      ASSERT_EQ(divide(n), n / d) << n;
    }
  }
}

}  // namespace
}  // namespace nuvlet
