#pragma once

#include <filesystem>

namespace nuvlet::linux_platform {

// Where sysfs is: $NUVLET_SYSFS_ROOT when it is an absolute path, else /sys. Every
// command and the app go through this, so all of them can be tried on a fake tree.
std::filesystem::path sysfsRootFromEnvironment();

}  // namespace nuvlet::linux_platform
