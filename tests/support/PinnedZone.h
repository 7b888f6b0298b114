#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace nuvlet::test {

// Pins the local time zone for one test and restores the previous one.
class PinnedZone {
 public:
  explicit PinnedZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~PinnedZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  PinnedZone(const PinnedZone&) = delete;
  PinnedZone& operator=(const PinnedZone&) = delete;

 private:
  std::optional<std::string> old_;
};

}  // namespace nuvlet::test
