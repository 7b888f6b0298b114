#include "platform/linux/desktop/InstalledPackage.h"

#include <fstream>
#include <system_error>

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

fs::path resolved(const fs::path& p) {
  std::error_code ec;
  fs::path r = fs::weakly_canonical(p, ec);
  return ec ? p : r;
}

// The installed version from dpkg's status file, when the package is fully installed.
std::optional<std::string> installedVersion(const fs::path& status, const std::string& name) {
  std::ifstream in(status);
  std::string line;
  bool ours = false, installed = false;
  std::optional<std::string> version;
  auto endOfStanza = [&]() -> std::optional<std::string> {
    if (ours && installed && version) return version;
    ours = installed = false;
    version.reset();
    return std::nullopt;
  };
  while (std::getline(in, line)) {
    if (line.empty()) {
      if (auto v = endOfStanza()) return v;
    } else if (line == "Package: " + name) {
      ours = true;
    } else if (line.rfind("Status: ", 0) == 0) {
      installed = line.ends_with(" ok installed");
    } else if (line.rfind("Version: ", 0) == 0) {
      version = line.substr(9);
    }
  }
  return endOfStanza();
}

}  // namespace

std::optional<InstalledPackage> findInstalledPackage(const fs::path& binary,
                                                     const fs::path& adminDir,
                                                     const std::string& candidate) {
  const fs::path self = resolved(binary);
  std::ifstream in(adminDir / "info" / (candidate + ".list"));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line.front() != '/' || resolved(line) != self) continue;
    auto version = installedVersion(adminDir / "status", candidate);
    if (!version) return std::nullopt;
    return InstalledPackage{candidate, *version, line};
  }
  return std::nullopt;
}

fs::path runningBinary() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : exe;
}

}  // namespace nuvlet::linux_platform
