#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "platform/sim/VirtualRunLoop.h"

namespace nuvlet::sim {
namespace {

TEST(VirtualRunLoop, TimersRunInOrderAtTheirOwnTimes) {
  VirtualRunLoop loop(1000);
  std::vector<std::string> seen;
  auto stamp = [&](const char* what) {
    return [&seen, &loop, what] {
      seen.push_back(what + std::string("@") + std::to_string(static_cast<int>(loop.now() * 10)));
    };
  };
  loop.scheduleAfter(0.3, stamp("c"));
  loop.scheduleAfter(0.1, stamp("a"));
  auto tick = loop.scheduleRepeating(0.25, stamp("r"));
  loop.scheduleAfter(0.1, stamp("b"));  // same time as "a": runs after it
  loop.advance(0.6);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"a@10001", "b@10001", "r@10002", "c@10003", "r@10005"}));
  EXPECT_DOUBLE_EQ(loop.now(), 1000.6);
  loop.cancel(tick);
  loop.advance(10);
  EXPECT_EQ(seen.size(), 5u);
  EXPECT_EQ(loop.activeTimers(), 0u);
}

TEST(VirtualRunLoop, CallbacksMayCancelAndScheduleDuringAdvance) {
  VirtualRunLoop loop;
  int fired = 0, extra = 0;
  RunLoop::TimerId self = 0;
  self = loop.scheduleRepeating(1, [&] {
    if (++fired == 3) loop.cancel(self);
  });
  RunLoop::TimerId victim =
      loop.scheduleAfter(2.5, [&] { ADD_FAILURE() << "cancelled timer ran"; });
  loop.scheduleAfter(2, [&] {
    loop.cancel(victim);
    loop.scheduleAfter(0, [&] { ++extra; });  // zero delay: still within this advance
  });
  loop.advance(10);
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(extra, 1);
}

TEST(VirtualRunLoop, PostsFromAnotherThreadAndReadableFds) {
  VirtualRunLoop loop;
  std::atomic<int> result{0};
  {
    ThreadWorkQueue worker;
    worker.async([&] { loop.post([&] { result = 42; }); });
    EXPECT_TRUE(loop.runUntil([&] { return result == 42; }, 10));
  }
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  int reads = 0;
  auto watch = loop.watchReadable(fds[0], [&] {
    char c;
    if (::read(fds[0], &c, 1) == 1) ++reads;
  });
  loop.runPending();
  EXPECT_EQ(reads, 0);
  ASSERT_EQ(::write(fds[1], "xy", 2), 2);
  EXPECT_TRUE(loop.runUntil([&] { return reads == 2; }, 10));
  loop.cancel(watch);
  ASSERT_EQ(::write(fds[1], "z", 1), 1);
  loop.runPending();
  EXPECT_EQ(reads, 2);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(ThreadWorkQueue, RunsJobsInOrderOffTheCallingThread) {
  VirtualRunLoop loop;
  std::vector<int> order;
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> offThread{true};
  {
    ThreadWorkQueue queue;
    for (int i = 0; i < 50; ++i) {
      queue.async([&, i] {
        if (std::this_thread::get_id() == caller) offThread = false;
        loop.post([&order, i] { order.push_back(i); });
      });
    }
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 50; }, 10));
  }
  EXPECT_TRUE(offThread);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

}  // namespace
}  // namespace nuvlet::sim
