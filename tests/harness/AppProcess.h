#pragma once
// Starts the real program for the end-to-end tests, wired to the servers the test
// started, and reads what it prints.
#include <filesystem>
#include <functional>
#include <map>
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

}  // namespace nuvlet::test
