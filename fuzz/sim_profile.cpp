// A simulation profile: either refused with a reason, or read whole and written back
// as a profile that reads the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/sim/SimProfile.h"

using namespace nuvlet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto profile = sim::parseProfile(text, error);
  if (!profile) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  const std::string written = profile->toJson().dump();
  std::string again;
  auto reread = sim::parseProfile(written, again);
  FUZZ_CHECK(reread.has_value());
  FUZZ_CHECK(reread->toJson().dump() == written);
  return 0;
}
