#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/UpdateService.h"
#include "platform/linux/desktop/InstalledPackage.h"

namespace nuvlet::linux_platform {

// How one check for updates ended.
struct UpdateOutcome {
  enum class Kind {
    UpToDate,        // no newer version of our package
    Installed,       // `version` is installed (by us or meanwhile by other means); the
                     // program should restart into it
    Available,       // `version` was found and not installed (nobody took it)
    NotFromPackage,  // built or installed by hand: nothing to check
    Unavailable,     // no system bus, or no PackageKit on it
    Declined,        // the user (or the policy) did not authorise it
    TimedOut,        // a transaction did not finish in time; it was cancelled
    Failed,          // PackageKit reported an error, or went away
  };
  Kind kind;
  std::string detail;   // for people: what happened
  std::string version;  // Installed, Available: the new version
};

struct PackageKitOptions {
  // D-Bus address of the system bus; the system's own when empty.
  std::optional<std::string> bus;
  // Where the running program came from; nothing when it was built or installed by hand,
  // and then nothing is ever checked.
  std::optional<InstalledPackage> package;
  // dpkg's database: a check that finds nothing new looks there for a version installed
  // meanwhile by other means (the command line, the system's own updater).
  std::filesystem::path dpkgAdminDir = "/var/lib/dpkg";
  // Check at launch (after `firstCheckDelay`) and every `checkInterval`, unless the
  // setting "automaticallyChecksForUpdates" is false at the time. Off for one-shot use.
  bool automatic = true;
  Defaults* defaults = nullptr;
  double firstCheckDelay = 60;
  double checkInterval = 24 * 3600;
  // A transaction (refresh, query, install) that takes longer is cancelled.
  double transactionTimeout = 15 * 60;
  // A new version is installed: end in order and start it. Main thread.
  std::function<void(const InstalledPackage& updated)> onRestartRequested;
  // Every check's end, including one that could not start. Main thread.
  std::function<void(const UpdateOutcome&)> onOutcome;
};

// Updates through PackageKit on the system bus, the package manager's own API: refresh
// the package lists, ask for updates of our package only, and install one (trusted
// packages only; the system asks for authorisation as for any update). The D-Bus
// conversation runs on a thread of its own; results come back through the run loop.
// One check runs at a time: a check asked for while one runs is dropped. A failure is
// said once and waits for the next scheduled check.
std::unique_ptr<UpdateService> makePackageKitUpdateService(RunLoop& loop,
                                                           PackageKitOptions options);

// For `nuvlet devices`: whether PackageKit answers (or can be started) on the bus.
// Blocks for at most a few seconds.
std::string probePackageKit(const std::optional<std::string>& bus = std::nullopt);

}  // namespace nuvlet::linux_platform
