#pragma once
// Where the stand-in monitor tools of MonitorTool.h run: each logs its command lines to
// the one log, and the good tool keeps the monitor's level in the file "level".
#include <filesystem>
#include <string>
#include <vector>

#include "tests/harness/MonitorTool.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

class MonitorToolDir : public TempDir {
 public:
  // A tool of `body` (shell) named `name` here, executable.
  std::filesystem::path tool(const std::string& body = kMonitorTool,
                             const std::string& name = "tool") const {
    return writeMonitorTool(*this, body, name);
  }
  // The level the monitor answers, in percent as the tool prints it.
  void setLevel(const std::string& percent) const { write("level", percent + "\n"); }
  // Every command line the tools were run with, oldest first.
  std::vector<std::string> commands() const { return readLines(*this / "log"); }
};

}  // namespace nuvlet::test
