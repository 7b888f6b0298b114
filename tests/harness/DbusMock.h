#pragma once

#include <gio/gio.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"

namespace nuvlet::test {

// A service played by python3-dbusmock on a private bus: one of its templates
// ("logind", "iio-sensors-proxy", "notification_daemon"), one of ours ("packagekit"), or
// a bare object whose methods the test adds. The mock logs each call on its stdout, which is read
// here, so a call is seen even while the mock is busy not answering it.
class DbusMock {
 public:
  // A template; `parameters` is the JSON dictionary it is loaded with.
  static std::unique_ptr<DbusMock> fromTemplate(const std::string& address, bool systemBus,
                                                const std::string& name,
                                                const std::string& parameters = "{}");
  // A bare object at `path` under the bus name `name`.
  static std::unique_ptr<DbusMock> bare(const std::string& address, bool systemBus,
                                        const std::string& name, const std::string& path,
                                        const std::string& interface);
  ~DbusMock();
  DbusMock(const DbusMock&) = delete;
  DbusMock& operator=(const DbusMock&) = delete;

  bool running() const { return ready_; }
  pid_t pid() const { return process_->pid(); }
  const std::string& path() const { return path_; }

  // A call on the mock's main object (the dbusmock control interface unless told); the
  // reply, or null on an error or after 5 s.
  GVariant* call(const std::string& method, GVariant* parameters,
                 const std::string& interface = "org.freedesktop.DBus.Mock");
  // Adds or replaces a method; `code` is Python run for each call (`args`, `ret`).
  bool addMethod(const std::string& interface, const std::string& name, const std::string& in,
                 const std::string& out, const std::string& code);
  // Emits a signal from the main object; `args` is a tuple matching `signature`.
  bool emit(const std::string& interface, const std::string& name, const std::string& signature,
            GVariant* args);

  // The next call of `method` the mock logged, as "Method arg arg...", or nothing within
  // `seconds`. Calls of other methods are passed over.
  std::optional<std::string> nextCall(const std::string& method, double seconds = 5);
  // Every call of `method` logged since the last look, without waiting: a call is logged
  // before it is answered.
  std::vector<std::string> callsSoFar(const std::string& method);

 private:
  DbusMock(const std::string& address, bool systemBus, const std::string& name, std::string path,
           std::vector<std::string> args);

  std::unique_ptr<ChildProcess> process_;
  GDBusConnection* connection_ = nullptr;
  std::string name_;
  std::string path_;
  bool ready_ = false;
};

}  // namespace nuvlet::test
