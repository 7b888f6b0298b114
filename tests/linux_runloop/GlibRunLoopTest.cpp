#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "platform/linux/session/GlibRunLoop.h"

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
