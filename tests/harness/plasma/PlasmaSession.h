#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"
#include "tests/harness/PanelUser.h"
#include "tests/harness/Screenshot.h"
#include "tests/harness/Servers.h"
#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class FakeInput;

// A real, headless KDE Plasma session for tests: plasmashell with its panel cut down to
// the system tray, the tray watcher in kded5, on a private session bus whose only
// activatable services are the ones Plasma needs (and, when asked, the desktop portal
// with the KDE backend and the permission store). X11 runs on Xvfb without a window
// manager; Wayland runs a copy of kwin_wayland on a virtual output (the installed binary
// carries a file capability a container cannot grant), with input through KWin's fake
// input and screenshots through its ScreenShot2 interface.
//
// Everything the session started, the bus's activated services included, is ended on
// destruction: each process whose environment holds this session's runtime directory.
class PlasmaSession {
 public:
  enum class Display { X11, Wayland };
  struct Options {
    Display display = Display::X11;
    bool dark = false;    // Breeze Dark colours and Plasma theme
    bool portal = false;  // xdg-desktop-portal (KDE backend) and a private PipeWire
    int width = 1280, height = 800;
  };

  explicit PlasmaSession(Options options);
  ~PlasmaSession();
  PlasmaSession(const PlasmaSession&) = delete;
  PlasmaSession& operator=(const PlasmaSession&) = delete;

  // Empty once the shell shows its panel; else what did not come up.
  const std::string& failure() const { return failure_; }
  const Options& options() const { return options_; }

  // What a program needs to be a client of this session.
  const std::map<std::string, std::string>& environment() const { return env_; }
  const std::string& busAddress() const { return busAddress_; }
  // The desktop portal and its KDE backend, which start on first use and take seconds
  // to; false when no ScreenCast portal answers.
  bool startPortal();
  // A screen-cast grant as xdg-desktop-portal-kde stores one after the user allowed it to
  // be remembered; its id (the restore token), or "" when the permission store refused.
  std::string seedScreencastGrant();
  // A method call on the session bus, the default GLib context turning while it waits
  // (items of the test's own keep answering the shell); the reply or null.
  VariantPtr call(const std::string& destination, const std::string& path,
                  const std::string& interface, const std::string& method,
                  GVariant* parameters = nullptr, double timeoutSeconds = 30,
                  bool autoStart = false);
  const TempDir& home() const { return state_; }
  // Nuvlet's in this session: the backlight under `sysfs`, no sound server.
  std::map<std::string, std::string> programEnvironment(const std::filesystem::path& sysfs) const {
    auto env = env_;
    env["NUVLET_SYSFS_ROOT"] = sysfs.string();
    env["PULSE_SERVER"] = "unix:" + (state_ / "no-pulse").string();
    return env;
  }

  // The panel's edge ("bottom") and thickness in pixels, as the shell reports them.
  std::string panelLocation() const { return panelLocation_; }
  int panelThickness() const { return panelThickness_; }
  Box panelBox() const;

  bool hasOwner(const std::string& name);
  std::vector<std::string> registeredItems();
  std::optional<std::string> evaluateScript(const std::string& script);

  std::optional<Screenshot> screenshot();
  // Pointer input where a person would give it: buttons 1 left, 2 middle, 3 right,
  // 4 and 5 one wheel notch up and down.
  bool pointerTo(int x, int y);
  bool button(int number);
  // "Down", "Return", "Escape".
  bool key(const std::string& name);

  // A person at the panel, through the input and screenshots above; `loop` turns while
  // they wait.
  PanelUser user(sim::VirtualRunLoop& loop, const std::string& name);

  // Kills plasmashell (SIGKILL, as a crash would) and starts it again; true once the new
  // one shows its tray.
  bool restartShell();

 private:
  bool start();
  bool startShell();
  void stopSessionProcesses();
  std::unique_ptr<ChildProcess> spawn(const std::string& name, std::vector<std::string> argv,
                                      std::map<std::string, std::string> extra = {});
  std::optional<Screenshot> kwinScreenshot();

  Options options_;
  TempDir state_;
  std::filesystem::path runtime_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<XvfbServer> xvfb_;
  std::unique_ptr<ChildProcess> bus_;
  std::string busAddress_;
  GDBusConnection* connection_ = nullptr;
  std::vector<std::unique_ptr<ChildProcess>> services_;
  std::unique_ptr<ChildProcess> kwin_;
  std::unique_ptr<ChildProcess> shell_;
  std::unique_ptr<FakeInput> input_;
  std::string panelLocation_;
  int panelThickness_ = 0;
  int pointerX_ = 0, pointerY_ = 0;
  std::string failure_;
};

}  // namespace nuvlet::test
