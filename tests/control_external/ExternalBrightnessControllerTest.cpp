#include <signal.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <optional>

#include "nuvlet/control/ExternalBrightnessController.h"
#include "tests/control_external/ToolFixture.h"

namespace nuvlet::test {
namespace {

using Controller = ExternalBrightnessController;

// Logs every command line; answers a read with the bytes in the file "answer".
constexpr const char* kGoodTool = R"(echo "$*" >> "$LOG"
[ "$4" = luminance ] || exit 2
[ "$3" = get ] && cat "$(dirname "$0")/answer"
exit 0)";

class ControllerTest : public ToolTest {
 protected:
  std::optional<double> read(Controller& c, DisplayID id, double realTimeout = 5) {
    bool done = false;
    std::optional<double> level;
    c.get(id, [&](std::optional<double> v) {
      level = v;
      done = true;
    });
    EXPECT_FALSE(done) << "answered inside the call";
    EXPECT_TRUE(loop_.runUntil([&] { return done; }, realTimeout));
    return level;
  }

  // Sets and waits for the answer; the answer to a deferred set comes at once.
  bool write(Controller& c, DisplayID id, double level) {
    std::optional<bool> result;
    c.set(id, level, [&](bool ok) { result = ok; });
    EXPECT_FALSE(result) << "answered inside the call";
    EXPECT_TRUE(loop_.runUntil([&] { return result.has_value(); }));
    return result.value_or(false);
  }

  void waitForLogLines(std::size_t n) {
    EXPECT_TRUE(loop_.runUntil([&] { return logLines().size() >= n; }));
  }

  double elapsedSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

TEST(ParseLevel, TheIntegerGrammarAndTheEdgesOfTheSignedRange) {
  const std::pair<const char*, double> good[] = {{" 75\n", 0.75},
                                                 {"150", 1.0},
                                                 {"-5", 0.0},
                                                 {"+40", 0.4},
                                                 {"\r\n\t42 \n\n", 0.42},
                                                 {"007", 0.07},
                                                 {"-9223372036854775808", 0.0},
                                                 {"9223372036854775807", 1.0}};
  for (auto [text, level] : good) EXPECT_EQ(Controller::parseLevel(text), level) << text;
  for (const char* bad :
       {"9223372036854775808", "75%", "50.5", "", "0x10", "+-5", "--5", "-", "7 5"}) {
    EXPECT_EQ(Controller::parseLevel(bad), std::nullopt) << bad;
  }
}

TEST_F(ControllerTest, ReadsRunTheToolWithTheDisplaysId) {
  Controller c(loop_, tool(kGoodTool));
  dir_.write("answer", " 75\n");
  EXPECT_EQ(read(c, 7), 0.75);
  dir_.write("answer", "garbage");
  EXPECT_EQ(read(c, 7), std::nullopt);
  EXPECT_EQ(logLines().front(), "display id=7 get luminance");
}

TEST(PercentFor, RoundsHalvesAwayFromZeroAndClamps) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, int> cases[] = {{1.2, 100}, {-0.3, 0},   {0.125, 13}, {0.5, 50},
                                          {0.005, 1}, {0.0049, 0}, {inf, 100},  {-inf, 0}};
  for (auto [level, percent] : cases) EXPECT_EQ(Controller::percentFor(level), percent) << level;
}

TEST_F(ControllerTest, WritesSendClampedWholePercentagesAndNanNothing) {
  Controller c(loop_, tool(kGoodTool));
  EXPECT_FALSE(write(c, 1, std::nan("")));
  EXPECT_TRUE(write(c, 1, 1.2)) << "a NaN must not count for the rate limit";
  EXPECT_TRUE(write(c, 2, 0.125));
  EXPECT_EQ(logLines(), (std::vector<std::string>{"display id=1 set luminance 100",
                                                  "display id=2 set luminance 13"}));
}

TEST_F(ControllerTest, SetsWithinTheIntervalLeaveTheLastToTheTrailingTimer) {
  Controller c(loop_, tool(kGoodTool));
  EXPECT_TRUE(write(c, 2, 0.3));
  loop_.advance(0.05);
  EXPECT_FALSE(write(c, 2, 0.6));
  loop_.advance(0.03);
  EXPECT_FALSE(write(c, 2, 0.7));
  EXPECT_EQ(loop_.activeTimers(), 1u) << "the third set must not arm a second timer";
  loop_.advance(0.019);
  EXPECT_EQ(logLines().size(), 1u) << "the trailing write came early";
  loop_.advance(0.0011);  // "about" 100 ms: sums of decimal steps are not exact
  waitForLogLines(2);
  EXPECT_TRUE(loop_.runUntil([&] { return !c.busy(); }));
  loop_.advance(1);
  EXPECT_EQ(logLines(), (std::vector<std::string>{"display id=2 set luminance 30",
                                                  "display id=2 set luminance 70"}));
}

// The interval is per display, and measured on the monotonic clock.
TEST_F(ControllerTest, SetAfterTheIntervalOrForAnotherDisplayWritesAtOnce) {
  Controller c(loop_, tool(kGoodTool));
  EXPECT_TRUE(write(c, 4, 0.1));
  loop_.advance(0.01);
  EXPECT_TRUE(write(c, 5, 0.6));
  loop_.setWallClock(loop_.now() - 3600);
  loop_.advance(0.1);
  EXPECT_TRUE(write(c, 4, 0.2));
  EXPECT_EQ(loop_.activeTimers(), 0u);
  EXPECT_EQ(logLines().size(), 3u);
}

TEST_F(ControllerTest, ImmediateWriteBeforeAnOverdueTimerLeavesItNothingToDo) {
  Controller c(loop_, tool(kGoodTool));
  EXPECT_TRUE(write(c, 8, 0.1));
  loop_.advance(0.099);
  // 1 ms left, but the trailing delay is at least 5 ms: the timer is due at 0.104.
  EXPECT_FALSE(write(c, 8, 0.5));
  loop_.advance(0.002);
  EXPECT_TRUE(write(c, 8, 0.7));
  EXPECT_EQ(loop_.activeTimers(), 1u);
  loop_.advance(0.01);
  EXPECT_TRUE(loop_.runUntil([&] { return !c.busy(); }));
  EXPECT_EQ(loop_.activeTimers(), 0u);
  EXPECT_EQ(logLines(), (std::vector<std::string>{"display id=8 set luminance 10",
                                                  "display id=8 set luminance 70"}));
}

TEST_F(ControllerTest, DestroyingWithAnArmedTimerDropsThePendingValue) {
  {
    Controller c(loop_, tool(kGoodTool));
    EXPECT_TRUE(write(c, 2, 0.3));
    loop_.advance(0.05);
    EXPECT_FALSE(write(c, 2, 0.6));
  }
  EXPECT_EQ(loop_.activeTimers(), 0u);
  loop_.advance(1);
  EXPECT_EQ(logLines(), std::vector<std::string>{"display id=2 set luminance 30"});
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

TEST_F(ControllerTest, MissingOrUnstartableToolFailsQuietly) {
  Controller absent(loop_, std::nullopt);
  EXPECT_FALSE(absent.isAvailable());
  EXPECT_EQ(read(absent, 1), std::nullopt);
  EXPECT_FALSE(write(absent, 1, 0.5));

  auto notExecutable = dir_.write("plain", "#!/bin/sh\necho 50\n");
  Controller broken(loop_, notExecutable);
  EXPECT_EQ(read(broken, 1), std::nullopt);
  Controller missing(loop_, dir_ / "nowhere");
  EXPECT_EQ(read(missing, 1), std::nullopt);
}

TEST_F(ControllerTest, ASlowToolIsWaitedForAndAHangingOneStoppedAtTheDefaultTimeout) {
  Controller slow(loop_, tool("sleep 0.5; echo 40", "slow"));
  EXPECT_EQ(read(slow, 1), 0.4);
  Controller c(loop_, tool("exec sleep 30"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(c, 1), std::nullopt);
  double took = elapsedSince(start);
  EXPECT_GE(took, Controller::kSubprocessTimeout);
  EXPECT_LT(took, Controller::kSubprocessTimeout + 2.0) << "the hanging tool ran on";
}

TEST_F(ControllerTest, ToolIgnoringTerminationIsKilledWithItsChildren) {
  Controller c(loop_, tool("trap '' TERM; echo $$ > \"$LOG\"; sleep 30; sleep 30"), {0.2, 0.2, 4});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(c, 1), std::nullopt);
  EXPECT_GE(elapsedSince(start), 0.4);
  ASSERT_EQ(logLines().size(), 1u);
  pid_t group = std::stoi(logLines()[0]);
  EXPECT_TRUE(loop_.runUntil([&] { return !processGroupAlive(group); }, 2))
      << "the tool's sleep outlived it";
}

TEST_F(ControllerTest, ChildInheritsNoDescriptorAndNoIgnoredSignal) {
  int leaked = ::dup(STDERR_FILENO);  // deliberately without close-on-exec
  auto previous = ::signal(SIGTERM, SIG_IGN);
  Controller c(loop_,
               tool("[ -e /proc/$$/fd/" + std::to_string(leaked) +
                    " ] && echo leaked >> \"$LOG\"; echo $$ >> \"$LOG\"; exec sleep 30"),
               {0.2, 5.0, 4});
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(c, 1), std::nullopt);
  ::signal(SIGTERM, previous);
  ::close(leaked);
  // Ignoring SIGTERM would hold it until the 5 s grace ends in SIGKILL.
  EXPECT_LT(elapsedSince(start), 4.0) << "SIGTERM was ignored: the child inherited SIG_IGN";
  ASSERT_EQ(logLines().size(), 1u) << "the child saw a descriptor of ours";
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
  EXPECT_EQ(logLines(), (std::vector<std::string>{"start 30", "end 30", "start 70", "end 70"}));
  EXPECT_EQ(results, (std::vector<bool>{false, true, true}))
      << "the replaced write answers first, with false";
}

TEST_F(ControllerTest, ReadersWaitingTogetherShareOneRun) {
  dir_.write("answer", "64");
  Controller c(loop_, tool(std::string("sleep 0.2\n") + kGoodTool));
  c.set(1, 0.5);
  int answers = 0;
  for (int i = 0; i < 3; ++i) {
    c.get(1, [&](std::optional<double> v) {
      EXPECT_EQ(v, 0.64);
      ++answers;
    });
  }
  EXPECT_TRUE(loop_.runUntil([&] { return answers == 3; }));
  EXPECT_EQ(logLines().size(), 2u);
}

TEST_F(ControllerTest, DestroyingWhileAToolRunsStopsAndReapsIt) {
  bool answered = false;
  {
    Controller c(loop_, tool("echo $$ > \"$LOG\"; exec sleep 30"));
    c.get(1, [&](std::optional<double>) { answered = true; });
    waitForLogLines(1);
  }
  loop_.runPending();
  EXPECT_FALSE(answered);
  pid_t group = std::stoi(logLines()[0]);
  EXPECT_TRUE(loop_.runUntil([&] { return !processGroupAlive(group); }, 2));
}

}  // namespace
}  // namespace nuvlet::test
