#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace nuvlet::linux_platform {

// Whether nuvlet-ddc can reach monitors over DDC/CI from this process: the i2c-dev
// module gives each I2C bus a node under /dev, and only the buses of a graphics card
// (its PCI class is a display controller, or a DRM connector registered the bus) can
// carry a monitor's DDC/CI.
struct I2cAccess {
  std::vector<std::string> displayBuses;  // "i2c-3", ...
  std::vector<std::string> usableBuses;   // those this process may read and write
  // Empty when DDC/CI is usable; else why not, and what to run.
  std::string problem;
};

// `sysfsRoot` is /sys, `devDir` /dev and `modulesDir` /lib/modules/<kernel release>
// on a real system.
I2cAccess checkI2cAccess(const std::filesystem::path& sysfsRoot,
                         const std::filesystem::path& devDir,
                         const std::filesystem::path& modulesDir);

// The same for this machine's kernel, with sysfs from the environment.
I2cAccess checkI2cAccess();

}  // namespace nuvlet::linux_platform
