#include "tests/harness/ProcessCheck.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace nuvlet::test {

namespace {

struct Stat {
  pid_t pid;
  char state;
  long ppid;
  long pgrp;
};

std::vector<Stat> allProcesses() {
  std::vector<Stat> all;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: the fields follow the last ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    Stat s{static_cast<pid_t>(std::stol(name)), 0, 0, 0};
    fields >> s.state >> s.ppid >> s.pgrp;
    all.push_back(s);
  }
  return all;
}

}  // namespace

std::vector<pid_t> childProcesses() {
  std::vector<pid_t> children;
  for (const auto& p : allProcesses()) {
    if (p.ppid == ::getpid()) children.push_back(p.pid);
  }
  return children;
}

std::size_t openDescriptorCount() {
  std::size_t n = 0;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++n;
  }
  return n;
}

bool processGroupAlive(pid_t pgid) {
  for (const auto& p : allProcesses()) {
    // A zombie no longer runs; reaping an orphan is its new parent's business.
    if (p.pgrp == pgid && p.state != 'Z' && p.state != 'X') return true;
  }
  return false;
}

}  // namespace nuvlet::test
