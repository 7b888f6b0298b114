#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nuvlet/app/UpdaterController.h"
#include "nuvlet/platform/Log.h"
#include "platform/linux/desktop/PackageKitUpdateService.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/FakePackageKit.h"
#include "tests/harness/Servers.h"
#include "tests/harness/UpdateDpkgDatabase.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Kind = UpdateOutcome::Kind;
using testing::Contains;
using testing::HasSubstr;
using Script = test::FakePackageKit::Script;

const InstalledPackage kInstalled{"nuvlet", "0.1.0", "/usr/bin/nuvlet"};
constexpr std::uint32_t kNormal = 5, kBlocked = 9, kNeedUntrusted = 8;

Script errs(std::uint32_t code, std::string details) {
  return {.error = std::make_pair(code, std::move(details)), .exit = 2};
}

// The updater on a private system bus with the stand-in daemon, wired as the app wires it.
class Updater : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bus.running()) << "dbus-daemon is required";
    log::setSink([this](std::string_view line) { said.emplace_back(line); });
    log::setVerbose(true);
  }
  void TearDown() override {
    controller.reset();
    service.reset();
    log::setSink({});
    log::setVerbose(false);
  }

  void make(PackageKitOptions options = {}) {
    if (!options.bus) options.bus = bus.address();
    if (options.dpkgAdminDir == "/var/lib/dpkg") options.dpkgAdminDir = dpkg.path();
    options.transactionTimeout = 1;
    options.onOutcome = [this](const UpdateOutcome& o) { outcomes.push_back(o); };
    options.onRestartRequested = [this](const InstalledPackage& p) { restarts.push_back(p); };
    service = makePackageKitUpdateService(loop, std::move(options));
    controller = std::make_unique<UpdaterController>(*service);
  }
  PackageKitOptions fromPackage() {
    PackageKitOptions o;
    o.package = kInstalled;
    o.automatic = false;
    return o;
  }
  bool waitForOutcomes(std::size_t n) {
    return loop.runUntil([&] { return outcomes.size() >= n; }, 10);
  }

  test::DbusDaemon bus{test::DbusDaemon::Kind::System};
  test::FakePackageKit packageKit{bus.address()};
  test::TempDir dpkg;  // an empty dpkg database
  sim::VirtualRunLoop loop;
  std::unique_ptr<UpdateService> service;
  std::unique_ptr<UpdaterController> controller;
  std::vector<UpdateOutcome> outcomes;
  std::vector<InstalledPackage> restarts;
  std::vector<std::string> said;
};

// One explicit check against what the daemon answers, from refresh to install.
TEST_F(Updater, AChecksOutcomeFollowsWhatPackageKitAnswers) {
  struct Case {
    const char* name;
    std::map<std::string, Script> scripts;
    Kind kind;
    std::string detail;  // part of it
    bool installs;       // UpdatePackages was called
  };
  const std::vector<Case> cases = {
      {"an update of ours is found and installed",
       {{"GetUpdates", Script{.packages = {{kNormal, "libother;2.0;amd64;debian"},
                                           {kNormal, "nuvlet;0.2.0;amd64;nuvlet"}}}}},
       Kind::Installed,
       "",
       true},
      {"no update", {}, Kind::UpToDate, "", false},
      {"only other packages and a blocked one of ours",
       {{"GetUpdates", Script{.packages = {{kNormal, "libother;2.0;amd64;debian"},
                                           {kBlocked, "nuvlet;0.2.0;amd64;nuvlet"}}}}},
       Kind::UpToDate,
       "",
       false},
      {"refreshing fails with an error code",
       {{"RefreshCache", errs(2, "cannot reach the mirror")}},
       Kind::Failed,
       "cannot reach the mirror (error 2, while refreshing the package lists)",
       false},
      {"the update is not trusted",
       {{"GetUpdates", Script{.packages = {{kNormal, "nuvlet;0.2.0;amd64;nuvlet"}}}},
        {"UpdatePackages", Script{.exit = kNeedUntrusted}}},
       Kind::Failed,
       "not signed by a trusted key",
       true},
      {"the daemon goes away mid-transaction",
       {{"GetUpdates", Script{.vanish = true}}},
       Kind::Failed,
       "PackageKit went away while asking for updates",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    outcomes.clear();
    restarts.clear();
    test::FakePackageKit daemon(bus.address());
    for (const auto& [method, script] : c.scripts) daemon.script(method, script);
    ASSERT_TRUE(daemon.own());
    make(fromPackage());
    controller->checkForUpdates();
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_EQ(outcomes[0].kind, c.kind) << outcomes[0].detail;
    EXPECT_THAT(outcomes[0].detail, HasSubstr(c.detail));
    EXPECT_GT(daemon.calls("RefreshCache (false,)"), 0);
    EXPECT_EQ(daemon.calls("UpdatePackages") > 0, c.installs);
    if (c.kind == Kind::Installed) {
      // Only our package, only trusted, and the system may ask the user.
      EXPECT_TRUE(daemon.calls("UpdatePackages (2, ['nuvlet;0.2.0;amd64;nuvlet'])"));
      EXPECT_TRUE(daemon.calls("SetHints (['locale=C', 'background=false', 'interactive=true'],)"));
      ASSERT_EQ(restarts.size(), 1u);
      EXPECT_EQ(restarts[0].version, "0.2.0");
      EXPECT_EQ(restarts[0].binary, kInstalled.binary);
    } else {
      EXPECT_TRUE(restarts.empty());
    }
    service.reset();
    controller.reset();
  }
}

TEST_F(Updater, AVersionInstalledMeanwhileByOtherMeansAlsoRestarts) {
  ASSERT_TRUE(packageKit.own());
  test::writeDpkgDatabase(dpkg, ".", "0.3.0", kInstalled.binary);
  make(fromPackage());
  controller->checkForUpdates();
  ASSERT_TRUE(waitForOutcomes(1));
  EXPECT_EQ(outcomes[0].kind, Kind::Installed);
  EXPECT_EQ(outcomes[0].version, "0.3.0");
  ASSERT_EQ(restarts.size(), 1u);
  EXPECT_EQ(restarts[0].version, "0.3.0");
  EXPECT_FALSE(packageKit.calls("UpdatePackages"));
}

TEST_F(Updater, WithoutPackageKitABusOrAPackageItSaysSoOnceAndGoesOn) {
  struct Case {
    const char* name;
    std::optional<std::string> bus;
    bool fromPackage;
    Kind kind;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"nobody owns the name", std::nullopt, true, Kind::Unavailable,
       "PackageKit is not available"},
      {"no system bus", "unix:path=/nonexistent/bus", true, Kind::Unavailable, "no system bus"},
      // Last: PackageKit is there, and a build not from a package never asks it.
      {"a build not from a package", std::nullopt, false, Kind::NotFromPackage,
       "built or installed by hand"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    outcomes.clear();
    said.clear();
    auto options = c.fromPackage ? fromPackage() : PackageKitOptions{};
    ASSERT_TRUE(c.fromPackage || packageKit.own());
    options.bus = c.bus;
    make(std::move(options));
    loop.advance(3 * 24 * 3600);
    controller->checkForUpdates();
    ASSERT_TRUE(waitForOutcomes(1));
    controller->checkForUpdates();
    ASSERT_TRUE(waitForOutcomes(2));
    for (const auto& o : outcomes) {
      EXPECT_EQ(o.kind, c.kind);
      EXPECT_THAT(o.detail, HasSubstr(c.detail));
    }
    EXPECT_THAT(said, Contains(HasSubstr(c.detail)).Times(1));
    EXPECT_THAT(service->describe(), HasSubstr(c.detail));
    EXPECT_EQ(packageKit.transactionsCreated(), 0);
  }
}

// A version the user declined is not offered again by the daily check, only when asked.
TEST_F(Updater, ChecksAfterLaunchAndDailyUnlessSwitchedOffAndOffersADeclinedVersionOnlyWhenAsked) {
  packageKit.script("GetUpdates", Script{.packages = {{kNormal, "nuvlet;0.2.0;amd64;nuvlet"}}});
  packageKit.script("UpdatePackages", errs(48, "Failed to obtain authentication."));
  ASSERT_TRUE(packageKit.own());
  MemoryDefaults defaults;
  PackageKitOptions options;
  options.package = kInstalled;
  options.defaults = &defaults;
  options.firstCheckDelay = 60;
  make(std::move(options));
  auto refreshes = [&] { return packageKit.calls("RefreshCache"); };

  loop.advance(59);
  loop.runUntil([] { return false; }, 0.2);
  EXPECT_EQ(packageKit.transactionsCreated(), 0);
  loop.advance(1);
  ASSERT_TRUE(waitForOutcomes(1));
  EXPECT_EQ(outcomes[0].kind, Kind::Declined);
  EXPECT_EQ(outcomes[0].detail, "not authorised: Failed to obtain authentication.");
  // A background check does not ask the user.
  EXPECT_TRUE(
      packageKit.calls("SetHints (['locale=C', 'background=true', "
                       "'interactive=false'],)"));
  loop.advance(24 * 3600);
  ASSERT_TRUE(waitForOutcomes(2));
  EXPECT_EQ(refreshes(), 2);
  EXPECT_EQ(outcomes[1].kind, Kind::Available);
  EXPECT_EQ(packageKit.calls("UpdatePackages"), 1);

  defaults.setValue("automaticallyChecksForUpdates", false);
  loop.advance(2 * 24 * 3600);
  loop.runUntil([] { return false; }, 0.2);
  EXPECT_EQ(refreshes(), 2);
  EXPECT_THAT(service->describe(), HasSubstr("automatic checks are off"));
  EXPECT_THAT(said, Contains(HasSubstr("automatic checks are off")).Times(1));
  // Asking by hand still checks, and asks the user again.
  controller->checkForUpdates();
  ASSERT_TRUE(waitForOutcomes(3));
  EXPECT_EQ(refreshes(), 3);
  EXPECT_EQ(outcomes[2].kind, Kind::Declined);
  EXPECT_TRUE(restarts.empty());
}

TEST_F(Updater, OverlappingChecksRunOnceAndAFailedOneIsNotRetriedByItself) {
  packageKit.script("RefreshCache", {.hang = true});
  ASSERT_TRUE(packageKit.own());
  make(fromPackage());
  controller->checkForUpdates();
  controller->checkForUpdates();
  ASSERT_TRUE(waitForOutcomes(1));
  EXPECT_EQ(outcomes[0].kind, Kind::TimedOut);
  EXPECT_EQ(outcomes[0].detail,
            "PackageKit did not finish refreshing the package lists within 1 s; cancelled");
  EXPECT_TRUE(loop.runUntil([&] { return packageKit.calls("Cancel"); }, 5));
  loop.runUntil([] { return false; }, 1.5);
  EXPECT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(packageKit.transactionsCreated(), 1);
  // Once it has ended, the next check runs.
  packageKit.script("RefreshCache", Script{.exit = 1});
  controller->checkForUpdates();
  ASSERT_TRUE(waitForOutcomes(2));
  EXPECT_EQ(outcomes[1].kind, Kind::UpToDate);
}

}  // namespace
}  // namespace nuvlet::linux_platform
