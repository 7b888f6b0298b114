#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A private headless sway (pixman renderer, no input devices, no XWayland) with one
// output, HEADLESS-1, at 0,0 in the size given. Stopped on destruction.
//
// sway refuses to run as root: as root it runs as an unprivileged uid, and the
// runtime directory belongs to that uid (root's clients may still connect).
class SwayServer {
 public:
  explicit SwayServer(const std::string& firstOutputSize = "1920x1080");
  ~SwayServer();
  SwayServer(const SwayServer&) = delete;
  SwayServer& operator=(const SwayServer&) = delete;

  bool running() const { return !socket_.empty(); }
  const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
  // The socket name in runtimeDir(), for WAYLAND_DISPLAY.
  const std::string& socket() const { return socket_; }
  // A program's environment in this sway session: WAYLAND_DISPLAY (the socket's full
  // path), the session type and desktop, no DISPLAY, and an XDG_RUNTIME_DIR of its own
  // made below `dir` (as root, the compositor's belongs to another uid).
  std::map<std::string, std::string> clientEnvironment(const std::filesystem::path& dir) const;

  // One swaymsg command ("create_output", "output HEADLESS-2 resolution 1280x720");
  // whether sway accepted it.
  bool command(const std::string& command) const;

  // Ends the compositor at once (SIGKILL), as a crash would.
  void kill();
  // Stops it where it is (SIGSTOP), as a compositor stuck in a loop or a driver call
  // would look to its clients, and lets it go on (SIGCONT).
  void freeze(bool frozen);

 private:
  TempDir dir_;
  std::filesystem::path runtimeDir_;
  std::unique_ptr<ChildProcess> process_;
  std::string socket_;
  std::string ipcSocket_;
};

}  // namespace nuvlet::test
