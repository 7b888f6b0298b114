#pragma once

#include <ctime>

#include "tests/support/ScopedEnv.h"

namespace nuvlet::test {

// Pins the local time zone for one test and restores the previous one.
class PinnedZone {
 public:
  explicit PinnedZone(const char* zone) : tz_("TZ", zone) { ::tzset(); }

 private:
  struct Reload {
    ~Reload() { ::tzset(); }
  } reload_;  // destroyed after tz_ has put TZ back
  ScopedEnv tz_;
};

}  // namespace nuvlet::test
