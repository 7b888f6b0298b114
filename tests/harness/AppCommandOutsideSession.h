#pragma once
// The built program run as a command, in a home of its own, outside any desktop session
// and on a machine whose sysfs tree is empty.
#include <map>
#include <string>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class AppCommandOutsideSession {
 public:
  AppCommandOutsideSession() {
    env["XDG_CONFIG_HOME"] = "";  // the program falls back to ~/.config
    env.insert({{"TZ", "UTC"},
                {"DISPLAY", ""},
                {"WAYLAND_DISPLAY", ""},
                {"XDG_SESSION_TYPE", ""},
                {"NUVLET_SYSFS_ROOT", sysfs.path().string()}});
  }

  // Runs `nuvlet <command>` to its end; NUVLET_BUILD_DIR is the including suite's.
  ChildProcess::Result run(const std::string& command) const {
    return ChildProcess::run({NUVLET_BUILD_DIR "/app/nuvlet", command}, env, 60);
  }

  TempDir home, sysfs;
  std::map<std::string, std::string> env = homeEnvironment(home.path());
};

}  // namespace nuvlet::test
