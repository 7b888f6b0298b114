#pragma once

#include <gio/gio.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/session/GlibThread.h"

namespace nuvlet::test {

// A service on a private bus, served from a thread of its own: one object, the
// interfaces of an introspection document, methods the test answers.
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
  Method method_;
  linux_platform::GlibThread thread_;
};

}  // namespace nuvlet::test
