#pragma once
// Plays dpkg's database, as the updater reads it to learn which package the running
// program came from and which version of it is installed.
#include <filesystem>
#include <string>

#include "tests/support/TempDir.h"

namespace nuvlet::test {

// The database in `admin` below `dir`: the package `nuvlet` at `version` in dpkg's
// `status`, after another package whose name begins the same, and owning `file` (none
// when empty) besides the directories above it.
inline void writeDpkgDatabase(const TempDir& dir, const std::string& admin,
                              const std::string& version, const std::filesystem::path& file,
                              const std::string& status = "install ok installed") {
  dir.write(admin + "/status",
            "Package: nuvlet-extras\nStatus: install ok installed\nVersion: 9.9\n\n"
            "Package: nuvlet\nStatus: " +
                status + "\nVersion: " + version + "\n\n");
  dir.write(admin + "/info/nuvlet.list",
            "/.\n/usr\n/usr/bin\n" + (file.empty() ? std::string() : file.string() + "\n"));
}

}  // namespace nuvlet::test
