#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nuvlet::test {

// A real child process for tests: started with posix_spawnp in a process group of its
// own, stdout read through a pipe (stderr goes to the test's), killed with its group and
// reaped on destruction so no test leaves one behind.
class ChildProcess {
 public:
  // extraEnv entries are set on top of the test's own environment.
  ChildProcess(std::vector<std::string> argv, std::map<std::string, std::string> extraEnv = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Reads stdout (stderr goes to the test's stderr) until a line arrives, or nothing
  // after timeoutSeconds or at end of output.
  std::optional<std::string> readLine(double timeoutSeconds = 10);

  // Waits for the child to exit; its exit status, or nothing on timeout (the child
  // keeps running). A child killed by a signal reports 128 + signal.
  std::optional<int> wait(double timeoutSeconds = 10);

  // Reads everything the child writes until it exits, and its status.
  struct Result {
    std::string out;
    int status = -1;
  };
  static Result run(std::vector<std::string> argv, std::map<std::string, std::string> extraEnv = {},
                    double timeoutSeconds = 30);

  // SIGTERM to its process group, then SIGKILL after a second; reaps it, and kills
  // what of the group is left.
  void terminate();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
  std::optional<int> status_;
};

// Looks an executable up on PATH; nothing when it is not installed.
std::optional<std::string> findProgram(const std::string& name);

}  // namespace nuvlet::test
