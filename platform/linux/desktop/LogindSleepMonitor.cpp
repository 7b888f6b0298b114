#include "platform/linux/desktop/LogindSleepMonitor.h"

#include <gio/gunixfdlist.h>
#include <unistd.h>

#include "nuvlet/platform/Log.h"
#include "platform/linux/session/BusConnection.h"
#include "platform/linux/session/GlibThread.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kName = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

struct Handlers {
  std::function<void()> willSleep;
  std::function<void()> didWake;
};

class LogindSleepMonitor final : public SleepMonitor {
 public:
  LogindSleepMonitor(RunLoop& loop, std::optional<std::string> bus)
      : loop_(loop), bus_(std::move(bus)) {}
  ~LogindSleepMonitor() override {
    if (started_) thread_.stop([this] { finish(); }, [this] { return pending_ == 0; });
    if (inhibitor_ >= 0) ::close(inhibitor_);
    if (connection_ != nullptr) g_object_unref(connection_);
    g_object_unref(cancellable_);
  }
  LogindSleepMonitor(const LogindSleepMonitor&) = delete;
  LogindSleepMonitor& operator=(const LogindSleepMonitor&) = delete;

  void start(std::function<void()> willSleep, std::function<void()> didWake) override {
    handlers_->willSleep = std::move(willSleep);
    handlers_->didWake = std::move(didWake);
    started_ = true;
    thread_.invoke([this] { connect(); });
  }

 private:
  // Bus thread.
  void connect() {
    GError* error = nullptr;
    gchar* address = bus_ ? g_strdup(bus_->c_str())
                          : g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (address != nullptr) {
      connection_ = connectToBus(address, cancellable_, &error);
      g_free(address);
    }
    if (connection_ == nullptr) {
      log::debug(std::string("no system bus for sleep notifications: ") +
                 (error != nullptr ? error->message : "?"));
      g_clear_error(&error);
      return;
    }
    ++pending_;
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_, nullptr, kManager, "PrepareForSleep", kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &LogindSleepMonitor::onPrepareForSleep, this,
        [](gpointer p) { --static_cast<LogindSleepMonitor*>(p)->pending_; });
    inhibit();
  }

  void finish() {
    g_cancellable_cancel(cancellable_);
    if (subscription_ != 0) g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    subscription_ = 0;
  }

  void inhibit() {
    if (inhibitor_ >= 0 || inhibiting_) return;
    inhibiting_ = true;
    ++pending_;
    g_dbus_connection_call_with_unix_fd_list(
        connection_, kName, kPath, kManager, "Inhibit",
        g_variant_new("(ssss)", "sleep", "Nuvlet", "Pausing screen sampling", "delay"),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, cancellable_,
        &LogindSleepMonitor::onInhibited, this);
  }

  static void onInhibited(GObject* source, GAsyncResult* result, gpointer p) {
    auto* self = static_cast<LogindSleepMonitor*>(p);
    --self->pending_;
    self->inhibiting_ = false;
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source),
                                                                      &fds, result, nullptr);
    if (reply != nullptr && fds != nullptr) {
      gint32 index = -1;
      g_variant_get(reply, "(h)", &index);
      int fd = g_unix_fd_list_get(fds, index, nullptr);
      // The sleep may have begun while we asked: then the lock is not wanted now.
      if (self->asleep_ && fd >= 0) {
        ::close(fd);
      } else {
        self->inhibitor_ = fd;
      }
    }
    if (fds != nullptr) g_object_unref(fds);
    if (reply != nullptr) g_variant_unref(reply);
  }

  static void onPrepareForSleep(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                const gchar*, GVariant* parameters, gpointer p) {
    auto* self = static_cast<LogindSleepMonitor*>(p);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(b)"))) return;
    gboolean start = FALSE;
    g_variant_get(parameters, "(b)", &start);
    std::weak_ptr<Handlers> weak = self->handlers_;
    if (start) {
      self->asleep_ = true;
      // Released only after the main thread has done its will-sleep work.
      int fd = self->inhibitor_;
      self->inhibitor_ = -1;
      self->loop_.post([weak, fd] {
        if (auto h = weak.lock(); h && h->willSleep) h->willSleep();
        if (fd >= 0) ::close(fd);
      });
    } else {
      self->asleep_ = false;
      self->loop_.post([weak] {
        if (auto h = weak.lock(); h && h->didWake) h->didWake();
      });
      self->inhibit();
    }
  }

  RunLoop& loop_;
  std::optional<std::string> bus_;
  std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
  bool started_ = false;
  // Bus thread only (and the destructor, after the thread stopped).
  GDBusConnection* connection_ = nullptr;
  GCancellable* cancellable_ = g_cancellable_new();
  guint subscription_ = 0;
  int inhibitor_ = -1;
  bool inhibiting_ = false;
  bool asleep_ = false;
  int pending_ = 0;
  GlibThread thread_;
};

}  // namespace

std::unique_ptr<SleepMonitor> makeLogindSleepMonitor(RunLoop& loop,
                                                     std::optional<std::string> bus) {
  return std::make_unique<LogindSleepMonitor>(loop, std::move(bus));
}

}  // namespace nuvlet::linux_platform
