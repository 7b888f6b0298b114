// `nuvlet backlight`, run as the real program on a fake tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness/AppProcess.h"
#include "tests/harness/BacklightTree.h"

namespace nuvlet::test {
namespace {

using testing::HasSubstr;

class BacklightCommands : public testing::Test {
 protected:
  void SetUp() override {
    tree.add("intel_backlight", "raw", "120000", "60000\n");
    tree.add("acpi_video0", "firmware", "0", "0\n");
  }

  // Runs nuvlet with stderr folded into stdout, with no bus to reach logind on.
  ChildProcess::Result nuvlet(std::vector<std::string> args) {
    std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", NUVLET_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string noBus = "unix:path=" + (home / "no-bus").string();
    return ChildProcess::run(argv, appEnvironment(home.path(), tree.root(), noBus, noBus));
  }

  BacklightTree tree;
  TempDir home;
};

TEST_F(BacklightCommands, BacklightReadsSetsAndMoves) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* file;  // brightness afterwards
    const char* out;   // part of the output
  };
  const Case cases[] = {
      {{"backlight"},
       0,
       "60000\n",
       "intel_backlight 0.5000 (60000 of 120000), writes through sysfs"},
      {{"backlight", "0.25"}, 0, "30000\n", "intel_backlight 0.2500"},
      {{"backlight", "40%"}, 0, "48000\n", "0.4000"},
      {{"backlight", "+0.1"}, 0, "60000\n", "0.5000"},
      {{"backlight", "+5"}, 0, "120000\n", "1.0000"},
      {{"backlight", "-5"}, 0, "1\n", "(1 of 120000)"},
      {{"backlight", "nan"}, 2, "1\n", "is not a level"},
      {{"backlight", "1e3"}, 2, "1\n", "is not a level"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto r = nuvlet(c.args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_THAT(r.out, HasSubstr(c.out));
    EXPECT_EQ(tree.read("intel_backlight"), c.file);
  }
}

TEST_F(BacklightCommands, BacklightFailsLoudlyWithoutADeviceOrAWritePath) {
  auto noLogind = nuvlet({"backlight", "--via", "logind", "0.3"});
  EXPECT_EQ(noLogind.status, 1);
  EXPECT_THAT(noLogind.out, HasSubstr("no system bus"));
  EXPECT_EQ(tree.read("intel_backlight"), "60000\n");

  std::filesystem::remove_all(tree.root() / "class");
  auto none = nuvlet({"backlight"});
  EXPECT_EQ(none.status, 1);
  EXPECT_THAT(none.out, HasSubstr("no backlight"));
}

}  // namespace
}  // namespace nuvlet::test
