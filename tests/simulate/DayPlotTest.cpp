#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "nuvlet/ui/DayPlot.h"
#include "tests/support/TempDir.h"

// Cairo's text keeps a font cache from fontconfig for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig\n"; }

namespace nuvlet {
namespace {

TEST(DayPlot, DrawsAPngAndLeavesNothingWhereItCannotWrite) {
  DayTrace trace;
  trace.day = 3;
  for (int i = 0; i < 120; ++i) {
    trace.hour.push_back(7 + i / 60.0 + (i >= 60 ? 2 : 0));  // a gap: the user slept
    trace.content.push_back(0.1 + 0.005 * i);
    trace.backlight.push_back(0.5);
    trace.emitted.push_back(0.2);
    trace.wanted.push_back(0.22);
  }
  trace.correctionHours = {7.5, 10.2};
  test::TempDir dir;
  const auto png = dir.path() / "day.png";
  ASSERT_TRUE(plotDay(trace, png));
  std::ifstream in(png, std::ios::binary);
  char magic[8] = {};
  in.read(magic, 8);
  EXPECT_EQ(std::string(magic + 1, 3), "PNG");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "day.png.partial"));

  const auto nowhere = dir.path() / "missing" / "day.png";
  EXPECT_FALSE(plotDay(trace, nowhere));
  EXPECT_FALSE(std::filesystem::exists(nowhere.parent_path()));
  // An empty trace still draws the axes.
  EXPECT_TRUE(plotDay(DayTrace{}, dir.path() / "empty.png"));
}

}  // namespace
}  // namespace nuvlet
