#pragma once

#include <memory>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A private X server (Xvfb) on a free display number, stopped on destruction.
class XvfbServer {
 public:
  // Screen size like "1920x1080x24".
  explicit XvfbServer(const std::string& screen = "1280x800x24");
  bool running() const { return !display_.empty(); }
  // ":N", for DISPLAY.
  const std::string& display() const { return display_; }
  // SIGKILL, as a crash or a logout's end of the server would look to its clients.
  void kill();
  // SIGSTOP / SIGCONT: a server stuck where it is, then going on.
  void freeze(bool frozen);

 private:
  std::unique_ptr<ChildProcess> process_;
  std::string display_;
};

// Marks the X server's first output as a laptop's built-in panel (RandR's ConnectorType
// "Panel"), as a kernel driver would.
bool markOutputAsPanel(const std::string& display);

// A dbus-daemon configuration for tests: everyone may own and call anything.
// `listen` is a D-Bus listen address; `serviceDirs` lets the bus start the desktop's
// activatable services (a panel's settings daemon, say).
std::string testBusConfig(const std::string& type, const std::string& listen,
                          bool serviceDirs = false);

// A private dbus-daemon, standing in for the session bus or the system bus.
class DbusDaemon {
 public:
  enum class Kind { Session, System };
  // With serviceDir, the bus starts the services described there on demand; with
  // `listen`, it listens there ("unix:path=...") instead of in a directory of its own.
  explicit DbusDaemon(Kind kind = Kind::Session, const std::string& serviceDir = "",
                      const std::string& listen = "");
  bool running() const { return !address_.empty(); }
  // For DBUS_SESSION_BUS_ADDRESS or DBUS_SYSTEM_BUS_ADDRESS.
  const std::string& address() const { return address_; }

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
  std::string address_;
};

}  // namespace nuvlet::test
