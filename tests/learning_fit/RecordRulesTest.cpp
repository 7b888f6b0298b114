// Which records the fitter learns from, and what it reads from each.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "nuvlet/learning/AdjustmentLogParser.h"
#include "nuvlet/learning/TelemetryLineParser.h"
#include "nuvlet/platform/LocalTime.h"
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

TEST(AdjustmentLogLine, WorkedExampleGivesItsBucketAndLevel) {
  PinnedZone zone("America/New_York");  // 12:09Z is 07:09 there: morning
  auto p = parseLogLine(kExampleLine);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->backlight, 0.42);
  EXPECT_EQ(p->bucket, (ContentBucket{6, 0, 0, 0, 1, 0, std::nullopt}));
}

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

TEST(AdjustmentLogLine, UnparsableTimeStampCostsOnlyTheHour) {
  PinnedZone zone("America/New_York");
  for (const char* stamp :
       {"2026-12-05 12:09:00Z", "", "2026-02-30T12:09:00Z", "2026-12-05T12:09:00"}) {
    auto p = parseLogLine(std::string(stamp) + ",scroll,0.5,0.42,0.81,0.5,x");
    ASSERT_TRUE(p) << stamp;
    EXPECT_EQ(p->bucket.todBin, 1) << stamp;  // hour 12
  }
}

TEST(AdjustmentLogLine, TimeStampsWithFractionOrOffsetGiveTheLocalHour) {
  PinnedZone zone("UTC");
  struct Case {
    const char* stamp;
    int hour;
  } cases[] = {{"2026-12-05T04:09:00.250Z", 4},
               {"2026-12-05T12:09:00+08:00", 4},
               {"2026-12-05T23:30:00-06:00", 5}};
  for (const auto& c : cases) {
    auto t = adjustment_log::parseTimestamp(c.stamp);
    ASSERT_TRUE(t) << c.stamp;
    EXPECT_EQ(localtime::hour(*t), c.hour) << c.stamp;
  }
  EXPECT_EQ(adjustment_log::parseTimestamp("2026-12-05T12:09:00Z"), 1796472540.0);
}

TEST(AdjustmentLogLine, OnlyTheUsersOwnChangesWithTwoWholeNumbersCount) {
  // After the time stamp; five fields are enough, more are ignored.
  for (const char* used : {"scroll,0.5,0.42,0.81,0.5,x", "system_key,0.5,0.42,0.81,0.5,x",
                           "scroll,0.5,0.42,0.81", "scroll,junk,0.42,0.81,junk,x,extra,fields"}) {
    EXPECT_TRUE(parseLogLine(std::string("2026-12-05T12:09:00Z,") + used)) << used;
  }
  for (const char* unused :
       {"auto,0.5,0.42,0.81,0.5,x", "Scroll,0.5,0.42,0.81,0.5,x", "scroll,0.5,0.42",
        "scroll,0.5, 0.42,0.81,0.5,x", "scroll,0.5,0.42x,0.81,0.5,x", "scroll,0.5,,0.81,0.5,x",
        "scroll,0.5,0.42,0.81\r", "scroll,0.5,nan,0.81,0.5,x", "scroll,0.5,0.42,inf,0.5,x",
        "scroll,0.5,0.42,1e999,0.5,x"}) {
    EXPECT_FALSE(parseLogLine(std::string("2026-12-05T12:09:00Z,") + unused)) << unused;
  }
}

TEST(AdjustmentLogNumber, TheWholeFieldIsOneNumberAsStrtodReadsIt) {
  const std::pair<const char*, double> good[] = {{"0.4200", 0.42}, {"+0.5", 0.5}, {"0x1p-1", 0.5},
                                                 {"1e-3", 0.001},  {".5", 0.5},   {"1e-400", 0}};
  for (const auto& [field, value] : good) EXPECT_EQ(adjustment_log::parseNumber(field), value);
  const std::string bad[] = {" 0.5", "0.5 ", "", "+", "0,5", std::string("0.5\0001", 5)};
  for (const auto& field : bad)
    EXPECT_EQ(adjustment_log::parseNumber(field), std::nullopt) << field;
  EXPECT_TRUE(std::isnan(*adjustment_log::parseNumber("nan")));
  EXPECT_TRUE(std::isinf(*adjustment_log::parseNumber("inf")));
}

TEST(TelemetryRow, ReadsTheMembersTheFitterUses) {
  PinnedZone zone("America/New_York");
  auto p =
      parseRow(R"({"schema":2,"trigger":"tick","brightness":0.55,"lum_slow":0.3,"sig_dark":0.5,)"
               R"("sig_bright":0.7,"chroma":0.2,"warm_cool":-0.1,"amb_avail":true,"amb_norm":0.9,)"
               R"("hour":19,"t":1796558400,"auto_on":false,"lum_grid":[0.1,0.2],"app_id":"x"})");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->backlight, 0.55);
  EXPECT_EQ(p->bucket, (ContentBucket{2, 1, 2, 2, 0, 2, 2}));
}

TEST(TelemetryRow, HourComesFromHourThenFromTThenIsTwelve) {
  PinnedZone zone("America/New_York");  // t = 12:00Z is 07:00 there
  struct Case {
    const char* members;
    std::int64_t todBin;
  } cases[] = {
      {R"("hour":19,"t":1796558400)", 2},
      {R"("t":1796558400)", 0},
      {R"("hour":13.0,"t":1796558400)", 1},
      {R"("hour":13.5,"t":1796558400)", 0},   // not whole: t decides
      {R"("hour":"19","t":1796558400)", 0},   // not a number: t decides
      {R"("hour":99)", 3},                    // used without a range check
      {R"("hour":1e300,"t":1796558400)", 0},  // beyond a 64-bit integer
      {R"("t":"1796558400")", 1},
      {"\"x\":1", 1},
  };
  for (const auto& c : cases) {
    auto p = parseRow(std::string(R"({"brightness":0.5,"lum_slow":0.5,)") + c.members + "}");
    ASSERT_TRUE(p) << c.members;
    EXPECT_EQ(p->bucket.todBin, c.todBin) << c.members;
  }
}

TEST(TelemetryRow, AmbientCountsOnlyWhenAvailableIsTrue) {
  struct Case {
    const char* members;
    std::optional<std::int64_t> ambientBin;
  } cases[] = {
      {R"("amb_avail":true,"amb_norm":0.7)", 2},
      {R"("amb_avail":false,"amb_norm":0.7)", std::nullopt},
      {R"("amb_avail":1,"amb_norm":0.7)", std::nullopt},
      {R"("amb_avail":true)", std::nullopt},
      {R"("amb_avail":true,"amb_norm":null)", std::nullopt},
  };
  for (const auto& c : cases) {
    auto p = parseRow(std::string(R"({"brightness":0.5,"lum_slow":0.5,)") + c.members + "}");
    ASSERT_TRUE(p) << c.members;
    EXPECT_EQ(p->bucket.ambientBin, c.ambientBin) << c.members;
  }
}

TEST(TelemetryRow, SignatureMembersThatAreNotNumbersCountAsZero) {
  auto p = parseRow(
      R"({"brightness":0.5,"lum_slow":0.5,"sig_dark":"0.9","sig_bright":null,"chroma":[0.5],)"
      R"("warm_cool":{"v":1}})");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->bucket, (ContentBucket{4, 0, 0, 0, 1, 1, std::nullopt}));
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
