#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/linux/devices/I2cAccess.h"
#include "tests/harness/I2cMachine.h"

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

using Machine = test::I2cMachine;

I2cAccess check(const Machine& m) { return checkI2cAccess(m.sys, m.dev, m.modules); }

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
    const auto access = check(m);
    const std::string& problem = access.problem;
    EXPECT_EQ(access.usableBuses, c.usable);
    EXPECT_EQ(problem.empty(), c.expected.empty()) << problem;
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
  const auto problem = test::asNobody([&] { return check(m).problem; });
  ASSERT_TRUE(problem);
  const std::string nodes = (m.dev / "i2c-3").string() + " " + (m.dev / "i2c-4").string();
  EXPECT_NE(problem->find("no read and write access to " + nodes), std::string::npos) << *problem;
  EXPECT_NE(problem->find("sudo setfacl -m u:$USER:rw " + nodes), std::string::npos) << *problem;
}

}  // namespace
}  // namespace nuvlet::linux_platform
