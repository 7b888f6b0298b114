// Which records the fitter learns from, and what it reads from each.
#include <gtest/gtest.h>

#include <string>

#include "nuvlet/learning/AdjustmentLogParser.h"
#include "nuvlet/learning/TelemetryLineParser.h"
#include "tests/learning_fit/FitTestSupport.h"

namespace nuvlet {
namespace {

using test::PinnedZone;

struct Parsed {
  ContentBucket bucket;
  double backlight;
};

std::optional<Parsed> parseRow(const std::string& line) {
  static TelemetryLineParser parser;
  std::string padded = line + std::string(TelemetryLineParser::kPadding, ' ');
  auto s = parser.parse(padded.data(), line.size());
  if (!s) return std::nullopt;
  return Parsed{bucket_key::decode(s->bucketKey), s->backlight};
}

std::optional<Parsed> parseLogLine(const std::string& line) {
  auto s = adjustment_log::parseLine(line);
  if (!s) return std::nullopt;
  return Parsed{bucket_key::decode(s->bucketKey), s->backlight};
}

constexpr const char* kExampleLine =
    "2026-12-05T12:09:00Z,scroll,0.5000,0.4200,0.8100,0.5000,unknown";

TEST(AdjustmentLogLine, ContentColumnsPutACorrectionInTheBucketItWasMadeIn) {
  PinnedZone zone("America/New_York");
  // A dark editor, warm and tinted, with the lamps on.
  auto p = parseLogLine(std::string(kExampleLine) + ",0.9,0.05,0.1,0.2,0.3");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->bucket, (ContentBucket{6, 2, 0, 1, 2, 0, 0}));
  // Without an ambient level the content still counts.
  p = parseLogLine(std::string(kExampleLine) + ",0.9,0.05,0.1,0.2,");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->bucket, (ContentBucket{6, 2, 0, 1, 2, 0, std::nullopt}));
  // Any unreadable content column leaves the line as a seven-column one was.
  for (const char* bad : {",0.9,0.05,,0.2,0.3", ",0.9,0.05,0.1,nan,0.3", ",x,0.05,0.1,0.2,0.3",
                          ",0.9,0.05,0.1", ",0.9, 0.05,0.1,0.2,0.3"}) {
    p = parseLogLine(std::string(kExampleLine) + bad);
    ASSERT_TRUE(p) << bad;
    EXPECT_EQ(p->bucket.darkBin, 0) << bad;
    EXPECT_EQ(p->bucket.warmBin, 1) << bad;
  }
  // An unreadable ambient level alone costs only the ambient bin.
  p = parseLogLine(std::string(kExampleLine) + ",0.9,0.05,0.1,0.2,inf");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->bucket, (ContentBucket{6, 2, 0, 1, 2, 0, std::nullopt}));
}

TEST(TelemetryRow, RowsRecordedUnderAutomaticControlOrWithoutLevelsAreSkipped) {
  // Members after {"brightness":0.5,; of repeated members the later one wins.
  for (const char* used :
       {R"("lum_slow":0.5,"auto_on":false})", R"("lum_slow":0.5,"auto_on":"true"})",
        R"("lum_slow":"x","lum_slow":0.5})", R"("lum_slow":0.5,"auto_on":true,"auto_on":false})",
        R"("lum_slow":0.5,"auto_on":true,"auto\u005fon":false})"}) {
    EXPECT_TRUE(parseRow(std::string(R"({"brightness":0.5,)") + used)) << used;
  }
  for (const char* skipped : {R"("lum_slow":0.5,"auto_on":true})", R"("lum_slow":null})",
                              R"("lum_slow":0.5,"lum_slow":"x"})", R"("x":1})"}) {
    EXPECT_FALSE(parseRow(std::string(R"({"brightness":0.5,)") + skipped)) << skipped;
  }
  EXPECT_FALSE(parseRow(R"({"lum_slow":0.5})"));
  EXPECT_FALSE(parseRow(R"({"brightness":"0.5","lum_slow":0.5})"));
}

TEST(TelemetryRow, ALineThatIsNotWholeValidJsonIsSkipped) {
  const std::string good = R"("brightness":0.5,"lum_slow":0.5)";
  const std::string cases[] = {
      "not json",
      "[" + good + "]",
      "{" + good,                        // truncated
      "{" + good + "} {}",               // trailing content
      "{" + good + ",}",                 // trailing comma
      "{" + good + ",\"x\":tru}",        // broken literal in an unused member
      "{" + good + ",\"x\":01}",         // leading zero
      "{" + good + ",\"x\":\"a\\qb\"}",  // invalid escape
      "{" + good + ",\"x\":\"a\tb\"}",   // raw control character
      "{" + good + ",\"x\":[1,2}",
      "{" + good + ",\"x\":\"\\ud800\"}",  // lone surrogate
      "{" + good + ",\"lum_fast\":1e999}",
      "{\"brightness\":1e999,\"lum_slow\":0.5}",
      "{" + good + std::string(",\"x\":\"a\0b\"}", 12),  // NUL inside a string
      "{" + good + ",\"x\":" + std::string(600, '[') + std::string(600, ']') + "}",
      "{" + good + ",\"x\":" + std::string(100000, '[') + "}",
  };
  for (const auto& line : cases) {
    EXPECT_FALSE(parseRow(line)) << line.substr(0, 80);
  }
  // The same members in valid company are read.
  EXPECT_TRUE(parseRow("{" + good + ",\"x\":[1,2.5e-3,-0,true,false,null,\"\\u00e9\\n\"]}"));
  EXPECT_TRUE(
      parseRow("{" + good + ",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}"));
  EXPECT_TRUE(parseRow(" {" + good + "} \r"));
}

TEST(TelemetryRow, AMegabyteLongRowIsReadOrSkippedByItsContent) {
  const std::string name(1 << 20, 'a');
  EXPECT_TRUE(parseRow(R"({"brightness":0.5,"lum_slow":0.5,"app_name":")" + name + "\"}"));
  EXPECT_FALSE(parseRow(R"({"brightness":0.5,"lum_slow":0.5,"app_name":")" + name + "}"));
}

}  // namespace
}  // namespace nuvlet
