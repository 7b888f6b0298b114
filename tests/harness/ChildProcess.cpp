#include "tests/harness/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace nuvlet::test {
namespace {

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv,
                           std::map<std::string, std::string> extraEnv) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (auto& [k, v] : extraEnv) env[k] = v;
  std::vector<std::string> envStrings;
  for (auto& [k, v] : env) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp, args;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  for (auto& s : argv) args.push_back(s.data());
  args.push_back(nullptr);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // A group of its own, so that what it starts in turn (the services a bus activates,
  // which hold the test's stderr) ends with it.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data()) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  out_ = fds[0];
}

ChildProcess::~ChildProcess() {
  terminate();
  if (out_ >= 0) ::close(out_);
}

std::optional<std::string> ChildProcess::readLine(double timeoutSeconds) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    double left = timeoutSeconds - since(start);
    if (out_ < 0 || left <= 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(out_);
      out_ = -1;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::optional<int> ChildProcess::wait(double timeoutSeconds) {
  if (status_) return status_;
  if (pid_ <= 0) return std::nullopt;
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0) return std::nullopt;
    if (since(start) >= timeoutSeconds) return std::nullopt;
    // Wait on the output pipe instead of sleeping: it wakes at the child's exit too.
    pollfd p{out_, POLLIN, 0};
    if (out_ >= 0 && ::poll(&p, 1, 10) > 0) {
      char chunk[4096];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n > 0) {
        buffer_.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0) {
        ::close(out_);
        out_ = -1;
      }
    } else if (out_ < 0) {
      ::poll(nullptr, 0, 5);
    }
  }
}

void ChildProcess::terminate() {
  if (pid_ <= 0 || status_) return;
  ::kill(-pid_, SIGTERM);
  if (!wait(1.0)) {
    ::kill(-pid_, SIGKILL);
    wait(5.0);
  }
  // What it started and left running goes too.
  ::kill(-pid_, SIGKILL);
}

ChildProcess::Result ChildProcess::run(std::vector<std::string> argv,
                                       std::map<std::string, std::string> extraEnv,
                                       double timeoutSeconds) {
  ChildProcess child(std::move(argv), std::move(extraEnv));
  Result result;
  auto start = std::chrono::steady_clock::now();
  while (auto line = child.readLine(std::max(0.0, timeoutSeconds - since(start)))) {
    result.out += *line + "\n";
  }
  result.out += child.buffer_;
  child.buffer_.clear();
  result.status = child.wait(std::max(0.0, timeoutSeconds - since(start))).value_or(-1);
  return result;
}

std::optional<std::string> findProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    auto end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    auto candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace nuvlet::test
