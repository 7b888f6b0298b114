#include "platform/linux/session/SysfsRoot.h"

#include <cstdlib>

namespace nuvlet::linux_platform {

std::filesystem::path sysfsRootFromEnvironment() {
  const char* root = std::getenv("NUVLET_SYSFS_ROOT");
  if (root != nullptr && root[0] == '/') return root;
  return "/sys";
}

}  // namespace nuvlet::linux_platform
