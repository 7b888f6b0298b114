#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace nuvlet::linux_platform {

// The Debian package a program was installed from.
struct InstalledPackage {
  std::string name;
  std::string version;
  std::filesystem::path binary;  // where the package put the program
};

// The package whose file list (in dpkg's database under `adminDir`) holds `binary`,
// compared after resolving links, with its installed version; nothing for a program
// that was built or installed by hand, or when the database cannot be read. Only the
// packages named `candidates` are looked at, so this reads two small files. Blocks on
// those reads; any thread.
std::optional<InstalledPackage> findInstalledPackage(
    const std::filesystem::path& binary, const std::filesystem::path& adminDir = "/var/lib/dpkg",
    const std::string& candidate = "nuvlet");

// The running program: /proc/self/exe.
std::filesystem::path runningBinary();

}  // namespace nuvlet::linux_platform
