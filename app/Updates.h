#pragma once

#include "nuvlet/platform/Defaults.h"
#include "platform/linux/desktop/PackageKitUpdateService.h"

namespace nuvlet::cli {

// The updater's settings for this process: the package the running program came from
// (dpkg's database, or NUVLET_DPKG_ADMINDIR), the system bus, the user's settings, and
// the delay of the first check (NUVLET_UPDATE_CHECK_DELAY seconds, to try it by hand).
linux_platform::PackageKitOptions updateOptions(Defaults& defaults);

// Where a running Nuvlet restarts into after an update: the same command, the new
// program. Returns only when it cannot start it.
void relaunch(const std::filesystem::path& binary);

}  // namespace nuvlet::cli
