#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "nuvlet/app/LoginItem.h"
#include "nuvlet/platform/Log.h"
#include "platform/linux/XdgAutostartLoginService.h"
#include "tests/support/ChildProcess.h"
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

TEST_F(XdgAutostart, AwkwardExecutablePathsSurviveQuotingAndEscaping) {
  for (const std::string relative :
       {"my apps/nuvlet", "a\"b/$HOME`x`/n;u&v|l>e<t", "back\\slash/it's (1)/nuvlet*?#~",
        "caf\xc3\xa9 \xe2\x98\x80/nuvlet"}) {
    const auto exe = program("progs/" + relative);
    auto service = makeXdgAutostartLoginService(entry, exe);
    ASSERT_TRUE(service->registerItem()) << relative << ": " << service->lastError();
    const auto check = validate(entry);
    EXPECT_EQ(check.status, 0) << relative << "\n" << test::readText(entry) << check.out;
    EXPECT_EQ(launch(entry), "ran " + exe.string() + " 0\n") << test::readText(entry);
  }
  // '%' is doubled so it is no field code. GLib looks the program up before it undoes
  // that, so this entry is only validated.
  auto service = makeXdgAutostartLoginService(entry, program("100%/nuvlet %f"));
  ASSERT_TRUE(service->registerItem());
  EXPECT_NE(test::readText(entry).find("100%%/nuvlet %%f"), std::string::npos);
  EXPECT_EQ(validate(entry).status, 0);
}

TEST_F(XdgAutostart, EntrySwitchedOffElsewhereCountsAsNotRegistered) {
  const auto exe = program("bin/nuvlet");
  auto service = makeXdgAutostartLoginService(entry, exe);
  const struct {
    const char* text;
    Status status;
  } cases[] = {
      {"[Desktop Entry]\nExec=/x\n", Status::Enabled},
      {"[Desktop Entry]\nExec=/x\nHidden=true\n", Status::NotRegistered},
      {"[Desktop Entry]\nExec=/x\nX-GNOME-Autostart-enabled = false\r\n", Status::NotRegistered},
      // Keys of other groups do not switch the entry off.
      {"[Desktop Entry]\nExec=/x\n[Desktop Action x]\nHidden=true\n", Status::Enabled},
      {"not a desktop entry\n", Status::NotRegistered},
  };
  for (const auto& c : cases) {
    dir.write("config/autostart/nuvlet.desktop", c.text);
    EXPECT_EQ(service->status(), c.status) << c.text;
  }
  // Registering replaces whatever was there with an active entry.
  ASSERT_TRUE(service->registerItem());
  EXPECT_EQ(service->status(), Status::Enabled);
  EXPECT_EQ(test::readText(entry).find("Hidden"), std::string::npos);
}

TEST_F(XdgAutostart, MissingExecutableIsNotFound) {
  const auto notExecutable = dir.write("bin/readme", "text");
  const auto dirInstead = dir.path() / "bin";
  for (const std::filesystem::path& exe :
       {dir / "bin/gone", notExecutable, dirInstead, std::filesystem::path("bin/nuvlet"),
        std::filesystem::path()}) {
    auto service = makeXdgAutostartLoginService(entry, exe);
    EXPECT_EQ(service->status(), Status::NotFound) << exe;
    EXPECT_FALSE(service->registerItem()) << exe;
    EXPECT_EQ(service->lastError().rfind("cannot find the Nuvlet executable", 0), 0u)
        << service->lastError();
    EXPECT_FALSE(std::filesystem::exists(entry));
  }
  // Paths a desktop entry cannot carry (not UTF-8, control characters).
  for (const std::string relative : {"bad\xff/nuvlet", "new\nline/nuvlet"}) {
    auto service = makeXdgAutostartLoginService(entry, program(relative));
    EXPECT_FALSE(service->registerItem()) << relative;
    EXPECT_FALSE(service->lastError().empty());
    EXPECT_FALSE(std::filesystem::exists(entry)) << relative;
  }
}

TEST_F(XdgAutostart, FailuresToWriteOrRemoveSayWhy) {
  // A directory where the entry belongs.
  std::filesystem::create_directories(entry / "inside");
  auto service = makeXdgAutostartLoginService(entry, program("bin/nuvlet"));
  EXPECT_FALSE(service->registerItem());
  EXPECT_NE(service->lastError().find("cannot write"), std::string::npos) << service->lastError();
  EXPECT_FALSE(service->unregisterItem());
  EXPECT_NE(service->lastError().find("cannot remove"), std::string::npos) << service->lastError();
  EXPECT_TRUE(std::filesystem::is_directory(entry / "inside"));
  // No temporary file is left behind, and a success clears the reason.
  std::filesystem::remove_all(entry);
  EXPECT_TRUE(service->registerItem());
  EXPECT_EQ(service->lastError(), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(entry.parent_path()), {}), 1);
}

TEST_F(XdgAutostart, LaunchesFollowAMovedExecutable) {
  MemoryDefaults defaults;
  std::vector<std::string> lines;
  log::setSink([&](std::string_view line) { lines.emplace_back(line); });

  auto first = makeXdgAutostartLoginService(entry, program("old/nuvlet"));
  LoginItem(*first, defaults).configureAtLaunch();
  EXPECT_EQ(lines, std::vector<std::string>{
                       "Nuvlet: first-run login-item default applied; status=enabled"});

  // The program now lives elsewhere; the next launch renews the entry.
  const auto moved = program("new/nuvlet");
  auto second = makeXdgAutostartLoginService(entry, moved);
  LoginItem(*second, defaults).configureAtLaunch();
  EXPECT_EQ(launch(entry), "ran " + moved.string() + " 0\n");

  // Switched off from the menu, it stays off.
  LoginItem(*second, defaults).toggle();
  EXPECT_FALSE(std::filesystem::exists(entry));
  LoginItem(*second, defaults).configureAtLaunch();
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_EQ(lines.size(), 1u);
  log::setSink({});
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
