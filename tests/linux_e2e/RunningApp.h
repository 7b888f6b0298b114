#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"

namespace nuvlet::test {

// What every run of the real program needs besides its display: the private home and
// XDG directories, the two buses, the fake sysfs tree, and no sound server.
std::map<std::string, std::string> appEnvironment(const std::filesystem::path& home,
                                                  const std::filesystem::path& sysfs,
                                                  const std::string& sessionBus,
                                                  const std::string& systemBus);

// Nuvlet started as a user would start it, with --verbose; stdout and stderr share the
// pipe the test reads, and every line is kept. It must be read while the test waits, or
// a full pipe would stall the program.
class RunningApp {
 public:
  explicit RunningApp(std::map<std::string, std::string> env);

  ChildProcess& process() { return process_; }
  void drain();  // reads what it printed so far
  // Whether a line from the `from`-th on holds `text`.
  bool printed(const std::string& text, std::size_t from = 0);
  std::size_t linesSoFar() const { return lines_.size(); }
  std::string output() const;
  // Turns the test's GLib context (where the tray host answers) and reads the program's
  // output until done() holds; false after `seconds`.
  bool waitFor(const std::function<bool()>& done, double seconds = 10);

 private:
  ChildProcess process_;
  std::vector<std::string> lines_;
};

// The lines of `home`'s adjustment log that record `event`.
std::vector<std::string> adjustments(const std::filesystem::path& home, const std::string& event);
nlohmann::json settingsIn(const std::filesystem::path& home);

// With compensation on and the panel last set to 0.9: a white screen dims the panel (to
// `dimmedTo` % or below) and a dark one brightens it again (by `rise` points from where
// the dimming came to rest), never leaving the band around 0.9 (0.36 to 1.0). `paint`
// fills the screen with a colour ("#rrggbb").
void expectCompensationFollowsTheScreen(RunningApp& app,
                                        const std::function<bool(const std::string&)>& paint,
                                        const std::function<std::optional<int>()>& backlight,
                                        int dimmedTo = 55, int rise = 15);

}  // namespace nuvlet::test
