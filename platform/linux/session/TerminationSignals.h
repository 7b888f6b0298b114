#pragma once

#include <functional>
#include <memory>

namespace nuvlet::linux_platform {

// SIGINT and SIGTERM turned into a call on the main loop (GLib's default main
// context), so the app ends in order instead of dying mid-write. While the returned
// handle lives the signals no longer kill the process; a signal arriving while
// `terminate` runs or after it is ignored, except that a third one ends the process
// at once (a shutdown that hangs must not make the user reach for SIGKILL).
class TerminationSignals {
 public:
  virtual ~TerminationSignals() = default;
};

std::unique_ptr<TerminationSignals> watchTerminationSignals(std::function<void()> terminate);

}  // namespace nuvlet::linux_platform
