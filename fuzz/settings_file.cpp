// The settings file: any file gives working settings, and the first change writes an
// object that holds everything the old file held (a damaged one is kept aside).
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/desktop/JsonFileDefaults.h"

using namespace nuvlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto dir = fuzz::freshScratch();
  const auto file = dir / "settings.json";
  fuzz::writeFile(file, text);
  fuzz::FixedClock clock(1796558400.0);

  auto defaults = linux_platform::makeJsonFileDefaults(file, clock);
  (void)defaults->boolOr("autoBrightness", true);
  (void)defaults->numberOr("manualBrightness", 0.5);
  (void)defaults->stringOr("backlightDevice", "");
  defaults->setValue("fuzzProbe", 7);

  const auto written = nlohmann::json::parse(fuzz::readFile(file), nullptr, false);
  FUZZ_CHECK(written.is_object());
  FUZZ_CHECK(written.value("fuzzProbe", 0) == 7);

  const auto original = nlohmann::json::parse(text, nullptr, false);
  if (original.is_object()) {
    auto expected = original;
    expected["fuzzProbe"] = 7;
    FUZZ_CHECK(written == expected);
  } else {
    // The damaged file went aside whole.
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.path().filename().string().starts_with("settings.json.corrupt-")) {
        kept = fuzz::readFile(entry.path()) == text;
      }
    }
    FUZZ_CHECK(kept);
  }

  // A second start reads back what the first one wrote.
  auto reread = linux_platform::makeJsonFileDefaults(file, clock);
  FUZZ_CHECK(reread->value("fuzzProbe") == nlohmann::json(7));
  return 0;
}
