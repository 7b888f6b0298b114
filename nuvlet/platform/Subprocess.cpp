#include "nuvlet/platform/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <map>
#include <utility>

extern char** environ;

namespace nuvlet {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool armTimer(int fd, double seconds, double interval = 0) {
  auto toSpec = [](double s) {
    s = std::max(s, 1e-6);
    timespec t{};
    t.tv_sec = static_cast<time_t>(s);
    t.tv_nsec = static_cast<long>((s - static_cast<double>(t.tv_sec)) * 1e9);
    return t;
  };
  itimerspec setting{};
  setting.it_value = toSpec(seconds);
  if (interval > 0) setting.it_interval = toSpec(interval);
  return ::timerfd_settime(fd, 0, &setting, nullptr) == 0;
}

// A loop that only waits on descriptors and posts, for runAndWait().
class BlockingLoop final : public RunLoop, public Clock {
 public:
  void post(Callback fn) override { posted_.push_back(std::move(fn)); }
  TimerId scheduleAfter(double, Callback) override { return 0; }  // Subprocess uses none
  TimerId scheduleRepeating(double, Callback) override { return 0; }
  void cancel(TimerId id) override { watches_.erase(id); }
  TimerId watchReadable(int fd, Callback fn) override {
    watches_[next_] = {fd, std::make_shared<Callback>(std::move(fn))};
    return next_++;
  }
  const Clock& clock() const override { return *this; }
  double now() const override { return 0; }
  double monotonic() const override { return 0; }

  void runUntil(const bool& done) {
    while (!done) {
      auto posted = std::move(posted_);
      posted_.clear();
      for (auto& fn : posted) fn();
      if (done) continue;
      if (watches_.empty()) {
        if (posted_.empty()) return;
        continue;
      }
      std::vector<pollfd> fds;
      std::vector<TimerId> ids;
      for (auto& [id, w] : watches_) {
        fds.push_back({w.first, POLLIN, 0});
        ids.push_back(id);
      }
      if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        auto it = watches_.find(ids[i]);
        if (fds[i].revents == 0 || it == watches_.end()) continue;
        auto fn = it->second.second;
        (*fn)();
      }
    }
  }

 private:
  std::map<TimerId, std::pair<int, std::shared_ptr<Callback>>> watches_;
  std::vector<Callback> posted_;
  TimerId next_ = 1;
};

}  // namespace

Subprocess::Subprocess(RunLoop& loop, const Options& options, Done done)
    : loop_(loop), options_(options), done_(std::move(done)) {}

std::unique_ptr<Subprocess> Subprocess::start(RunLoop& loop, const std::vector<std::string>& argv,
                                              const Options& options, Done done) {
  std::unique_ptr<Subprocess> run(new Subprocess(loop, options, std::move(done)));
  run->launch(argv);
  return run;
}

void Subprocess::launch(const std::vector<std::string>& argv) {
  auto failLater = [this] {
    closeAll();
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive] {
      if (alive.lock()) finish();
    });
  };
  if (argv.empty()) return failLater();

  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return failLater();
  if (::pipe2(err, O_CLOEXEC) != 0) {
    closeFd(out[0]);
    closeFd(out[1]);
    return failLater();
  }
  pipes_[0] = out[0];
  pipes_[1] = err[0];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  // Whatever the rest of the process opened without O_CLOEXEC stays ours.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  // An ignored SIGTERM would otherwise be inherited and make the timeout toothless.
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> copy = argv;
  std::vector<char*> args;
  for (auto& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  closeFd(out[1]);
  closeFd(err[1]);
  if (rc != 0) return failLater();
  pid_ = pid;
  result_.started = true;

  for (int i = 0; i < 2; ++i) {
    ::fcntl(pipes_[i], F_SETFL, ::fcntl(pipes_[i], F_GETFL) | O_NONBLOCK);
    pipeWatch_[i] = loop_.watchReadable(pipes_[i], [this, i] { onPipe(i); });
  }
  timerfd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerfd_ >= 0) {
    armTimer(timerfd_, options_.timeout);
    timerWatch_ = loop_.watchReadable(timerfd_, [this] { onTimer(); });
  }
  // Through syscall(): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd_ < 0) {
    // Kernels before 5.3: look for the exit every 10 ms instead.
    pidfd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (pidfd_ >= 0) armTimer(pidfd_, 0.01, 0.01);
  }
  if (pidfd_ >= 0) exitWatch_ = loop_.watchReadable(pidfd_, [this] { onExit(); });
}

Subprocess::~Subprocess() {
  alive_.reset();
  if (running()) {
    ::kill(-pid_, SIGTERM);
    int waitMs = static_cast<int>(std::ceil(options_.killGrace * 1000));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!reap(WNOHANG)) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      // A pidfd turns readable at the exit; without one this is a short wait.
      pollfd p{pidfd_, POLLIN, 0};
      ::poll(&p, pidfd_ >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left.count(), 10)));
    }
    if (!reaped_) {
      ::kill(-pid_, SIGKILL);
      reap(0);
    }
  }
  closeAll();
}

bool Subprocess::reap(int flags) {
  if (reaped_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, flags);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  reaped_ = true;
  if (r == pid_) {
    if (WIFEXITED(status)) result_.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  }
  return true;
}

void Subprocess::onPipe(int which) {
  std::string& into = which == 0 ? result_.out : result_.err;
  char chunk[16384];
  for (;;) {
    ssize_t n = ::read(pipes_[which], chunk, sizeof chunk);
    if (n > 0) {
      std::size_t room = options_.maxOutput - std::min(options_.maxOutput, into.size());
      std::size_t take = std::min(room, static_cast<std::size_t>(n));
      into.append(chunk, take);
      if (take < static_cast<std::size_t>(n)) result_.outputTruncated = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    // End of output (or a read error): this pipe is done.
    loop_.cancel(pipeWatch_[which]);
    pipeWatch_[which] = 0;
    closeFd(pipes_[which]);
    return;
  }
}

void Subprocess::drainAndClose(int which) {
  if (pipes_[which] < 0) return;
  // Only what is already there: a grandchild may hold the pipe open for ever.
  onPipe(which);
  if (pipeWatch_[which] != 0) loop_.cancel(pipeWatch_[which]);
  pipeWatch_[which] = 0;
  closeFd(pipes_[which]);
}

void Subprocess::onTimer() {
  std::uint64_t expirations = 0;
  [[maybe_unused]] auto n = ::read(timerfd_, &expirations, sizeof expirations);
  if (reaped_) return;
  if (!terminating_) {
    terminating_ = true;
    result_.timedOut = true;
    ::kill(-pid_, SIGTERM);
    armTimer(timerfd_, options_.killGrace);
  } else {
    ::kill(-pid_, SIGKILL);
  }
}

void Subprocess::onExit() {
  std::uint64_t expirations = 0;
  if (!result_.started) return;
  // Only the fallback timer needs draining; on a pidfd the read just fails.
  [[maybe_unused]] auto n = ::read(pidfd_, &expirations, sizeof expirations);
  if (!reap(WNOHANG)) return;
  finish();
}

void Subprocess::finish() {
  drainAndClose(0);
  drainAndClose(1);
  closeAll();
  auto done = std::move(done_);
  auto result = std::move(result_);
  // `done` may destroy this object: nothing may touch a member after it.
  if (done) done(std::move(result));
}

void Subprocess::closeAll() {
  for (int i = 0; i < 2; ++i) {
    if (pipeWatch_[i] != 0) loop_.cancel(pipeWatch_[i]);
    pipeWatch_[i] = 0;
    closeFd(pipes_[i]);
  }
  if (exitWatch_ != 0) loop_.cancel(exitWatch_);
  if (timerWatch_ != 0) loop_.cancel(timerWatch_);
  exitWatch_ = timerWatch_ = 0;
  closeFd(pidfd_);
  closeFd(timerfd_);
}

SubprocessResult Subprocess::runAndWait(const std::vector<std::string>& argv,
                                        const Options& options) {
  BlockingLoop loop;
  SubprocessResult result;
  bool done = false;
  auto run = start(loop, argv, options, [&](SubprocessResult r) {
    result = std::move(r);
    done = true;
  });
  loop.runUntil(done);
  return result;
}

}  // namespace nuvlet
