#include "platform/linux/devices/I2cAccess.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <string>
#include <system_error>

#include "platform/linux/session/SysfsRoot.h"

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

std::string firstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Walks from the bus's device up through its parents: a display controller (PCI class
// 0x03xxxx) or a DRM device on the way makes it a display's bus.
bool isDisplayBus(const fs::path& classEntry, const fs::path& sysfsRoot) {
  std::error_code ec;
  fs::path dir = fs::canonical(classEntry / "device", ec);
  if (ec) return false;
  const fs::path top = fs::weakly_canonical(sysfsRoot / "devices", ec);
  for (int depth = 0; depth < 32 && !dir.empty() && dir != top && dir != dir.root_path();
       ++depth, dir = dir.parent_path()) {
    if (firstLine(dir / "class").rfind("0x03", 0) == 0) return true;
    const fs::path subsystem = fs::read_symlink(dir / "subsystem", ec);
    if (!ec && subsystem.filename() == "drm") return true;
  }
  return false;
}

// Whether the running kernel could load i2c-dev at all: a container or a trimmed kernel
// has no module to load.
bool kernelHasModule(const fs::path& modulesDir) {
  std::ifstream dep(modulesDir / "modules.dep");
  std::string line;
  while (std::getline(dep, line)) {
    if (line.find("/i2c-dev.ko") != std::string::npos) return true;
  }
  return firstLine(modulesDir / "modules.builtin").find("i2c-dev.ko") != std::string::npos;
}

std::string joined(const std::vector<std::string>& names, const std::string& prefix) {
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + prefix + n;
  return out;
}

}  // namespace

I2cAccess checkI2cAccess(const fs::path& sysfsRoot, const fs::path& devDir,
                         const fs::path& modulesDir) {
  I2cAccess result;
  std::error_code ec;
  std::vector<std::string> buses;
  for (fs::directory_iterator it(sysfsRoot / "class/i2c-dev", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    buses.push_back(name);
    if (isDisplayBus(it->path(), sysfsRoot)) result.displayBuses.push_back(name);
  }
  std::sort(result.displayBuses.begin(), result.displayBuses.end());

  if (buses.empty()) {
    if (fs::exists(sysfsRoot / "module/i2c_dev")) {
      result.problem = "unusable: i2c-dev is loaded but the graphics driver registers no I2C bus";
    } else if (kernelHasModule(modulesDir)) {
      result.problem =
          "unusable: the i2c-dev kernel module is not loaded; run \"sudo modprobe i2c-dev\" "
          "(the nuvlet package loads it at every boot)";
    } else {
      result.problem = "unusable: this kernel has no i2c-dev module (" + modulesDir.string() +
                       " lists none; in a container, load it on the host)";
    }
    return result;
  }
  if (result.displayBuses.empty()) {
    result.problem = "unusable: none of the " + std::to_string(buses.size()) +
                     " I2C buses belongs to a graphics card";
    return result;
  }

  std::vector<std::string> missing, denied;
  for (const auto& bus : result.displayBuses) {
    const fs::path node = devDir / bus;
    if (::access(node.c_str(), R_OK | W_OK) == 0) {
      result.usableBuses.push_back(bus);
    } else if (errno == ENOENT) {
      missing.push_back(bus);
    } else {
      denied.push_back(bus);
    }
  }
  if (!result.usableBuses.empty()) return result;
  if (!denied.empty()) {
    const std::string nodes = joined(denied, (devDir / "").string());
    result.problem = "unusable: no read and write access to " + nodes +
                     "; the nuvlet package gives it to the user at the seat (log out and in "
                     "again after installing it); by hand until the next boot: "
                     "\"sudo setfacl -m u:$USER:rw " +
                     nodes + "\"";
  } else {
    result.problem = "unusable: no device node for " + joined(missing, (devDir / "").string()) +
                     " (is udev running?)";
  }
  return result;
}

I2cAccess checkI2cAccess() {
  struct utsname uts {};
  ::uname(&uts);
  return checkI2cAccess(sysfsRootFromEnvironment(), "/dev", fs::path("/lib/modules") / uts.release);
}

}  // namespace nuvlet::linux_platform
