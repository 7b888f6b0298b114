#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/devices/I2cAccess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

// A sysfs tree as the kernel lays it out: the I2C adapter below the device that owns it,
// and the i2c-dev class entry pointing at it.
struct Machine {
  test::TempDir root;
  fs::path sys = root / "sys";
  fs::path dev = root / "dev";
  fs::path modules = root / "modules";

  Machine() {
    fs::create_directories(dev);
    fs::create_directories(sys / "class/drm");
    root.write("modules/modules.dep", "kernel/drivers/i2c/i2c-dev.ko:\n");
  }
  // A bus under `owner` (relative to sys/devices), with its /dev node at `mode`.
  void bus(const std::string& name, const std::string& owner, int mode = 0600) {
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
  void pci(const std::string& slot, const std::string& cls) {
    root.write("sys/devices/pci0000:00/" + slot + "/class", cls + "\n");
  }
  void drmConnector(const std::string& path) {
    fs::create_directories(sys / "devices" / path);
    fs::create_directory_symlink(sys / "class/drm", sys / "devices" / path / "subsystem");
  }
  I2cAccess check() const { return checkI2cAccess(sys, dev, modules); }
};

TEST(I2cAccess, SaysWhyDdcIsUnusableAndWhatToRun) {
  struct Case {
    const char* name;
    void (*setUp)(Machine&);
    std::vector<std::string> expected;  // all in the problem; empty = usable
    std::vector<std::string> usable = {};
  };
  const std::vector<Case> cases = {
      {"module not loaded",
       [](Machine&) {},
       {"i2c-dev kernel module is not loaded", "sudo modprobe i2c-dev"}},
      {"a kernel without the module (a container)",
       [](Machine& m) { fs::remove(m.modules / "modules.dep"); },
       {"this kernel has no i2c-dev module", "on the host"}},
      {"module loaded, no bus",
       [](Machine& m) { fs::create_directories(m.sys / "module/i2c_dev"); },
       {"registers no I2C bus"}},
      {"only an SMBus",
       [](Machine& m) {
         m.pci("0000:00:1f.4", "0x0c0500");
         m.bus("i2c-0", "pci0000:00/0000:00:1f.4");
       },
       {"none of the 1 I2C buses belongs to a graphics card"}},
      {"the graphics card's bus without a node",
       [](Machine& m) {
         m.pci("0000:00:02.0", "0x030000");
         m.bus("i2c-3", "pci0000:00/0000:00:02.0", -1);
       },
       {"no device node for ", "/dev/i2c-3"}},
      {"a card's and a connector's bus usable, an SMBus root's",
       [](Machine& m) {
         m.pci("0000:00:1f.4", "0x0c0500");
         m.bus("i2c-0", "pci0000:00/0000:00:1f.4", 0);
         m.pci("0000:01:00.0", "0x030200");  // a second card, a 3D controller
         m.bus("i2c-3", "pci0000:00/0000:01:00.0");
         m.drmConnector("platform/soc/display/drm/card0/card0-DP-1");
         m.bus("i2c-5", "platform/soc/display/drm/card0/card0-DP-1");
       },
       {},
       {"i2c-3", "i2c-5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Machine m;
    c.setUp(m);
    const auto access = m.check();
    const std::string& problem = access.problem;
    EXPECT_EQ(access.usableBuses, c.usable);
    if (c.expected.empty()) {
      EXPECT_EQ(problem, "");
    }
    for (const auto& part : c.expected) {
      EXPECT_NE(problem.find(part), std::string::npos) << problem;
    }
  }
}

// A user the udev rule gave nothing: nodes they may not open. Root opens anything, so
// as root the check runs in a child that has become nobody.
TEST(I2cAccess, NodesTheUserMayNotOpenAreNamedWithTheCommandThatOpensThem) {
  Machine m;
  m.pci("0000:00:02.0", "0x030000");
  m.bus("i2c-3", "pci0000:00/0000:00:02.0", 0600);
  m.bus("i2c-4", "pci0000:00/0000:00:02.0", 0600);
  fs::permissions(m.root.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(2);
    }
    const std::string problem = m.check().problem;
    const bool written =
        ::write(fds[1], problem.data(), problem.size()) == static_cast<ssize_t>(problem.size());
    ::_exit(written ? 0 : 3);
  }
  ::close(fds[1]);
  std::string problem;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) problem.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string nodes = (m.dev / "i2c-3").string() + " " + (m.dev / "i2c-4").string();
  EXPECT_NE(problem.find("no read and write access to " + nodes), std::string::npos) << problem;
  EXPECT_NE(problem.find("sudo setfacl -m u:$USER:rw " + nodes), std::string::npos) << problem;
}

}  // namespace
}  // namespace nuvlet::linux_platform
