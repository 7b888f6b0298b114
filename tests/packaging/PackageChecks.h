#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"

namespace nuvlet::test {

// Runs a command with stderr folded into the captured output.
inline ChildProcess::Result run(std::vector<std::string> argv,
                                std::map<std::string, std::string> env = {}) {
  argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"});
  return ChildProcess::run(std::move(argv), std::move(env), 120);
}

// dpkg installing into (or removing from) a system of its own below `root`; the
// maintainer scripts run there too (they honour DPKG_ROOT).
inline ChildProcess::Result dpkgIn(const std::filesystem::path& root,
                                   std::vector<std::string> args) {
  namespace fs = std::filesystem;
  fs::create_directories(root / "var/lib/dpkg/info");
  fs::create_directories(root / "var/lib/dpkg/updates");
  if (!fs::exists(root / "var/lib/dpkg/status")) std::ofstream(root / "var/lib/dpkg/status");
  std::vector<std::string> argv = {"dpkg",
                                   "--root=" + root.string(),
                                   "--force-script-chrootless",
                                   "--force-depends",
                                   "--force-not-root",
                                   "--log=/dev/null"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

// What lintian holds against a package: its errors and warnings, and the informational
// tags a Debian package's build flags and strip would have avoided. "" when nothing.
inline std::string lintianComplaints(const std::filesystem::path& deb) {
  auto lintian = run({"lintian", "--display-info", deb.string()});
  std::string complaints;
  if (lintian.status != 0) complaints += "lintian exited " + std::to_string(lintian.status) + "\n";
  std::size_t start = 0;
  while (start < lintian.out.size()) {
    std::size_t end = lintian.out.find('\n', start);
    if (end == std::string::npos) end = lintian.out.size();
    const std::string line = lintian.out.substr(start, end - start);
    start = end + 1;
    if (line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0 ||
        line.find(" hardening-") != std::string::npos ||
        line.find(" binary-has-unneeded-section") != std::string::npos) {
      complaints += line + "\n";
    }
  }
  return complaints;
}

}  // namespace nuvlet::test
