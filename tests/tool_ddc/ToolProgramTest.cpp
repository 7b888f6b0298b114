#include <gtest/gtest.h>

#include <chrono>

#include "nuvlet/platform/Subprocess.h"
#include "tests/support/ProcessCheck.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {
namespace {

struct Run {
  SubprocessResult result;
  double seconds;
};

Run runTool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NUVLET_DDC_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  auto start = std::chrono::steady_clock::now();
  auto result = Subprocess::runAndWait(argv, {10.0, 0.5, 1 << 16});
  return {result, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

bool oneLine(const std::string& s) {
  return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

class ToolProgram : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(childProcesses().empty()); }
  TempDir cache_;
  ScopedEnv cacheHome_{"XDG_CACHE_HOME", cache_.path().string()};
};

TEST_F(ToolProgram, WithoutAnXServerItFailsFastWithAReason) {
  ScopedEnv display("DISPLAY", ":9999");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"display", "id=1", "get", "luminance"},
                                             {"display", "id=1", "set", "luminance", "50"},
                                             {"list"}}) {
    auto run = runTool(args);
    EXPECT_EQ(run.result.exitStatus, 1);
    EXPECT_EQ(run.result.out, "") << "libddcutil's chatter reached stdout";
    EXPECT_TRUE(oneLine(run.result.err)) << run.result.err;
    EXPECT_NE(run.result.err.find("X server"), std::string::npos) << run.result.err;
    EXPECT_LT(run.seconds, 3.0) << "waited for something that is not there";
  }
}

}  // namespace
}  // namespace nuvlet::test
