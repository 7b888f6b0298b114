#pragma once
// Plays a Debian system of the test's own: dpkg installing into a root below a temporary
// directory, and apt with its configuration, state, cache and sources there, so that
// neither the machine's dpkg database nor its apt setup is read or touched.
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

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

// apt's directories and configuration (APT_CONFIG=<apt>/apt.conf) below `apt`, with the
// package `nuvlet` installed at version `installed` and no sources yet.
inline void writePrivateApt(const TempDir& apt, const std::string& installed) {
  namespace fs = std::filesystem;
  for (const char* d : {"state/lists/partial", "cache/archives/partial", "etc/apt.conf.d",
                        "etc/preferences.d", "etc/trusted.gpg.d", "etc/sources.list.d", "log"}) {
    fs::create_directories(apt / d);
  }
  apt.write("state/status",
            "Package: nuvlet\nStatus: install ok installed\nPriority: optional\n"
            "Section: utils\nMaintainer: M <m@example.invalid>\n"
            "Architecture: amd64\nVersion: " +
                installed + "\nDescription: installed\n\n");
  const std::string a = apt.path().string();
  apt.write("apt.conf", "Dir::State \"" + a + "/state\";\n" + "Dir::State::status \"" + a +
                            "/state/status\";\n" + "Dir::Cache \"" + a + "/cache\";\n" +
                            "Dir::Etc \"" + a + "/etc\";\n" + "Dir::Etc::main \"/dev/null\";\n" +
                            "Dir::Etc::Parts \"" + a + "/etc/apt.conf.d\";\n" +
                            "Dir::Etc::SourceList \"/dev/null\";\n" + "Dir::Etc::SourceParts \"" +
                            a + "/etc/sources.list.d\";\n" + "Dir::Etc::Trusted \"/dev/null\";\n" +
                            "Dir::Etc::TrustedParts \"" + a + "/etc/trusted.gpg.d\";\n" +
                            "Dir::Etc::Preferences \"/dev/null\";\n" +
                            "Dir::Etc::PreferencesParts \"" + a + "/etc/preferences.d\";\n" +
                            "Dir::Log \"" + a + "/log\";\n" + "APT::Architecture \"amd64\";\n" +
                            "APT::Sandbox::User \"root\";\n" + "Debug::NoLocking \"true\";\n");
}

// The apt source the package installed below `root` put in place, given to the apt below
// `apt` with its key ring's path taken below `root` too.
inline void copyAptSource(const std::filesystem::path& root, const TempDir& apt) {
  const std::string source = "sources.list.d/nuvlet.sources";
  const std::string keyring = "/usr/share/keyrings/nuvlet-archive-keyring.gpg";
  std::string text = readText(root / "etc/apt" / source);
  if (const auto at = text.find("Signed-By: " + keyring); at != std::string::npos) {
    text.replace(at + 11, keyring.size(), (root / keyring.substr(1)).string());
  }
  apt.write("etc/" + source, text);
}

// cpack making a Debian package from the build tree in `dir`, with `projects` as
// CPACK_INSTALL_CMAKE_PROJECTS and `defines` ("NAME=value") on top; the .deb, or an empty
// path with cpack's output in `*out`.
inline std::filesystem::path packFromBuildTree(const std::filesystem::path& dir,
                                               const std::string& projects,
                                               const std::vector<std::string>& defines = {},
                                               std::string* out = nullptr) {
  namespace fs = std::filesystem;
  std::vector<std::string> argv = {"cpack",
                                   "-G",
                                   "DEB",
                                   "-B",
                                   (dir / "cpack").string(),
                                   "--config",
                                   NUVLET_BUILD_DIR "/CPackConfig.cmake",
                                   "-D",
                                   "CPACK_INSTALL_CMAKE_PROJECTS=" + projects};
  for (const auto& d : defines) argv.insert(argv.end(), {"-D", d});
  auto pack = run(argv);
  if (out) *out = pack.out;
  if (pack.status != 0) return {};
  for (const auto& entry : fs::directory_iterator(dir / "cpack")) {
    if (entry.path().extension() == ".deb") return entry.path();
  }
  return {};
}

// apt as writePrivateApt set it up below `apt`, in the C locale.
inline ChildProcess::Result aptIn(const TempDir& apt, std::vector<std::string> argv) {
  return run(std::move(argv), {{"APT_CONFIG", (apt / "apt.conf").string()}, {"LC_ALL", "C"}});
}

// The version of `package` apt would install from its sources; "" when none.
inline std::string aptCandidate(const TempDir& apt, const std::string& package) {
  auto policy = aptIn(apt, {"apt-cache", "policy", package});
  const auto at = policy.out.find("Candidate: ");
  if (at == std::string::npos) return "";
  const auto start = at + 11;
  return policy.out.substr(start, policy.out.find('\n', start) - start);
}

}  // namespace nuvlet::test
