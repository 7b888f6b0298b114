#pragma once
// Plays the system services the bus adapters read and write, on python3-dbusmock: the
// login manager's session object, whose SetBrightness answer the test writes, and the
// light-sensor proxy with the reading the test gives it.
#include <memory>
#include <string>

#include "tests/harness/DbusMock.h"

namespace nuvlet::test {

// logind's object for the caller's session ("auto"), with no methods yet.
inline std::unique_ptr<DbusMock> mockLogindSession(const std::string& address) {
  return DbusMock::bare(address, true, "org.freedesktop.login1",
                        "/org/freedesktop/login1/session/auto", "org.freedesktop.login1.Session");
}

// iio-sensor-proxy with an ambient light sensor reading `lux`.
inline std::unique_ptr<DbusMock> mockSensorProxy(const std::string& address, double lux) {
  return DbusMock::fromTemplate(
      address, true, "iio-sensors-proxy",
      R"({"has_ambient_light": true, "light_level": )" + std::to_string(lux) + "}");
}

// What the proxy reports from now on, one property after the other: whether there is a
// light sensor, the unit and the level; the mock takes no reading while it has no sensor,
// so a sensor comes before its reading and goes after it. False when the mock refused one.
inline bool sensorProxyReads(DbusMock& proxy, double level, const std::string& unit,
                             bool hasLight) {
  const auto set = [&](const char* property, GVariant* value) {
    GVariant* reply = proxy.call("SetInternalProperty",
                                 g_variant_new("(ssv)", "net.hadess.SensorProxy", property, value));
    if (reply) g_variant_unref(reply);
    return reply != nullptr;
  };
  return (!hasLight || set("HasAmbientLight", g_variant_new_boolean(TRUE))) &&
         set("LightLevelUnit", g_variant_new_string(unit.c_str())) &&
         set("LightLevel", g_variant_new_double(level)) &&
         (hasLight || set("HasAmbientLight", g_variant_new_boolean(FALSE)));
}

}  // namespace nuvlet::test
