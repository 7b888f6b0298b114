// The monitor tool's answer to "get luminance" as the external controller reads it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/control/ExternalBrightnessController.h"

using nuvlet::ExternalBrightnessController;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  if (auto level = ExternalBrightnessController::parseLevel(output)) {
    FUZZ_CHECK(*level >= 0.0 && *level <= 1.0);
    // Whole percentages only.
    FUZZ_CHECK(std::abs(*level * 100.0 - std::round(*level * 100.0)) < 1e-9);
  }
  return 0;
}
