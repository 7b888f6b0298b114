#include <gtest/gtest.h>
#include <sys/stat.h>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/platform/Text.h"
#include "tests/support/PinnedZone.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

int modeOf(const std::filesystem::path& p) {
  return static_cast<int>(std::filesystem::status(p).permissions());
}

TEST(Files, DirectoriesAreCreatedPrivatelyAndExistingOnesLeftAlone) {
  test::TempDir dir;
  std::filesystem::create_directory(dir / "shared");
  std::filesystem::permissions(dir / "shared", std::filesystem::perms(0755));
  ASSERT_TRUE(files::ensureDirectory(dir / "shared/a/b"));
  EXPECT_EQ(modeOf(dir / "shared"), 0755);
  EXPECT_EQ(modeOf(dir / "shared/a"), 0700);
  EXPECT_EQ(modeOf(dir / "shared/a/b"), 0700);
  EXPECT_TRUE(files::ensureDirectory(dir / "shared/a/b"));
  dir.write("file", "x");
  EXPECT_FALSE(files::ensureDirectory(dir / "file/below"));
}

TEST(Files, AtomicWriteReplacesWholeOrNothing) {
  test::TempDir dir;
  auto file = dir / "f.json";
  ASSERT_TRUE(files::writeAtomically(file, "first"));
  EXPECT_EQ(modeOf(file), 0600);
  ASSERT_TRUE(files::writeAtomically(file, "second, longer"));
  EXPECT_EQ(files::readFile(file), "second, longer");
  // A target that cannot be replaced (a directory) fails and leaves no temporary file.
  std::filesystem::create_directory(dir / "d");
  EXPECT_FALSE(files::writeAtomically(dir / "d", "x"));
  EXPECT_EQ(std::ranges::distance(std::filesystem::directory_iterator(dir.path())), 2);
}

// A write killed between creating its temporary and the rename leaves the temporary
// behind; the next write of that file removes the old ones, and nothing else.
TEST(Files, AWriteRemovesOnlyItsOwnFilesOldTemporaries) {
  test::TempDir dir;
  const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(2);
  const struct {
    const char* name;
    bool removed;
  } cases[] = {
      {"s.json.tmp-a1B2c3", true},   {"s.json.tmp-XXXXXX", true},  {"s.json.tmp-abc", false},
      {"s.json.tmp-abcdefg", false}, {"s.json.tmp-a.b_c-", false}, {"t.json.tmp-a1B2c3", false},
      {"xs.json.tmp-a1B2c3", false}, {"notes.txt", false},
  };
  for (const auto& c : cases) std::filesystem::last_write_time(dir.write(c.name, "x"), old);
  dir.write("s.json.tmp-live01", "a live writer's");
  std::filesystem::create_directory(dir / "s.json.tmp-dir012");
  std::filesystem::last_write_time(dir / "s.json.tmp-dir012", old);

  ASSERT_TRUE(files::writeAtomically(dir / "s.json", "new"));
  for (const auto& c : cases) EXPECT_NE(std::filesystem::exists(dir / c.name), c.removed) << c.name;
  EXPECT_TRUE(std::filesystem::exists(dir / "s.json.tmp-live01"));
  EXPECT_TRUE(std::filesystem::exists(dir / "s.json.tmp-dir012"));
}

TEST(Files, ReadRefusesDirectoriesFifosAndOversizedFiles) {
  test::TempDir dir;
  dir.write("big", std::string(1000, 'x'));
  EXPECT_FALSE(files::readFile(dir / "big", 999));
  EXPECT_EQ(files::readFile(dir / "big", 1000)->size(), 1000u);
  EXPECT_FALSE(files::readFile(dir.path()));
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(files::readFile(dir / "fifo"));  // must not block
  EXPECT_FALSE(files::readFile(dir / "missing"));
}

TEST(Files, MoveAsideNeverOverwritesAnEarlierCopy) {
  test::TempDir dir;
  dir.write("s.json", "one");
  ASSERT_TRUE(files::moveAside(dir / "s.json", 1234.9));
  dir.write("s.json", "two");
  ASSERT_TRUE(files::moveAside(dir / "s.json", 1234.1));
  EXPECT_EQ(test::readText(dir / "s.json.corrupt-1234"), "one");
  EXPECT_EQ(test::readText(dir / "s.json.corrupt-1234-1"), "two");
  EXPECT_FALSE(std::filesystem::exists(dir / "s.json"));
}

TEST(LocalTime, AddingDaysKeepsWallClockAcrossDaylightSaving) {
  test::PinnedZone zone("America/New_York");
  // 2026-11-02 12:00 EST; 2026-11-01 has 25 hours, so two days back, 2026-10-31 12:00
  // EDT, is 49 hours earlier.
  const double nov2Noon = 1793638800.0;
  EXPECT_EQ(localtime::dayKey(nov2Noon), "2026-11-02");
  EXPECT_EQ(localtime::addDays(nov2Noon, -1), nov2Noon - 24 * 3600);
  EXPECT_EQ(localtime::addDays(nov2Noon, -2), nov2Noon - 49 * 3600);
  EXPECT_EQ(localtime::dayKey(*localtime::addDays(nov2Noon, -2)), "2026-10-31");
  EXPECT_EQ(localtime::hour(*localtime::addDays(nov2Noon, -2)), 12);
}

TEST(Text, Utf8RepairKeepsValidTextAndReplacesEachBadByte) {
  struct Case {
    std::string in, out;
  };
  const std::string fffd = "\xef\xbf\xbd";
  const Case cases[] = {
      {"plain", "plain"},
      {"\xe2\x82\xac \xf0\x9f\x98\x80", "\xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\xc0\xaf", fffd + fffd},                        // overlong '/'
      {"\xed\xa0\x80", fffd + fffd + fffd},             // surrogate
      {"\xf4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"ab\xe2\x82", "ab" + fffd + fffd},               // truncated at the end
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(text::repairUtf8(c.in), c.out);
}

}  // namespace
}  // namespace nuvlet
