#include "nuvlet/platform/Clock.h"

#include <chrono>

namespace nuvlet {

double SystemClock::now() const {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

double SystemClock::monotonic() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace nuvlet
