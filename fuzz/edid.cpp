// EDID blocks as the monitor tool matches them against the displays, and the bus
// cache file it keeps between runs.
#include "tools/nuvlet-ddc/Edid.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "tools/nuvlet-ddc/BusCache.h"

using namespace nuvlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  if (in.ConsumeBool()) {
    const auto dir = fuzz::freshScratch();
    const auto file = dir / "ddc-buses.json";
    fuzz::writeFile(file, in.ConsumeRemainingBytesAsString());
    ddc::BusCache cache(file);
    (void)cache.busFor("00ffffffffffff00");
    cache.remember("00ffffffffffff00", 3);
    FUZZ_CHECK(cache.busFor("00ffffffffffff00") == 3);
    FUZZ_CHECK(cache.save());
    FUZZ_CHECK(ddc::BusCache(file).busFor("00ffffffffffff00") == 3);
    return 0;
  }

  const std::vector<std::uint8_t> target =
      in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 256));
  std::vector<ddc::Bytes> candidates;
  while (in.remaining_bytes() > 0 && candidates.size() < 8) {
    if (in.ConsumeBool()) {
      candidates.push_back(target);  // the same monitor on another bus
      if (!candidates.back().empty())
        candidates.back().back() ^= in.ConsumeIntegral<std::uint8_t>();
    } else {
      candidates.push_back(
          in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 256)));
    }
  }

  FUZZ_CHECK(ddc::edidKey(target).size() == 2 * std::min<std::size_t>(target.size(), 128));
  const ddc::EdidMatch match = ddc::matchEdid(target, candidates);
  const bool valid = ddc::isEdidBaseBlock(target);
  std::size_t same = 0;
  for (const auto& c : candidates) {
    if (valid && ddc::edidKey(c).starts_with(ddc::edidKey(target)) && c.size() >= 128) ++same;
  }
  FUZZ_CHECK(match.matches == same);
  FUZZ_CHECK(match.index.has_value() == (same == 1));
  if (match.index) {
    FUZZ_CHECK(*match.index < candidates.size());
    FUZZ_CHECK(ddc::edidKey(candidates[*match.index]) == ddc::edidKey(target).substr(0, 256) ||
               ddc::edidKey(candidates[*match.index]).starts_with(ddc::edidKey(target)));
  }
  return 0;
}
