#pragma once
// Plays the Debian archive's checker (lintian) on a package of ours.
#include <filesystem>
#include <string>

#include "tests/harness/DpkgRoot.h"

namespace nuvlet::test {

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
