#pragma once

// The floor the monitor-tool benchmarks are measured against: what starting any program
// costs, /bin/true under posix_spawn with its output read through a pipe, as the app
// runs its tool.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nuvlet::bench {

inline bool spawnTrueAndWait() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  char arg0[] = "/bin/true";
  char* argv[] = {arg0, nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, "/bin/true", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  char buf[256];
  while (::read(fds[0], buf, sizeof buf) > 0) {
  }
  ::close(fds[0]);
  int status = 0;
  return spawned == 0 && ::waitpid(pid, &status, 0) == pid;
}

}  // namespace nuvlet::bench
