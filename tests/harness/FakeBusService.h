#pragma once

#include <gio/gio.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/session/GlibThread.h"

namespace nuvlet::test {

// A service on a private bus, served from a thread of its own: one object, the
// interfaces of an introspection document, properties the test sets, methods the test
// answers, signals the test emits.
class FakeBusService {
 public:
  // Answers a method call on the service thread; the default returns nothing ("()").
  using Method = std::function<void(const std::string& method, GVariant* parameters,
                                    GDBusMethodInvocation* invocation)>;

  FakeBusService(const std::string& address, std::string path, const std::string& xml);
  ~FakeBusService();
  FakeBusService(const FakeBusService&) = delete;
  FakeBusService& operator=(const FakeBusService&) = delete;

  // Takes the well-known name; returns once the bus has answered.
  bool own(const std::string& name);

  // Sets a property (value is sunk) and, when `announce`, emits PropertiesChanged.
  void setProperty(const std::string& interface, const std::string& name, GVariant* value,
                   bool announce = true);
  void emit(const std::string& interface, const std::string& signal, GVariant* parameters);

  void onMethod(Method method);

 protected:
  // For method handlers, on the service thread: the same object at another path (a
  // daemon's per-request objects), a signal from any path, and leaving the bus at once
  // as a crashing daemon does.
  void exportAt(const std::string& path);
  void emitFrom(const std::string& path, const std::string& interface, const std::string& signal,
                GVariant* parameters);
  void vanish();

 private:
  void sync(std::function<void()> fn);

  std::string path_;
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  std::vector<guint> registrations_;
  std::mutex mutex_;
  std::map<std::string, GVariant*> properties_;  // "interface.name"
  Method method_;
  linux_platform::GlibThread thread_;
};

// The login manager's sleep side: every Inhibit call is handed the write end of a new
// pipe, whose read end stays here (closed with the fake) to tell when it is released.
class FakeLogind : public FakeBusService {
 public:
  explicit FakeLogind(const std::string& address);
  ~FakeLogind();
  bool own() { return FakeBusService::own("org.freedesktop.login1"); }
  std::vector<int> inhibitors();  // the read ends, one per Inhibit call
  void prepareForSleep(bool sleeping);

 private:
  std::mutex fdMutex_;
  std::vector<int> inhibitors_;
};

// The sensor proxy with an ambient light sensor that reads `lux`.
class FakeSensorProxy : public FakeBusService {
 public:
  static constexpr const char* kInterface = "net.hadess.SensorProxy";
  FakeSensorProxy(const std::string& address, double lux);
  bool own() { return FakeBusService::own(kInterface); }
};

}  // namespace nuvlet::test
