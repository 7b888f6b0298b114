#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/control/ExternalBrightnessController.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/MonitorToolDir.h"
#include "tests/harness/ProcessCheck.h"

namespace nuvlet::test {
namespace {

using Controller = ExternalBrightnessController;

// Every test runs real child processes; none may leave one behind, or a descriptor open.
class ControllerTest : public ::testing::Test, protected MonitorToolDir {
 protected:
  void SetUp() override { descriptorsBefore_ = openDescriptorCount(); }
  void TearDown() override {
    EXPECT_TRUE(childProcesses().empty()) << "a child process was left behind";
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore_) << "a descriptor was left open";
  }

  std::optional<double> read(Controller& c, DisplayID id, double realTimeout = 5) {
    std::optional<std::optional<double>> answer;
    c.get(id, [&](std::optional<double> v) { answer.emplace(v); });
    EXPECT_FALSE(answer) << "answered inside the call";
    EXPECT_TRUE(loop_.runUntil([&] { return answer.has_value(); }, realTimeout));
    return answer.value_or(std::nullopt);
  }

  // Sets and waits for the answer; the answer to a deferred set comes at once.
  bool write(Controller& c, DisplayID id, double level) {
    std::optional<bool> result;
    c.set(id, level, [&](bool ok) { result = ok; });
    EXPECT_FALSE(result) << "answered inside the call";
    EXPECT_TRUE(loop_.runUntil([&] { return result.has_value(); }));
    return result.value_or(false);
  }

  sim::VirtualRunLoop loop_;
  std::size_t descriptorsBefore_ = 0;
};

TEST_F(ControllerTest, RunsTheToolWithTheDisplaysIdAndWritesClampedWholePercentagesNanNothing) {
  Controller c(loop_, tool());
  setLevel(" 75");
  EXPECT_EQ(read(c, 7), 0.75);
  EXPECT_FALSE(write(c, 1, std::nan("")));
  EXPECT_TRUE(write(c, 1, 1.2)) << "a NaN must not count for the rate limit";
  EXPECT_TRUE(write(c, 2, 0.125));
  EXPECT_EQ(commands(), (std::vector<std::string>{"display id=7 get luminance",
                                                  "display id=1 set luminance 100",
                                                  "display id=2 set luminance 13"}));
}

TEST_F(ControllerTest, SetsWithinTheIntervalLeaveTheLastToTheTrailingTimer) {
  Controller c(loop_, tool());
  EXPECT_TRUE(write(c, 2, 0.3));
  loop_.advance(0.05);
  EXPECT_FALSE(write(c, 2, 0.6));
  loop_.advance(0.03);
  EXPECT_FALSE(write(c, 2, 0.7));
  EXPECT_EQ(loop_.activeTimers(), 1u) << "the third set must not arm a second timer";
  loop_.advance(0.019);
  EXPECT_EQ(commands().size(), 1u) << "the trailing write came early";
  loop_.advance(0.0011);  // "about" 100 ms: sums of decimal steps are not exact
  EXPECT_TRUE(loop_.runUntil([&] { return commands().size() >= 2; }));
  EXPECT_TRUE(loop_.runUntil([&] { return !c.busy(); }));
  loop_.advance(1);
  EXPECT_EQ(commands(), (std::vector<std::string>{"display id=2 set luminance 30",
                                                  "display id=2 set luminance 70"}));
}

TEST_F(ControllerTest, ToolFailuresGiveNothing) {
  const struct {
    const char* name;
    const char* body;
    bool readSucceeds;  // exit 0 with UTF-8 output: probe and write count it as success
  } cases[] = {
      {"non-zero exit", "echo 50; exit 3", false},
      {"killed by a signal", "kill -9 $$", false},
      {"invalid UTF-8", R"(printf '\377')", false},
      {"garbage", "echo garbage", true},
      {"a megabyte", "head -c 1048576 /dev/zero | tr '\\0' 5", false},
  };
  for (const auto& tc : cases) {
    Controller c(loop_, tool(tc.body, tc.name));
    EXPECT_EQ(read(c, 1), std::nullopt) << tc.name;
    bool probed = !tc.readSucceeds;
    c.probe(1, [&](bool ok) { probed = ok; });
    EXPECT_TRUE(loop_.runUntil([&] { return !c.busy(); }));
    EXPECT_EQ(probed, tc.readSucceeds) << tc.name;
    EXPECT_EQ(write(c, 1, 0.5), tc.readSucceeds) << tc.name;
  }
}

TEST_F(ControllerTest, AHangingToolIsStoppedAtTheDefaultTimeout) {
  Controller c(loop_, tool("exec sleep 30"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(c, 1), std::nullopt);
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(took, Controller::kSubprocessTimeout);
  EXPECT_LT(took, Controller::kSubprocessTimeout + 2.0) << "the hanging tool ran on";
}

TEST_F(ControllerTest, RunsForOneDisplayNeverOverlapAndWaitingWritesCoalesce) {
  Controller c(loop_, tool(R"(echo "start $5" >> "$LOG"; sleep 0.3; echo "end $5" >> "$LOG")"));
  std::vector<bool> results;
  auto collect = [&](bool ok) { results.push_back(ok); };
  c.set(1, 0.3, collect);
  loop_.advance(0.2);
  c.set(1, 0.5, collect);  // past the interval: written at once, but waits its turn
  loop_.advance(0.2);
  c.set(1, 0.7, collect);  // replaces the waiting 0.5
  EXPECT_TRUE(loop_.runUntil([&] { return !c.busy(); }));
  EXPECT_EQ(commands(), (std::vector<std::string>{"start 30", "end 30", "start 70", "end 70"}));
  EXPECT_EQ(results, (std::vector<bool>{false, true, true}))
      << "the replaced write answers first, with false";
}

TEST_F(ControllerTest, DestroyingWhileAToolRunsStopsAndReapsIt) {
  bool answered = false;
  {
    Controller c(loop_, tool("echo $$ > \"$LOG\"; exec sleep 30"));
    c.get(1, [&](std::optional<double>) { answered = true; });
    EXPECT_TRUE(loop_.runUntil([&] { return !commands().empty(); }));
  }
  loop_.runPending();
  EXPECT_FALSE(answered);
  pid_t group = std::stoi(commands()[0]);
  EXPECT_TRUE(loop_.runUntil([&] { return !processGroupAlive(group); }, 2));
}

}  // namespace
}  // namespace nuvlet::test
