// The once-only notice that no tray shows the items: said on the log and sent to the
// desktop's notification server, whatever that server does, without holding the loop
// that serves the tray.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "nuvlet/platform/Log.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/NotificationServer.h"
#include "tests/harness/TrayHost.h"

namespace nuvlet::test {
namespace {

constexpr const char* kSummary = "Nuvlet has no tray to show its items in";

// The longest the default main context went without running a 5 ms timer.
class Ticker {
 public:
  Ticker() : id_(g_timeout_add(5, &tick, this)) {}
  ~Ticker() { g_source_remove(id_); }
  double longestGapMs() {
    tick(this);
    return longest_ * 1000;
  }

 private:
  static gboolean tick(gpointer self) {
    auto* t = static_cast<Ticker*>(self);
    const auto now = std::chrono::steady_clock::now();
    t->longest_ = std::max(t->longest_, std::chrono::duration<double>(now - t->last_).count());
    t->last_ = now;
    return G_SOURCE_CONTINUE;
  }
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  double longest_ = 0;
  guint id_;
};

TEST(NoTrayNotice, ReachesTheNotificationServerOnceAndNeverHoldsTheLoop) {
  using Server = NotificationServer::Kind;
  int told = 0;
  log::setSink([&](std::string_view line) { told += line.find(kSummary) != line.npos; });

  for (Server kind : {Server::Answers, Server::NeverAnswers, Server::CrashesMidCall, Server::Absent,
                      Server::NeverStarts}) {
    SCOPED_TRACE(static_cast<int>(kind));
    told = 0;
    NotificationServer server(kind);
    ASSERT_EQ(server.failure(), "");
    sim::VirtualRunLoop loop;
    auto bar = linux_platform::makeStatusNotifierBar(loop, {server.address(), {}, 15.0, ""});
    auto item = bar->addItem("brightness");

    // While the notice is out, the item still registers with a tray that comes late.
    std::optional<Ticker> ticker{std::in_place};
    loop.advance(16);
    if (server.hasServer()) {
      std::optional<std::string> call;
      ASSERT_TRUE(pumpUntil([&] { return (call = server.nextNotify(0.01)).has_value(); }, 10));
      EXPECT_NE(call->find(kSummary), std::string::npos) << *call;
    }
    auto host = std::make_unique<TrayHost>(server.address());
    ASSERT_TRUE(host->start());
    ASSERT_TRUE(host->waitForRegistrations(1));
    EXPECT_TRUE(pumpUntil([&] { return bar->hostAvailable(); }));
    EXPECT_LE(ticker->longestGapMs(), 100.0);
    ticker.reset();
    EXPECT_EQ(told, 1);

    // Once per run: a tray that goes away again is not told of twice.
    host.reset();
    EXPECT_TRUE(pumpUntil([&] { return !bar->hostAvailable(); }));
    loop.advance(16);
    pumpUntil([] { return false; }, 0.2);
    EXPECT_EQ(told, 1);
    if (kind == Server::Answers) {
      EXPECT_FALSE(server.nextNotify(0.2));
    }
  }
  log::setSink({});
}

}  // namespace
}  // namespace nuvlet::test
