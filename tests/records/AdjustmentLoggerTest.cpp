#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "nuvlet/records/AdjustmentLogger.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

class AdjustmentLog : public ::testing::Test {
 protected:
  test::TempDir dir;
  Paths paths = Paths::under(dir.path());
  sim::VirtualRunLoop loop{1796386140.0};  // 2026-12-04T12:09:00Z
  sim::ScriptedWorkspace workspace;

  std::string contents() const { return test::readText(paths.adjustmentLog()); }
};

TEST_F(AdjustmentLog, LinesFormatNumbersAndAppendAcrossStarts) {
  // A locale with a decimal comma must not change the file, if the machine has one.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_NUMERIC, "de_DE.UTF-8");

  // The log as a crash right after creating it leaves it: empty, still without its header.
  std::filesystem::create_directories(paths.stateDir());
  std::ofstream(paths.adjustmentLog()).flush();
  workspace.frontmost = FrontmostApplication{"org.gnome.TextEditor", "Text Editor"};
  {
    AdjustmentLogger logger(paths, loop, workspace);
    logger.log("scroll", 0.5, 0.33333, 0.02, 1,
               {ContentSignature{0.125, 0.87654, 0.5, 0.01, -0.25}, 0.4});
  }
  loop.advance(61.9);
  workspace.frontmost.reset();
  {
    AdjustmentLogger logger(paths, loop, workspace);
    logger.log("auto", 0.123456, 0.99995, 0.00004, 0.6, {std::nullopt, NAN});
  }
  std::setlocale(LC_NUMERIC, saved.c_str());

  EXPECT_EQ(contents(), std::string(AdjustmentLogger::kHeader) +
                            "2026-12-04T12:09:00Z,scroll,0.5000,0.3333,0.0200,1.0000,"
                            "org.gnome.TextEditor,0.1250,0.8765,0.0100,-0.2500,0.4000\n"
                            // Unknown content and a reading that is not a number stay empty.
                            "2026-12-04T12:10:01Z,auto,0.1235,1.0000,0.0000,0.6000,unknown,,,,,\n");
}

TEST_F(AdjustmentLog, ApplicationIdCannotBreakTheCsv) {
  AdjustmentLogger logger(paths, loop, workspace);
  struct Case {
    std::string id;
    std::string column;
  };
  const Case cases[] = {
      {"evil,app\nnext,row", "evil_app_next_row"},
      {"tab\there\r", "tab_here_"},
      {"", "unknown"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad\xff", "bad\xef\xbf\xbd"},
  };
  for (const auto& c : cases) {
    workspace.frontmost = FrontmostApplication{c.id, ""};
    // The seventh column: nothing of the id reaches another column or line.
    EXPECT_EQ(logger.formatLine("scroll", 0, 0, 0, 0),
              "2026-12-04T12:09:00Z,scroll,0.0000,0.0000,0.0000,0.0000," + c.column + ",,,,,\n");
  }
}

}  // namespace
}  // namespace nuvlet
