#include "tests/control/LoopHarness.h"

#include <sstream>

namespace nuvlet::test {

std::vector<LogRow> LoopHarness::rows() const {
  std::vector<LogRow> out;
  std::istringstream in(readText(paths.adjustmentLog()));
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string s; std::getline(fields, s, ',');) f.push_back(s);
    if (f.size() < 7) continue;
    out.push_back({f[1], std::stod(f[2]), std::stod(f[3]), std::stod(f[4]), std::stod(f[5])});
  }
  return out;
}

}  // namespace nuvlet::test
