#include "platform/linux/tray/PortalColorScheme.h"

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <utility>

#include "nuvlet/platform/Log.h"
#include "platform/linux/session/SessionBusLink.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kSettings = "org.freedesktop.portal.Settings";
constexpr const char* kNamespace = "org.freedesktop.appearance";
constexpr const char* kKey = "color-scheme";
// Generous: the first read may start the portal.
constexpr int kReadTimeoutMs = 25000;

// Older portals wrap the value of Read in a second variant.
ColorScheme::Preference preferenceOf(GVariant* value) {
  GVariant* v = g_variant_ref(value);
  while (g_variant_is_of_type(v, G_VARIANT_TYPE_VARIANT)) {
    GVariant* inner = g_variant_get_variant(v);
    g_variant_unref(v);
    v = inner;
  }
  gint64 number = -1;
  if (g_variant_is_of_type(v, G_VARIANT_TYPE("u"))) number = g_variant_get_uint32(v);
  if (g_variant_is_of_type(v, G_VARIANT_TYPE("i"))) number = g_variant_get_int32(v);
  g_variant_unref(v);
  if (number == 1) return ColorScheme::Preference::Dark;
  if (number == 2) return ColorScheme::Preference::Light;
  return ColorScheme::Preference::NoPreference;
}

class PortalColorScheme final : public ColorScheme {
 public:
  PortalColorScheme(RunLoop& loop, std::string busAddress) : calls_(g_cancellable_new()) {
    link_ = std::make_unique<SessionBusLink>(
        loop, std::move(busAddress), [this](GDBusConnection* c) { up(c); }, [this] { down(); });
    link_->start();
  }

  ~PortalColorScheme() override {
    down();
    link_.reset();
    g_cancellable_cancel(calls_);
    g_object_unref(calls_);
  }

  Preference preference() const override { return preference_; }
  void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }

 private:
  void up(GDBusConnection* connection) {
    subscription_ = g_dbus_connection_signal_subscribe(
        connection, nullptr, kSettings, "SettingChanged", kPortalPath, kNamespace,
        G_DBUS_SIGNAL_FLAGS_MATCH_ARG0_NAMESPACE, &changed, this, nullptr);
    // Watching does not start an activatable portal; this first read does.
    read(connection, G_DBUS_CALL_FLAGS_NONE);
    watch_ = g_bus_watch_name_on_connection(connection, kPortalName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                            &appeared, nullptr, this, nullptr);
  }

  void down() {
    if (watch_ != 0) g_bus_unwatch_name(watch_);
    if (subscription_ != 0 && link_ && link_->connection()) {
      g_dbus_connection_signal_unsubscribe(link_->connection(), subscription_);
    }
    watch_ = subscription_ = 0;
  }

  struct PendingRead {
    PortalColorScheme* self;
    unsigned serial;  // of the latest SettingChanged when the read was sent
  };

  void read(GDBusConnection* connection, GDBusCallFlags flags) {
    g_dbus_connection_call(connection, kPortalName, kPortalPath, kSettings, "Read",
                           g_variant_new("(ss)", kNamespace, kKey), G_VARIANT_TYPE("(v)"), flags,
                           kReadTimeoutMs, calls_, &readDone, new PendingRead{this, changeSerial_});
  }

  static void appeared(GDBusConnection* connection, const gchar*, const gchar*, gpointer self) {
    static_cast<PortalColorScheme*>(self)->read(connection, G_DBUS_CALL_FLAGS_NO_AUTO_START);
  }

  static void readDone(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<PendingRead> pending(static_cast<PendingRead*>(data));
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_finish(reinterpret_cast<GDBusConnection*>(source), result, &error);
    if (!reply) {
      // No portal, no such setting, or the object is gone (cancelled): keep the answer.
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
        log::debug(std::string("colour scheme: ") + error->message);
      }
      g_error_free(error);
      return;
    }
    GVariant* value = g_variant_get_child_value(reply, 0);
    // A change announced after the read was sent is newer than its answer.
    if (pending->serial == pending->self->changeSerial_) {
      pending->self->update(preferenceOf(value));
    }
    g_variant_unref(value);
    g_variant_unref(reply);
  }

  static void changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                      GVariant* parameters, gpointer self) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) return;
    const gchar* ns = nullptr;
    const gchar* key = nullptr;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &ns, &key, &value);
    if (std::string(ns) == kNamespace && std::string(key) == kKey) {
      auto* scheme = static_cast<PortalColorScheme*>(self);
      ++scheme->changeSerial_;
      scheme->update(preferenceOf(value));
    }
    g_variant_unref(value);
  }

  void update(Preference preference) {
    if (preference == preference_) return;
    preference_ = preference;
    if (onChange_) {
      std::function<void()> onChange = onChange_;
      onChange();
    }
  }

  std::unique_ptr<SessionBusLink> link_;
  GCancellable* calls_;
  guint subscription_ = 0;
  guint watch_ = 0;
  Preference preference_ = Preference::NoPreference;
  unsigned changeSerial_ = 0;
  std::function<void()> onChange_;
};

}  // namespace

std::unique_ptr<ColorScheme> makePortalColorScheme(RunLoop& loop, std::string busAddress) {
  return std::make_unique<PortalColorScheme>(loop, std::move(busAddress));
}

}  // namespace nuvlet::linux_platform
