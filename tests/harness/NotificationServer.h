#pragma once
// Plays the desktop's notification server (org.freedesktop.Notifications) on a private
// session bus, in each way a desktop may have one: python3-dbusmock's notification
// daemon, a server whose Notify never answers or crashes it mid-call, none at all, or
// one the bus would start on demand that never comes (as with some desktops' helpers).
#include <memory>
#include <optional>
#include <string>

#include "tests/harness/DbusMock.h"
#include "tests/harness/Servers.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class NotificationServer {
 public:
  enum class Kind { Answers, NeverAnswers, CrashesMidCall, Absent, NeverStarts };

  explicit NotificationServer(Kind kind) {
    services_.write("notifications.service",
                    "[D-BUS Service]\nName=org.freedesktop.Notifications\n"
                    "Exec=/bin/sh -c 'exec dbus-monitor --address \"$DBUS_STARTER_ADDRESS\"'\n");
    bus_ = std::make_unique<DbusDaemon>(DbusDaemon::Kind::Session,
                                        kind == Kind::NeverStarts ? services_.path().string() : "");
    if (kind == Kind::Answers) {
      mock_ = DbusMock::fromTemplate(bus_->address(), false, "notification_daemon");
    } else if (kind == Kind::NeverAnswers || kind == Kind::CrashesMidCall) {
      mock_ = DbusMock::bare(bus_->address(), false, "org.freedesktop.Notifications",
                             "/org/freedesktop/Notifications", "org.freedesktop.Notifications");
      methodAdded_ =
          mock_->addMethod("org.freedesktop.Notifications", "Notify", "susssasa{sv}i", "u",
                           kind == Kind::NeverAnswers ? "time.sleep(60)" : "os._exit(1)");
    }
  }

  // "" when the bus and the server (where there is one) run, else what is missing.
  std::string failure() const {
    if (!bus_->running()) return "dbus-daemon is required";
    return mock_ && (!mock_->running() || !methodAdded_) ? "python3-dbusmock is required" : "";
  }
  const std::string& address() const { return bus_->address(); }
  bool hasServer() const { return mock_ != nullptr; }
  // The next Notify call the server saw, as "Notify arg arg...", within `seconds`.
  std::optional<std::string> nextNotify(double seconds) {
    return mock_ ? mock_->nextCall("Notify", seconds) : std::nullopt;
  }

 private:
  TempDir services_;
  std::unique_ptr<DbusDaemon> bus_;
  std::unique_ptr<DbusMock> mock_;
  bool methodAdded_ = true;
};

}  // namespace nuvlet::test
