#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/platform/RunLoop.h"

namespace nuvlet {

// How one run of a child program ended.
struct SubprocessResult {
  bool started = false;          // false: the program could not be started at all
  bool timedOut = false;         // it outlived the timeout and was stopped
  bool outputTruncated = false;  // it wrote more than the limit; the rest was read and dropped
  int exitStatus = -1;           // its exit status when it exited by itself, else -1
  int signal = 0;                // the signal that ended it, else 0
  std::string out;               // standard output, at most Options::maxOutput bytes
  std::string err;               // standard error, at most Options::maxOutput bytes

  bool succeeded() const { return started && !timedOut && !outputTruncated && exitStatus == 0; }
};

// One run of a program as a child process, watched through the RunLoop so the main
// thread never blocks on it.
//
// The child is started with posix_spawn (no shell, no PATH search, argv[0] is the
// program's path), the caller's environment, stdin on /dev/null, stdout and stderr
// on pipes, every other descriptor closed, default signal dispositions and an empty
// signal mask, in a process group of its own. Both pipes are read while it runs, so
// a chatty child never stalls on a full pipe. The timeout and the kill grace are
// real time (timerfd), whatever clock the RunLoop's timers follow: at the timeout
// the group gets SIGTERM, after the grace SIGKILL. The child is always reaped
// (pidfd), and every descriptor is closed before `done` runs.
//
// Thread: main thread only. `done` runs once, on the main thread, from the loop,
// never inside start(). Failure is reported through the result, never thrown.
class Subprocess {
 public:
  struct Options {
    double timeout = 1.0;    // seconds of real time before SIGTERM
    double killGrace = 0.2;  // seconds of real time between SIGTERM and SIGKILL
    std::size_t maxOutput = std::size_t{64} << 10;
  };
  using Done = std::function<void(SubprocessResult)>;

  static std::unique_ptr<Subprocess> start(RunLoop& loop, const std::vector<std::string>& argv,
                                           const Options& options, Done done);

  // Stops a child that is still running (SIGTERM, SIGKILL after the grace; blocks
  // for at most the grace) and reaps it. `done` is not called.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !reaped_; }

  // Starts argv, blocks the calling thread until the run ends, and returns how it
  // ended. For command-line commands that have no loop of their own.
  static SubprocessResult runAndWait(const std::vector<std::string>& argv, const Options& options);

 private:
  Subprocess(RunLoop& loop, const Options& options, Done done);
  void launch(const std::vector<std::string>& argv);
  void onPipe(int which);
  void onTimer();
  void onExit();
  bool reap(int flags);
  void drainAndClose(int which);
  void finish();
  void closeAll();

  RunLoop& loop_;
  Options options_;
  Done done_;
  SubprocessResult result_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool terminating_ = false;
  int pipes_[2] = {-1, -1};  // read ends of stdout and stderr
  int pidfd_ = -1;
  int timerfd_ = -1;
  RunLoop::TimerId pipeWatch_[2] = {0, 0};
  RunLoop::TimerId exitWatch_ = 0;
  RunLoop::TimerId timerWatch_ = 0;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nuvlet
