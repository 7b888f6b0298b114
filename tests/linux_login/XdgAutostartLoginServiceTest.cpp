#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "platform/linux/desktop/XdgAutostartLoginService.h"
#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Status = LoginService::Status;

class XdgAutostart : public ::testing::Test {
 protected:
  test::TempDir dir;
  Paths paths = Paths::under(dir.path());
  std::filesystem::path entry = paths.autostartFile();

  // A stand-in for the nuvlet binary: prints its path and argument count when run.
  std::filesystem::path program(const std::string& relative) {
    auto file = dir.write(relative, "#!/bin/sh\necho \"ran $0 $#\"\n");
    std::filesystem::permissions(file, std::filesystem::perms::owner_all);
    return file;
  }

  static std::string tool(const std::string& name) {
    auto found = test::findProgram(name);
    // The desktop-file-utils and libglib2.0-bin packages provide these.
    EXPECT_TRUE(found) << name << " is not installed";
    return found.value_or(name);
  }

  static test::ChildProcess::Result validate(const std::filesystem::path& file) {
    return test::ChildProcess::run({tool("desktop-file-validate"), file.string()});
  }

  // Starts the entry the way a GLib-based session does, and returns what ran.
  static std::string launch(const std::filesystem::path& file) {
    auto result = test::ChildProcess::run({tool("gio"), "launch", file.string()});
    EXPECT_EQ(result.status, 0) << result.out;
    return result.out;
  }
};

TEST_F(XdgAutostart, RegisteringWritesAValidEntryThatStartsTheProgram) {
  const auto exe = program("bin/nuvlet");
  auto service = makeXdgAutostartLoginService(entry, exe);
  EXPECT_EQ(service->status(), Status::NotRegistered);
  EXPECT_FALSE(std::filesystem::exists(entry.parent_path()));

  ASSERT_TRUE(service->registerItem()) << service->lastError();
  EXPECT_EQ(service->status(), Status::Enabled);
  EXPECT_EQ(service->lastError(), "");
  EXPECT_EQ(entry, dir / "config/autostart/nuvlet.desktop");
  const std::string text = test::readText(entry);
  EXPECT_NE(text.find("\nExec=" + exe.string() + "\n"), std::string::npos) << text;
  struct stat st {};
  ASSERT_EQ(::stat(entry.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::stat(entry.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const auto check = validate(entry);
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_EQ(launch(entry), "ran " + exe.string() + " 0\n");

  // Registering again rewrites the same entry.
  EXPECT_TRUE(service->registerItem());
  EXPECT_EQ(test::readText(entry), text);

  ASSERT_TRUE(service->unregisterItem());
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(service->status(), Status::NotRegistered);
  EXPECT_TRUE(service->unregisterItem());  // nothing left to remove
}

TEST_F(XdgAutostart, EntryFromPathsRegistersTheRunningBinary) {
  const auto exe = currentExecutable();
  ASSERT_TRUE(exe);
  EXPECT_EQ(exe->filename(), "test_linux_login");
  auto service = makeXdgAutostartLoginService(paths);
  ASSERT_TRUE(service->registerItem()) << service->lastError();
  EXPECT_NE(test::readText(entry).find("Exec=" + exe->string() + "\n"), std::string::npos);
}

}  // namespace
}  // namespace nuvlet::linux_platform
