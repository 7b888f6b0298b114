// Scroll events as a tray host sends them (delta, orientation) through the
// normaliser: what reaches the item is finite, non-zero, bounded per window, has the
// sign of what was scrolled, and nothing is lost while the bound is not reached.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/tray/ScrollNormalizer.h"
#include "platform/sim/VirtualRunLoop.h"

using namespace nuvlet;
using linux_platform::ScrollNormalizer;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  sim::VirtualRunLoop loop;
  std::vector<double> delivered;
  ScrollNormalizer normalizer(loop, [&](double units) { delivered.push_back(units); });

  double sent = 0, sentMagnitude = 0;
  bool anyPositive = false, anyNegative = false;
  while (in.remaining_bytes() > 0) {
    std::int64_t delta = 0;
    switch (in.ConsumeIntegralInRange(0, 3)) {
      case 0:
        delta = in.ConsumeIntegral<std::int64_t>();
        break;
      case 1:
        delta = in.ConsumeIntegralInRange<std::int64_t>(-1, 1);
        break;
      default:
        delta = 120 * in.ConsumeIntegralInRange<std::int64_t>(-3, 3);
        break;
    }
    static const char* const kOrientations[] = {"vertical", "Vertical", "horizontal", "VERTICAL"};
    const std::string orientation =
        in.ConsumeBool() ? std::string(kOrientations[in.ConsumeIntegralInRange(0, 3)])
                         : in.ConsumeRandomLengthString(10);
    if (auto u = ScrollNormalizer::units(delta, orientation)) {
      FUZZ_CHECK(std::isfinite(*u) && *u != 0);
      sent += *u;
      sentMagnitude += std::abs(*u);
      (*u > 0 ? anyPositive : anyNegative) = true;
    }
    normalizer.scroll(delta, orientation);
    loop.advance(in.ConsumeIntegralInRange(0, 100) / 1000.0);
  }
  loop.advance(1.0);

  double got = 0;
  for (double units : delivered) {
    FUZZ_CHECK(std::isfinite(units) && units != 0);
    FUZZ_CHECK(std::abs(units) <= ScrollNormalizer::kMaxUnitsPerWindow);
    if (!anyNegative) FUZZ_CHECK(units > 0);
    if (!anyPositive) FUZZ_CHECK(units < 0);
    got += units;
  }
  if (sentMagnitude <= ScrollNormalizer::kMaxUnitsPerWindow) {
    FUZZ_CHECK(std::abs(got - sent) <= 1e-9 * (1 + sentMagnitude));
  }
  return 0;
}
