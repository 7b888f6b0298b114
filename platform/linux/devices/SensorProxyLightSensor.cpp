#include "platform/linux/devices/SensorProxyLightSensor.h"

#include <cmath>

#include "platform/linux/session/BusConnection.h"
#include "platform/linux/session/GlibThread.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kName = "net.hadess.SensorProxy";
constexpr const char* kPath = "/net/hadess/SensorProxy";

struct ProxyState {
  std::string busError;
  bool present = false;
  bool hasLight = false;
  std::string unit;
  std::optional<double> level;
};

class SensorProxyLightSensor final : public LightSensorDevice {
 public:
  SensorProxyLightSensor(RunLoop& loop, std::optional<std::string> bus) : loop_(loop) {
    thread_.invoke([this, bus] { start(bus); });
  }
  ~SensorProxyLightSensor() override {
    thread_.stop([this] { finish(); }, [this] { return pending_ == 0; });
    if (connection_ != nullptr) g_object_unref(connection_);
    g_object_unref(cancellable_);
  }
  SensorProxyLightSensor(const SensorProxyLightSensor&) = delete;
  SensorProxyLightSensor& operator=(const SensorProxyLightSensor&) = delete;

  bool isAvailable() const override {
    return state_->present && state_->hasLight && state_->unit == "lux";
  }
  std::optional<double> lux() const override {
    if (!isAvailable() || !state_->level) return std::nullopt;
    double v = *state_->level;
    if (!std::isfinite(v) || v < 0) return std::nullopt;
    return v;
  }
  std::string describe() const override {
    const ProxyState& s = *state_;
    if (!s.busError.empty()) return "no system bus (" + s.busError + ")";
    if (!s.present) return "iio-sensor-proxy is not running";
    if (!s.hasLight) return "iio-sensor-proxy has no ambient light sensor";
    if (s.unit != "lux") {
      return "iio-sensor-proxy reports the light in " +
             (s.unit.empty() ? std::string("unknown units") : "\"" + s.unit + "\"") +
             " (percent of the sensor's maximum), not lux";
    }
    return "iio-sensor-proxy, lux";
  }

 private:
  // Bus thread.
  void post(std::function<void(ProxyState&)> change) {
    std::weak_ptr<ProxyState> weak = state_;
    loop_.post([weak, change = std::move(change)] {
      if (auto s = weak.lock()) change(*s);
    });
  }

  void start(const std::optional<std::string>& bus) {
    GError* error = nullptr;
    gchar* address = bus ? g_strdup(bus->c_str())
                         : g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (address != nullptr) {
      connection_ = connectToBus(address, cancellable_, &error);
      g_free(address);
    }
    if (connection_ == nullptr) {
      std::string message = error != nullptr ? error->message : "unknown error";
      g_clear_error(&error);
      post([message](ProxyState& s) { s.busError = message; });
      return;
    }
    // The sender is not matched by its well-known name: older GLib compares it with
    // the unique name on the client side and would drop every signal.
    ++pending_;
    subscription_ = g_dbus_connection_signal_subscribe(
        connection_, nullptr, "org.freedesktop.DBus.Properties", "PropertiesChanged", kPath, kName,
        G_DBUS_SIGNAL_FLAGS_NONE, &SensorProxyLightSensor::onChanged, this,
        &SensorProxyLightSensor::release);
    ++pending_;
    watch_ = g_bus_watch_name_on_connection(
        connection_, kName, G_BUS_NAME_WATCHER_FLAGS_NONE, &SensorProxyLightSensor::onAppeared,
        &SensorProxyLightSensor::onVanished, this, &SensorProxyLightSensor::release);
  }

  void finish() {
    g_cancellable_cancel(cancellable_);
    if (subscription_ != 0) g_dbus_connection_signal_unsubscribe(connection_, subscription_);
    if (watch_ != 0) g_bus_unwatch_name(watch_);
    subscription_ = watch_ = 0;
  }

  static void release(gpointer p) { --static_cast<SensorProxyLightSensor*>(p)->pending_; }

  void call(const char* interface, const char* method, GVariant* args, GAsyncReadyCallback done) {
    ++pending_;
    g_dbus_connection_call(connection_, kName, kPath, interface, method, args, nullptr,
                           G_DBUS_CALL_FLAGS_NONE, 5000, cancellable_, done, this);
  }

  static void onAppeared(GDBusConnection*, const gchar*, const gchar*, gpointer p) {
    auto* self = static_cast<SensorProxyLightSensor*>(p);
    self->post([](ProxyState& s) { s.present = true; });
    // Claims are per connection: a restarted service needs a new one.
    self->call(kName, "ClaimLight", nullptr, &SensorProxyLightSensor::onClaimed);
    self->fetchAll();
  }

  static void onVanished(GDBusConnection*, const gchar*, gpointer p) {
    static_cast<SensorProxyLightSensor*>(p)->post([](ProxyState& s) {
      s.present = false;
      s.level.reset();
    });
  }

  void fetchAll() {
    call("org.freedesktop.DBus.Properties", "GetAll", g_variant_new("(s)", kName),
         &SensorProxyLightSensor::onProperties);
  }

  static void onClaimed(GObject* source, GAsyncResult* result, gpointer p) {
    auto* self = static_cast<SensorProxyLightSensor*>(p);
    --self->pending_;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply != nullptr) g_variant_unref(reply);
  }

  static void onProperties(GObject* source, GAsyncResult* result, gpointer p) {
    auto* self = static_cast<SensorProxyLightSensor*>(p);
    --self->pending_;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply == nullptr) return;
    GVariant* dict = g_variant_get_child_value(reply, 0);
    self->apply(dict);
    g_variant_unref(dict);
    g_variant_unref(reply);
  }

  static void onChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant* parameters, gpointer p) {
    auto* self = static_cast<SensorProxyLightSensor*>(p);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)"))) return;
    GVariant* dict = g_variant_get_child_value(parameters, 1);
    self->apply(dict);
    g_variant_unref(dict);
    GVariant* invalidated = g_variant_get_child_value(parameters, 2);
    if (g_variant_n_children(invalidated) > 0) self->fetchAll();
    g_variant_unref(invalidated);
  }

  // Takes the properties it knows, of the types it expects; anything else is ignored.
  void apply(GVariant* dict) {
    std::optional<bool> has;
    std::optional<std::string> unit;
    std::optional<double> level;
    gboolean b = FALSE;
    const gchar* str = nullptr;
    gdouble d = 0;
    if (g_variant_lookup(dict, "HasAmbientLight", "b", &b)) has = b != FALSE;
    if (g_variant_lookup(dict, "LightLevelUnit", "&s", &str)) unit = str;
    if (g_variant_lookup(dict, "LightLevel", "d", &d)) level = d;
    post([has, unit, level](ProxyState& s) {
      s.present = true;
      if (has) s.hasLight = *has;
      if (unit) s.unit = *unit;
      if (level) s.level = level;
    });
  }

  RunLoop& loop_;
  std::shared_ptr<ProxyState> state_ = std::make_shared<ProxyState>();
  // Bus thread only (and the destructor, after the thread stopped).
  GDBusConnection* connection_ = nullptr;
  GCancellable* cancellable_ = g_cancellable_new();
  guint subscription_ = 0;
  guint watch_ = 0;
  int pending_ = 0;
  GlibThread thread_;  // last: it stops first
};

}  // namespace

std::unique_ptr<LightSensorDevice> makeSensorProxyLightSensor(RunLoop& loop,
                                                              std::optional<std::string> bus) {
  return std::make_unique<SensorProxyLightSensor>(loop, std::move(bus));
}

}  // namespace nuvlet::linux_platform
