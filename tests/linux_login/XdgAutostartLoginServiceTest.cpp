#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/linux/desktop/XdgAutostartLoginService.h"
#include "tests/harness/DesktopEntry.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Status = LoginService::Status;

class XdgAutostart : public ::testing::Test {
 protected:
  test::TempDir dir;
  Paths paths = Paths::under(dir.path());
  std::filesystem::path entry = paths.autostartFile();
};

TEST_F(XdgAutostart, RegisteringWritesAValidEntryThatStartsTheProgram) {
  const auto exe = test::writeStandInProgram(dir, "bin/nuvlet");
  auto service = makeXdgAutostartLoginService(entry, exe);
  EXPECT_EQ(service->status(), Status::NotRegistered);
  EXPECT_FALSE(std::filesystem::exists(entry.parent_path()));

  ASSERT_TRUE(service->registerItem()) << service->lastError();
  EXPECT_EQ(service->status(), Status::Enabled);
  EXPECT_EQ(service->lastError(), "");
  EXPECT_EQ(entry, dir / "config/autostart/nuvlet.desktop");
  const std::string text = test::readText(entry);
  EXPECT_EQ(test::desktopEntryValue(entry, "Exec"), exe.string()) << text;
  EXPECT_EQ(static_cast<int>(std::filesystem::status(entry).permissions()), 0644);
  EXPECT_EQ(static_cast<int>(std::filesystem::status(entry.parent_path()).permissions()), 0700);

  const auto check = test::validateDesktopEntry(entry);
  EXPECT_EQ(check.status, 0) << check.out;
  const auto launched = test::launchDesktopEntry(entry);
  EXPECT_EQ(launched.status, 0) << launched.out;
  EXPECT_EQ(launched.out, "ran " + exe.string() + " 0\n");

  // Registering again rewrites the same entry.
  EXPECT_TRUE(service->registerItem());
  EXPECT_EQ(test::readText(entry), text);

  ASSERT_TRUE(service->unregisterItem());
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(service->status(), Status::NotRegistered);
  EXPECT_TRUE(service->unregisterItem());  // nothing left to remove

  // Made from the paths alone, it registers the running program.
  const auto running = currentExecutable();
  ASSERT_TRUE(running);
  EXPECT_EQ(running->filename(), "test_linux_login");
  ASSERT_TRUE(makeXdgAutostartLoginService(paths)->registerItem());
  EXPECT_EQ(test::desktopEntryValue(entry, "Exec"), running->string());
}

}  // namespace
}  // namespace nuvlet::linux_platform
