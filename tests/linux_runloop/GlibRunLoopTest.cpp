#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "platform/linux/GlibRunLoop.h"

namespace nuvlet::linux_platform {
namespace {

// Real GLib timers with millisecond delays: the loop runs until the work is done, and
// a guard timer bounds each test in case it is not.
class GlibRunLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    guard = loop->scheduleAfter(10, [this] {
      timedOut = true;
      loop->quit();
    });
  }
  std::unique_ptr<GlibRunLoop> loop = makeGlibRunLoop();
  RunLoop::TimerId guard = 0;
  bool timedOut = false;
};

TEST_F(GlibRunLoopTest, TimersFireInDueOrderAndCancelledOnesNever) {
  std::vector<std::string> seen;
  loop->scheduleAfter(0.03, [&] {
    seen.push_back("late");
    loop->quit();
  });
  loop->scheduleAfter(0.001, [&] { seen.push_back("early"); });
  auto cancelled = loop->scheduleAfter(0.002, [&] { seen.push_back("cancelled"); });
  loop->cancel(cancelled);
  loop->cancel(cancelled);  // twice is harmless
  loop->cancel(987654);     // so is an unknown id
  int ticks = 0;
  RunLoop::TimerId tick = 0;
  tick = loop->scheduleRepeating(0.002, [&] {
    if (++ticks == 3) loop->cancel(tick);  // a repeating timer stops itself
  });
  loop->run();
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(seen, (std::vector<std::string>{"early", "late"}));
  EXPECT_EQ(ticks, 3);
}

TEST_F(GlibRunLoopTest, PostsFromWorkerThreadsRunOnTheLoopThread) {
  const auto mainThread = std::this_thread::get_id();
  std::atomic<int> onMain{0};
  int done = 0;
  {
    ThreadWorkQueue worker;
    for (int i = 0; i < 100; ++i) {
      worker.async([&] {
        loop->post([&] {
          if (std::this_thread::get_id() == mainThread) ++onMain;
          if (++done == 100) loop->quit();
        });
      });
    }
    loop->run();
  }
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(onMain, 100);
}

TEST_F(GlibRunLoopTest, ReadableDescriptorsAreWatchedUntilCancelled) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::string got;
  RunLoop::TimerId watch = 0;
  watch = loop->watchReadable(fds[0], [&] {
    char buf[16];
    auto n = ::read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (got == "abc") {
      loop->cancel(watch);
      loop->quit();
    }
  });
  loop->scheduleAfter(0.001, [&] { ASSERT_EQ(::write(fds[1], "ab", 2), 2); });
  loop->scheduleAfter(0.005, [&] { ASSERT_EQ(::write(fds[1], "c", 1), 1); });
  loop->run();
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(got, "abc");
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(GlibRunLoopTest, QuitBeforeRunReturnsAtOnceAndPendingTimersDieWithTheLoop) {
  bool fired = false;
  loop->scheduleAfter(0.001, [&] { fired = true; });
  loop->quit();
  loop->run();
  EXPECT_FALSE(fired);
  loop.reset();  // destroys pending sources without running them
  EXPECT_FALSE(fired);
}

}  // namespace
}  // namespace nuvlet::linux_platform
