// What sysfs files hold, as the backlight and the IIO light sensor read them: a fake
// tree with fuzzed attribute files. Readings stay in range or are refused, and a
// write lands on the level asked for, never below step 1.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/devices/IioLightSensor.h"
#include "platform/linux/devices/SysfsBacklight.h"

using namespace nuvlet;
using namespace nuvlet::linux_platform;

namespace {

// Numbers most of the time, so that the checks past parsing are reached.
std::string attribute(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      return std::to_string(in.ConsumeIntegral<std::int64_t>()) + "\n";
    case 1:
      return std::to_string(in.ConsumeIntegralInRange<std::int64_t>(0, 100000)) + "\n";
    case 2:
      return std::to_string(in.ConsumeFloatingPoint<double>()) + "\n";
    default:
      return in.ConsumeRandomLengthString(40);
  }
}

void maybeWrite(FuzzedDataProvider& in, const std::filesystem::path& file) {
  if (in.ConsumeIntegralInRange(0, 5) != 0) fuzz::writeFile(file, attribute(in));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto root = fuzz::freshScratch();
  const auto device = root / "class/backlight/panel0";
  std::filesystem::create_directories(device);
  fuzz::writeFile(device / "type", in.ConsumeBool() ? "raw\n" : in.ConsumeRandomLengthString(12));
  maybeWrite(in, device / "max_brightness");
  maybeWrite(in, device / "brightness");
  const auto iio = root / "iio/iio:device0";
  std::filesystem::create_directories(iio);
  fuzz::writeFile(iio / "name", "als\n");
  if (in.ConsumeBool()) {
    maybeWrite(in, iio / "in_illuminance_input");
  } else {
    maybeWrite(in, iio / "in_illuminance_raw");
    maybeWrite(in, iio / "in_illuminance_offset");
    maybeWrite(in, iio / "in_illuminance_scale");
  }
  const double level = in.ConsumeProbability<double>();

  (void)listBacklights(root);
  auto backlight = makeSysfsBacklight({root, "", BacklightWriteChoice::Sysfs});
  if (auto read = backlight->read()) FUZZ_CHECK(*read >= 0.0 && *read <= 1.0);
  const auto info = backlight->info();
  if (backlight->write(level)) {
    FUZZ_CHECK(info.maxRaw > 0);
    const std::string written = fuzz::readFile(device / "brightness");
    const std::int64_t raw = std::stoll(written);
    FUZZ_CHECK(raw >= 1 && raw <= info.maxRaw);
    const double max = static_cast<double>(info.maxRaw);
    // The nearest step, or step 1 when the nearest is off.
    FUZZ_CHECK(raw == 1 || std::abs(static_cast<double>(raw) - level * max) <= 0.5 + max * 1e-15);
  }

  if (auto channel = findIioIlluminance(root / "iio")) {
    if (auto lux = readIioLux(*channel)) FUZZ_CHECK(std::isfinite(*lux) && *lux >= 0);
  }
  return 0;
}
