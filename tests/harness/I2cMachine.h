#pragma once
// Plays a machine's I2C buses as the kernel lays them out in sysfs and /dev: each adapter
// below the device that owns it (a PCI function, a DRM connector), its i2c-dev class entry
// pointing at it, and a device node per bus; and a user the udev rule gave nothing.
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "tests/support/TempDir.h"

namespace nuvlet::test {

struct I2cMachine {
  TempDir root;
  std::filesystem::path sys = root / "sys";
  std::filesystem::path dev = root / "dev";
  std::filesystem::path modules = root / "modules";  // the kernel's, with i2c-dev built

  I2cMachine() {
    namespace fs = std::filesystem;
    // Readable by everyone, as /sys and /dev are; mkdtemp made it the owner's alone.
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
    std::filesystem::create_directories(dev);
    std::filesystem::create_directories(sys / "class/drm");
    root.write("modules/modules.dep", "kernel/drivers/i2c/i2c-dev.ko:\n");
  }
  // A bus under `owner` (relative to sys/devices), with its /dev node at `mode`; none
  // when `mode` is negative.
  void bus(const std::string& name, const std::string& owner, int mode = 0600) {
    namespace fs = std::filesystem;
    const fs::path adapter = sys / "devices" / owner / name;
    fs::create_directories(adapter / "i2c-dev" / name);
    fs::create_directories(sys / "class/i2c-dev");
    fs::create_directory_symlink(adapter / "i2c-dev" / name, sys / "class/i2c-dev" / name);
    fs::create_directory_symlink(adapter, adapter / "i2c-dev" / name / "device");
    if (mode >= 0) {
      root.write("dev/" + name, "");
      fs::permissions(dev / name, static_cast<fs::perms>(mode));
    }
  }
  // A PCI function of class `cls` ("0x030000" is a VGA controller).
  void pci(const std::string& slot, const std::string& cls) {
    root.write("sys/devices/pci0000:00/" + slot + "/class", cls + "\n");
  }
  void drmConnector(const std::string& path) {
    std::filesystem::create_directories(sys / "devices" / path);
    std::filesystem::create_directory_symlink(sys / "class/drm",
                                              sys / "devices" / path / "subsystem");
  }
};

// What `fn` returns when run by a user without rights to anything of root's: in a forked
// child that has become nobody when the test runs as root (root opens anything), as the
// test's user otherwise; nothing when the child failed.
inline std::optional<std::string> asNobody(const std::function<std::string()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child < 0) return std::nullopt;
  if (child == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(2);
    }
    const std::string out = fn();
    const bool written =
        ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

}  // namespace nuvlet::test
