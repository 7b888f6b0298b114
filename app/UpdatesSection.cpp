#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "app/DeviceReport.h"
#include "app/Updates.h"
#include "nuvlet/app/UpdaterController.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Log.h"
#include "nuvlet/platform/Paths.h"
#include "platform/linux/session/GlibRunLoop.h"
#include "platform/linux/desktop/JsonFileDefaults.h"

namespace nuvlet::cli {
namespace {

namespace fs = std::filesystem;
using linux_platform::UpdateOutcome;

// The apt source a package built with a repository address ships.
constexpr const char* kAptSource = "/etc/apt/sources.list.d/nuvlet.sources";

std::unique_ptr<Defaults> userSettings() {
  static SystemClock clock;
  return linux_platform::makeJsonFileDefaults(Paths::fromEnvironment().settingsFile(), clock);
}

int checkNow() {
  auto loop = linux_platform::makeGlibRunLoop();
  auto defaults = userSettings();
  auto options = updateOptions(*defaults);
  options.automatic = false;
  std::optional<UpdateOutcome> outcome;
  options.onOutcome = [&](const UpdateOutcome& o) {
    outcome = o;
    loop->quit();
  };
  auto service = linux_platform::makePackageKitUpdateService(*loop, std::move(options));
  UpdaterController controller(*service);
  controller.checkForUpdates();
  loop->run();
  using Kind = UpdateOutcome::Kind;
  switch (outcome->kind) {
    case Kind::UpToDate:
      std::puts("Nuvlet is up to date.");
      return 0;
    case Kind::Installed:
      std::printf(
          "Nuvlet %s is installed; a running Nuvlet restarts into it at its next daily "
          "check.\n",
          outcome->version.c_str());
      return 0;
    case Kind::Available:
      std::printf("Nuvlet %s is available (%s).\n", outcome->version.c_str(),
                  outcome->detail.c_str());
      return 0;
    default:
      std::fprintf(stderr, "Nuvlet: updates: %s\n", outcome->detail.c_str());
      return 1;
  }
}

}  // namespace

linux_platform::PackageKitOptions updateOptions(Defaults& defaults) {
  linux_platform::PackageKitOptions options;
  const char* admin = std::getenv("NUVLET_DPKG_ADMINDIR");
  if (admin != nullptr && *admin != 0) options.dpkgAdminDir = admin;
  options.package =
      linux_platform::findInstalledPackage(linux_platform::runningBinary(), options.dpkgAdminDir);
  options.defaults = &defaults;
  // To try an update by hand without waiting for the first check.
  if (const char* delay = std::getenv("NUVLET_UPDATE_CHECK_DELAY")) {
    char* end = nullptr;
    const double seconds = std::strtod(delay, &end);
    if (end != delay && *end == 0 && seconds >= 0 && seconds <= 24 * 3600) {
      options.firstCheckDelay = seconds;
    }
  }
  return options;
}

void relaunch(const fs::path& binary) {
  const std::string program = binary.string();
  std::vector<const char*> argv = {program.c_str(), "run"};
  if (log::verbose()) argv.push_back("--verbose");
  argv.push_back(nullptr);
  log::info("restarting into " + program);
  ::execv(program.c_str(), const_cast<char* const*>(argv.data()));
  log::info("cannot restart into " + program + ": " + std::strerror(errno));
}

// What `nuvlet devices` and `nuvlet update` say about updates.
std::vector<std::string> updateLines() {
  auto defaults = userSettings();
  auto options = updateOptions(*defaults);
  const bool fromPackage = options.package.has_value();
  auto loop = linux_platform::makeGlibRunLoop();
  auto service = linux_platform::makePackageKitUpdateService(*loop, std::move(options));
  std::vector<std::string> lines = {service->describe()};
  if (fromPackage) {
    lines.push_back(linux_platform::probePackageKit());
    lines.push_back(fs::exists(kAptSource)
                        ? std::string("new versions come from the repository in ") + kAptSource
                        : std::string("no repository of Nuvlet's own is configured (") +
                              kAptSource + " is missing)");
  }
  return lines;
}

int runUpdate(bool check) {
  if (check) return checkNow();
  for (const auto& line : updateLines()) std::puts(line.c_str());
  return 0;
}

void addUpdateCommand(CommandLine& cl) {
  auto* sub = cl.app.add_subcommand(
      "update", "Say where updates come from; --check looks for one now and installs it");
  auto check = std::make_shared<bool>(false);
  sub->add_flag("--check", *check, "Look for an update of the installed package now");
  sub->callback([&cl, check] { cl.chosen = [check] { return runUpdate(*check); }; });
}

}  // namespace nuvlet::cli
