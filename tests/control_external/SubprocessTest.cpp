#include <signal.h>

#include "nuvlet/platform/Subprocess.h"
#include "tests/control_external/ToolFixture.h"

namespace nuvlet::test {
namespace {

using SubprocessTest = ToolTest;

TEST_F(SubprocessTest, RunAndWaitPassesArgumentsUntouchedAndCollectsStreamsAndStatus) {
  auto r = Subprocess::runAndWait(
      {tool(R"(for a in "$@"; do printf '[%s]' "$a"; done; echo err >&2; exit 4)").string(), "a b",
       "$HOME", "*;|"},
      {});
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.out, "[a b][$HOME][*;|]");
  EXPECT_EQ(r.err, "err\n");
  EXPECT_EQ(r.exitStatus, 4);
  EXPECT_FALSE(r.succeeded());
}

TEST_F(SubprocessTest, OutputPastTheLimitIsDroppedWithoutStallingTheChild) {
  auto r = Subprocess::runAndWait({tool("head -c 1000000 /dev/zero; echo done >&2").string()},
                                  {5.0, 0.2, 1000});
  EXPECT_EQ(r.out.size(), 1000u);
  EXPECT_TRUE(r.outputTruncated);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.err, "done\n");
}

TEST_F(SubprocessTest, TimeoutTerminatesTheChild) {
  auto r = Subprocess::runAndWait({tool("exec sleep 30").string()}, {0.1, 0.2, 100});
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_EQ(r.exitStatus, -1);
}

TEST_F(SubprocessTest, ProgramThatCannotStartIsReported) {
  EXPECT_FALSE(Subprocess::runAndWait({(dir_ / "missing").string()}, {}).started);
  EXPECT_FALSE(Subprocess::runAndWait({}, {}).started);
}

TEST_F(SubprocessTest, ExitIsSeenWhileAGrandchildHoldsThePipe) {
  auto r = Subprocess::runAndWait({tool("echo $$; sleep 30 & exit 0").string()}, {5.0, 0.2, 100});
  EXPECT_TRUE(r.succeeded());
  EXPECT_FALSE(r.timedOut);
  // The grandchild is no child of ours; stop it so it does not outlive the test.
  ::kill(-std::stoi(r.out), SIGKILL);
}

}  // namespace
}  // namespace nuvlet::test
