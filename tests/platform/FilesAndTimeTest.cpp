#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/Text.h"
#include "tests/support/PinnedZone.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

unsigned modeOf(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

TEST(Files, DirectoriesAreCreatedPrivatelyAndExistingOnesLeftAlone) {
  test::TempDir dir;
  std::filesystem::create_directory(dir / "shared");
  std::filesystem::permissions(dir / "shared", std::filesystem::perms(0755));
  ASSERT_TRUE(files::ensureDirectory(dir / "shared/a/b"));
  EXPECT_EQ(modeOf(dir / "shared"), 0755u);
  EXPECT_EQ(modeOf(dir / "shared/a"), 0700u);
  EXPECT_EQ(modeOf(dir / "shared/a/b"), 0700u);
  EXPECT_TRUE(files::ensureDirectory(dir / "shared/a/b"));
  dir.write("file", "x");
  EXPECT_FALSE(files::ensureDirectory(dir / "file/below"));
}

TEST(Files, AtomicWriteReplacesWholeOrNothing) {
  test::TempDir dir;
  auto file = dir / "f.json";
  ASSERT_TRUE(files::writeAtomically(file, "first"));
  EXPECT_EQ(modeOf(file), 0600u);
  ASSERT_TRUE(files::writeAtomically(file, "second, longer"));
  EXPECT_EQ(files::readFile(file), "second, longer");
  // A target that cannot be replaced (a directory) fails and leaves no temporary file.
  std::filesystem::create_directory(dir / "d");
  EXPECT_FALSE(files::writeAtomically(dir / "d", "x"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            2);
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

TEST(Paths, XdgVariablesMustBeAbsolute) {
  std::map<std::string, std::string> env{{"HOME", "/home/ann"},
                                         {"XDG_DATA_HOME", "/data"},
                                         {"XDG_STATE_HOME", "relative/state"},
                                         {"XDG_CONFIG_HOME", ""}};
  auto paths = Paths::fromEnvironment([&](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  });
  EXPECT_EQ(paths.modelFile(), "/data/nuvlet/brightness_model_v2.json");
  EXPECT_EQ(paths.dailyStatsFile(), "/data/nuvlet/dailystats.json");
  EXPECT_EQ(paths.adjustmentLog(), "/home/ann/.local/state/nuvlet/adjustments.csv");
  EXPECT_EQ(paths.telemetryDir(), "/home/ann/.local/state/nuvlet/telemetry");
  EXPECT_EQ(paths.settingsFile(), "/home/ann/.config/nuvlet/settings.json");
  EXPECT_EQ(paths.cacheDir(), "/home/ann/.cache/nuvlet");
  EXPECT_EQ(paths.autostartFile(), "/home/ann/.config/autostart/nuvlet.desktop");
}

TEST(LocalTime, DayKeysAndHoursFollowTheZone) {
  test::PinnedZone zone("America/New_York");
  // 2026-12-06 04:30 UTC is 23:30 on the 5th in New York.
  EXPECT_EQ(localtime::dayKey(1796531400.0), "2026-12-05");
  EXPECT_EQ(localtime::hour(1796531400.0), 23);
  EXPECT_EQ(localtime::isoUtc(1796531400.9), "2026-12-06T04:30:00Z");
  EXPECT_FALSE(localtime::dayKey(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_FALSE(localtime::dayKey(1e300));
  EXPECT_EQ(localtime::hour(-1e300), -1);
  EXPECT_EQ(localtime::isoUtc(std::numeric_limits<double>::infinity()), "1970-01-01T00:00:00Z");
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
