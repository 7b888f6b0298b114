// The once-only notice that no tray shows the items: said on the log and sent to the
// desktop's notification server, whatever that server does, without holding the loop
// that serves the tray.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "nuvlet/platform/Log.h"
#include "platform/linux/tray/StatusNotifierBar.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/DbusMock.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

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
  enum class Server { Answers, NeverAnswers, CrashesMidCall, Absent, NeverStarts };
  const struct Case {
    const char* name;
    Server server;
  } cases[] = {
      {"a server that answers", Server::Answers},
      {"a server that never answers", Server::NeverAnswers},
      {"a server that crashes mid-call", Server::CrashesMidCall},
      {"no server", Server::Absent},
      // As with some desktops' helpers: activatable, but the server never comes.
      {"a server started on demand that never comes", Server::NeverStarts},
  };
  int told = 0;
  log::setSink([&](std::string_view line) { told += line.find(kSummary) != line.npos; });

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    told = 0;
    TempDir services;
    services.write("notifications.service",
                   "[D-BUS Service]\nName=org.freedesktop.Notifications\n"
                   "Exec=/bin/sh -c 'exec dbus-monitor --address \"$DBUS_STARTER_ADDRESS\"'\n");
    DbusDaemon bus{DbusDaemon::Kind::Session,
                   c.server == Server::NeverStarts ? services.path().string() : ""};
    ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
    std::unique_ptr<DbusMock> server;
    if (c.server == Server::Answers) {
      server = DbusMock::fromTemplate(bus.address(), false, "notification_daemon");
    } else if (c.server == Server::NeverAnswers || c.server == Server::CrashesMidCall) {
      server = DbusMock::bare(bus.address(), false, "org.freedesktop.Notifications",
                              "/org/freedesktop/Notifications", "org.freedesktop.Notifications");
      ASSERT_TRUE(
          server->addMethod("org.freedesktop.Notifications", "Notify", "susssasa{sv}i", "u",
                            c.server == Server::NeverAnswers ? "time.sleep(60)" : "os._exit(1)"));
    }
    if (server) {
      ASSERT_TRUE(server->running()) << "python3-dbusmock is required";
    }
    sim::VirtualRunLoop loop;
    auto bar = linux_platform::makeStatusNotifierBar(loop, {bus.address(), {}, 15.0, ""});
    auto item = bar->addItem("brightness");

    // While the notice is out, the item still registers with a tray that comes late.
    std::optional<Ticker> ticker{std::in_place};
    loop.advance(16);
    if (server) {
      std::optional<std::string> call;
      ASSERT_TRUE(
          pumpUntil([&] { return (call = server->nextCall("Notify", 0.01)).has_value(); }, 10));
      EXPECT_NE(call->find(kSummary), std::string::npos) << *call;
    }
    auto host = std::make_unique<TrayHost>(bus.address());
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
    if (c.server == Server::Answers) {
      EXPECT_FALSE(server->nextCall("Notify", 0.2));
    }
  }
  log::setSink({});
}

}  // namespace
}  // namespace nuvlet::test
