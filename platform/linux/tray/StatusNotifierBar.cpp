#include "platform/linux/tray/StatusNotifierBar.h"

#include <gio/gio.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <utility>

#include "nuvlet/platform/Log.h"
#include "platform/linux/session/SessionBusLink.h"
#include "platform/linux/tray/StatusNotifierItem.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr int kCallTimeoutMs = 10000;

constexpr const char* kNoticeSummary = "Nuvlet has no tray to show its items in";
constexpr const char* kNoticeBody =
    "Nuvlet keeps working, but its brightness and volume items cannot be shown: no "
    "StatusNotifierItem tray is running. Add a tray (status notifier) to your panel; on "
    "GNOME, install and enable the AppIndicator extension.";

class StatusNotifierBar final : public StatusBar {
 public:
  StatusNotifierBar(RunLoop& loop, StatusNotifierBarOptions options)
      : loop_(loop), options_(std::move(options)), calls_(g_cancellable_new()) {
    link_ = std::make_unique<SessionBusLink>(
        loop_, options_.busAddress, [this](GDBusConnection* c) { up(c); }, [this] { down(); });
    link_->start();
    review();
  }

  ~StatusNotifierBar() override {
    down();
    link_.reset();
    loop_.cancel(noticeTimer_);
    g_cancellable_cancel(calls_);
    g_object_unref(calls_);
  }

  std::unique_ptr<StatusItem> addItem(const std::string& id) override {
    static std::atomic<int> serial{0};
    StatusNotifierItem::Options item;
    item.busAddress = options_.busAddress;
    item.busName =
        "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
    item.id = "nuvlet-" + id;
    item.alternateHeld = options_.alternateHeld;
    item.iconThemePath = options_.iconThemePath;
    return std::make_unique<StatusNotifierItem>(loop_, std::move(item));
  }

  bool hostAvailable() const override { return watcherPresent_ && hostRegistered_; }

 private:
  void up(GDBusConnection* connection) {
    if (notificationPending_) notify(connection);
    watch_ = g_bus_watch_name_on_connection(connection, kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                            &appeared, &vanished, this, nullptr);
    // Any sender: a watcher's signals come from its unique name.
    subscription_ = g_dbus_connection_signal_subscribe(
        connection, nullptr, nullptr, nullptr, kWatcherPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &signal, this, nullptr);
  }

  void down() {
    if (watch_ != 0) g_bus_unwatch_name(watch_);
    if (subscription_ != 0 && link_ && link_->connection()) {
      g_dbus_connection_signal_unsubscribe(link_->connection(), subscription_);
    }
    watch_ = subscription_ = 0;
    watcherPresent_ = false;
    review();
  }

  static void appeared(GDBusConnection* connection, const gchar*, const gchar* owner,
                       gpointer self) {
    auto* bar = static_cast<StatusNotifierBar*>(self);
    bar->watcherPresent_ = true;
    // Until the watcher says otherwise: one without the property is most likely a host's own.
    bar->hostRegistered_ = true;
    g_dbus_connection_call(connection, owner, kWatcherPath, "org.freedesktop.DBus.Properties",
                           "Get",
                           g_variant_new("(ss)", kWatcherName, "IsStatusNotifierHostRegistered"),
                           G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NO_AUTO_START, kCallTimeoutMs,
                           bar->calls_, &hostRegisteredRead, bar);
    bar->review();
  }

  static void vanished(GDBusConnection*, const gchar*, gpointer self) {
    auto* bar = static_cast<StatusNotifierBar*>(self);
    bar->watcherPresent_ = false;
    bar->review();
  }

  static void hostRegisteredRead(GObject* source, GAsyncResult* result, gpointer self) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_finish(reinterpret_cast<GDBusConnection*>(source), result, &error);
    if (!reply) {
      g_error_free(error);  // cancelled (bar gone), or a watcher without the property
      return;
    }
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    auto* bar = static_cast<StatusNotifierBar*>(self);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE("b"))) {
      bar->hostRegistered_ = g_variant_get_boolean(value);
      bar->review();
    }
    g_variant_unref(value);
    g_variant_unref(reply);
  }

  static void signal(GDBusConnection*, const gchar*, const gchar*, const gchar* interface,
                     const gchar* member, GVariant* parameters, gpointer self) {
    auto* bar = static_cast<StatusNotifierBar*>(self);
    const std::string name = member;
    if (std::string(interface) == kWatcherName) {
      if (name == "StatusNotifierHostRegistered") bar->hostRegistered_ = true;
      if (name == "StatusNotifierHostUnregistered") bar->hostRegistered_ = false;
    } else if (name == "PropertiesChanged" &&
               g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) {
      const gchar* changedInterface = nullptr;
      GVariant* changed = nullptr;
      g_variant_get(parameters, "(&s@a{sv}@as)", &changedInterface, &changed, nullptr);
      gboolean registered = FALSE;
      if (std::string(changedInterface) == kWatcherName &&
          g_variant_lookup(changed, "IsStatusNotifierHostRegistered", "b", &registered)) {
        bar->hostRegistered_ = registered;
      }
      g_variant_unref(changed);
    }
    bar->review();
  }

  // Starts the wait for a tray when there is none, and stops it when one appears.
  void review() {
    if (hostAvailable()) {
      loop_.cancel(noticeTimer_);
      noticeTimer_ = 0;
      return;
    }
    if (told_ || noticeTimer_ != 0) return;
    noticeTimer_ = loop_.scheduleAfter(options_.noTrayNoticeAfterSeconds, [this] {
      noticeTimer_ = 0;
      if (!hostAvailable()) tell();
    });
  }

  void tell() {
    told_ = true;
    log::info(std::string(kNoticeSummary) + ". " + kNoticeBody);
    // Without a bus right now, the notification waits for the next connection.
    notificationPending_ = true;
    if (GDBusConnection* connection = link_ ? link_->connection() : nullptr) notify(connection);
  }

  void notify(GDBusConnection* connection) {
    notificationPending_ = false;
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    // A server that is only activatable counts as present, so auto-start is allowed.
    g_dbus_connection_call(
        connection, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", "Notify",
        g_variant_new("(susssasa{sv}i)", "Nuvlet", 0u, "", kNoticeSummary, kNoticeBody, &actions,
                      &hints, -1),
        nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, calls_, &notified, nullptr);
  }

  static void notified(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_finish(reinterpret_cast<GDBusConnection*>(source), result, &error);
    if (reply) g_variant_unref(reply);
    if (error) {
      // No notification server: the line on stderr is all the user gets.
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        log::debug(std::string("notification: ") + error->message);
      }
      g_error_free(error);
    }
  }

  RunLoop& loop_;
  StatusNotifierBarOptions options_;
  std::unique_ptr<SessionBusLink> link_;
  GCancellable* calls_;
  guint watch_ = 0;
  guint subscription_ = 0;
  bool watcherPresent_ = false;
  bool hostRegistered_ = false;
  bool told_ = false;
  bool notificationPending_ = false;
  RunLoop::TimerId noticeTimer_ = 0;
};

}  // namespace

std::string installedIconThemePath() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  const std::filesystem::path above = exe.parent_path().parent_path();
  for (const auto& candidate : {above / "share/nuvlet/icons", above / "icons"}) {
    if (std::filesystem::is_regular_file(candidate / "hicolor/index.theme", error)) {
      return candidate.string();
    }
  }
  return {};
}

std::unique_ptr<StatusBar> makeStatusNotifierBar(RunLoop& loop, StatusNotifierBarOptions options) {
  return std::make_unique<StatusNotifierBar>(loop, std::move(options));
}

}  // namespace nuvlet::linux_platform
