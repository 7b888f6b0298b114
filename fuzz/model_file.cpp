// The learned model file: whatever loads must save, and load back as the same model.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/learning/BrightnessModel.h"

using nuvlet::BrightnessModel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto model = BrightnessModel::decode(text);
  if (!model) return 0;

  // A model read from a file holds only finite values, so it can always be written.
  auto saved = model->encode();
  FUZZ_CHECK(saved.has_value());
  auto again = BrightnessModel::decode(*saved);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *model);

  // The loop asks it ten times a second whatever the file held.
  const nuvlet::ContentSignature sig{0.2, 0.3, 0.5, 0.1, 0.0};
  for (double lum : {0.0, 0.37, 1.0}) {
    for (int hour : {0, 13, 23}) {
      const double b = model->preferredBacklight(lum, sig, 0.4, hour);
      FUZZ_CHECK(std::isfinite(b));
      FUZZ_CHECK(b >= 0.05 && b <= 1.0);
    }
  }
  (void)model->topBuckets(5);
  return 0;
}
