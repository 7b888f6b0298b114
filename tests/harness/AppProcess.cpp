#include "tests/harness/AppProcess.h"

#include <algorithm>

#include "tests/harness/TrayHost.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

namespace fs = std::filesystem;

std::map<std::string, std::string> appEnvironment(const fs::path& home, const fs::path& sysfs,
                                                  const std::string& sessionBus,
                                                  const std::string& systemBus) {
  auto env = homeEnvironment(home);
  env.merge(
      std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", sessionBus},
                                         {"DBUS_SYSTEM_BUS_ADDRESS", systemBus},
                                         {"PULSE_SERVER", "unix:" + (home / "no-pulse").string()},
                                         {"NUVLET_SYSFS_ROOT", sysfs.string()}});
  return env;
}

RunningApp::RunningApp(std::map<std::string, std::string> env)
    : process_({"/bin/sh", "-c", "exec \"$0\" --verbose 2>&1", NUVLET_PROGRAM}, std::move(env)) {}

void RunningApp::drain() {
  while (auto line = process_.readLine(0.001)) lines_.push_back(*line);
}

bool RunningApp::printed(const std::string& text, std::size_t from) {
  drain();
  return std::any_of(lines_.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines_.size())),
                     lines_.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::string RunningApp::output() const {
  std::string out;
  for (const auto& line : lines_) out += line + "\n";
  return out;
}

bool RunningApp::waitFor(const std::function<bool()>& done, double seconds) {
  return pumpUntil(
      [&] {
        drain();
        return done();
      },
      seconds);
}

}  // namespace nuvlet::test
