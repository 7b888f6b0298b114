// Which records the fitter learns from, and what it reads from each.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "nuvlet/learning/AdjustmentLogParser.h"
#include "nuvlet/learning/TelemetryLineParser.h"
#include "nuvlet/records/TelemetryRecorder.h"
#include "tests/support/PinnedZone.h"

namespace nuvlet {
namespace {

using test::PinnedZone;

// The parser's answer, checked against its general reader alone: the quick pass must
// never read a row differently.
std::optional<FitSample> parseBoth(const std::string& line) {
  static TelemetryLineParser parser;
  std::string padded = line + std::string(TelemetryLineParser::kPadding, '1');
  auto quick = parser.parse(padded.data(), line.size());
  EXPECT_EQ(quick, parser.parseWithGeneralReader(padded.data(), line.size()))
      << line.substr(0, 120);
  return quick;
}

constexpr const char* kExampleLine =
    "2026-12-05T12:09:00Z,scroll,0.5000,0.4200,0.8100,0.5000,unknown";

// The bucket the example correction goes to with `columns` after its seven.
std::optional<ContentBucket> bucketWith(const char* columns) {
  const auto s = adjustment_log::parseLine(std::string(kExampleLine) + columns);
  if (!s) return std::nullopt;
  return bucket_key::decode(s->bucketKey);
}

TEST(AdjustmentLogLine, ContentColumnsPutACorrectionInTheBucketItWasMadeIn) {
  PinnedZone zone("America/New_York");
  // A dark editor, warm and tinted, with the lamps on.
  const ContentBucket lit{6, 2, 0, 1, 2, 0, 0}, unlit{6, 2, 0, 1, 2, 0, std::nullopt};
  // Neutral content, as a line of seven columns has; the lamps still count.
  auto plain = bucketWith("").value(), neutral = plain;
  neutral.ambientBin = 0;
  const std::pair<const char*, ContentBucket> cases[] = {
      {",0.9,0.05,0.1,0.2,0.3", lit},
      // Without an ambient level, or an unreadable one, the content still counts.
      {",0.9,0.05,0.1,0.2,", unlit},
      {",0.9,0.05,0.1,0.2,inf", unlit},
      // Any unreadable content column costs the content its bins.
      {",0.9,0.05,,0.2,0.3", neutral},
      {",0.9,0.05,0.1,nan,0.3", neutral},
      {",x,0.05,0.1,0.2,0.3", neutral},
      {",0.9, 0.05,0.1,0.2,0.3", neutral},
      {",0.9,0.05,0.1", plain},
  };
  for (const auto& [columns, bucket] : cases) {
    EXPECT_EQ(bucketWith(columns), bucket) << columns;
  }
}

TEST(TelemetryRow, RowsRecordedUnderAutomaticControlOrWithoutLevelsAreSkipped) {
  // Members after {"brightness":0.5,; of repeated members the later one wins.
  for (const char* used :
       {R"("lum_slow":0.5,"auto_on":false})", R"("lum_slow":0.5,"auto_on":"true"})",
        R"("lum_slow":"x","lum_slow":0.5})", R"("lum_slow":0.5,"auto_on":true,"auto_on":false})",
        R"("lum_slow":0.5,"auto_on":true,"auto\u005fon":false})"}) {
    EXPECT_TRUE(parseBoth(std::string(R"({"brightness":0.5,)") + used)) << used;
  }
  for (const char* skipped : {R"("lum_slow":0.5,"auto_on":true})", R"("lum_slow":null})",
                              R"("lum_slow":0.5,"lum_slow":"x"})", R"("x":1})"}) {
    EXPECT_FALSE(parseBoth(std::string(R"({"brightness":0.5,)") + skipped)) << skipped;
  }
  EXPECT_FALSE(parseBoth(R"({"lum_slow":0.5})"));
  EXPECT_FALSE(parseBoth(R"({"brightness":"0.5","lum_slow":0.5})"));
}

TEST(TelemetryRow, AMegabyteLongRowIsReadOrSkippedByItsContent) {
  const std::string name(1 << 20, 'a');
  EXPECT_TRUE(parseBoth(R"({"brightness":0.5,"lum_slow":0.5,"app_name":")" + name + "\"}"));
  EXPECT_FALSE(parseBoth(R"({"brightness":0.5,"lum_slow":0.5,"app_name":")" + name + "}"));
}

TEST(TelemetryRow, UnusualRowsAreReadAsAStrictJsonReaderReadsThem) {
  // A level written in any number form is learned at the value a correct conversion
  // gives; the forms the quick pass leaves alone go to the general reader.
  for (const char* level :
       {"0.5", "1", "0", "-0", "1e-04", "5E-4", "2.5e+1", "0.30000000000000004", "9007199254740993",
        "0.1844674407370955161652", "123456789012345678901234567890e-30", "1e-22", "1e-23"}) {
    const auto s =
        parseBoth(std::string(R"({"brightness":)") + level + R"(,"lum_slow":0.5,"x":[1e300]})");
    ASSERT_TRUE(s) << level;
    EXPECT_EQ(s->backlight, std::strtod(level, nullptr)) << level;
  }
  const std::string good = R"("brightness":0.5,"lum_slow":0.5)";
  struct Case {
    std::string row;
    bool learned;
  };
  const Case cases[] = {
      {"not json", false},
      {"[" + good + "]", false},
      {"{" + good, false},                        // truncated
      {"{" + good + ",}", false},                 // trailing comma
      {"{" + good + ",\"x\":tru}", false},        // broken literal in an unused member
      {"{" + good + ",\"x\":01}", false},         // leading zero
      {"{" + good + ",\"x\":\"a\\qb\"}", false},  // invalid escape
      {"{" + good + ",\"x\":\"a\tb\"}", false},   // raw control character
      {"{" + good + ",\"x\":[1,2}", false},
      {"{" + good + ",\"x\":\"\\ud800\"}", false},  // lone surrogate
      {"{\"brightness\":1e999,\"lum_slow\":0.5}", false},
      {"{" + good + std::string(",\"x\":\"a\0b\"}", 12), false},  // NUL inside a string
      {"{" + good + ",\"x\":" + std::string(600, '[') + std::string(600, ']') + "}", false},
      {"{" + good + ",\"x\":" + std::string(100000, '[') + "}", false},
      {"{" + good + ",\"x\":[1,2.5e-3,-0,true,false,null,\"\\u00e9\\n\"]}", true},
      {"{" + good + ",\"x\":" + std::string(100, '[') + std::string(100, ']') + "}", true},
      {" {" + good + "} \r", true},
      {"{ " + good + " , \"hour\" : 3 }\t", true},
      {"{" + good +
           ",\"app_name\":\"\xc3\x89"
           "crire \xe2\x80\x94 notes\"}",
       true},
      {"{" + good + ",\"app_name\":\"\xc3\x28\"}", false},  // not UTF-8
      {"{" + good + ",\"app_name\":\"\xc3\"}", false},      // cut short
      {"{" + good + ",\"x\":\xc3\x89}", false},             // outside a string
      {"{" + good + ",\"hour\":13.0,\"hour\":18446744073709551615}", true},
      {"{" + good + ",\"x\":1e-400,\"y\":0.0000000000000000000000000001}", true},
      {"{" + good + ",\"x\":1e309}", false},
      {"{" + good + ",\"x\":[1e-0004,1e-" + std::string(19, '0') + "4]}", false},
      {"{" + good + ",\"x\":-}", false},
      {"{" + good + ",\"x\":1.}", false},
      {"{" + good + ",\"x\":.5}", false},
      {"{" + good + ",\"x\":1e}", false},
      {"{" + good + ",\"x\":0x1}", false},
      {"{" + good + ",\"x\":truex}", false},
      {"{" + good + ",\"x\":nul}", false},
      {"{" + good + ",\"x\" \"y\"}", false},
      {"{" + good + ",,\"x\":1}", false},
      {"{" + good + ",\"x\":[1 2]}", false},
      {"{" + good + ",\"x\":{\"a\":1,}}", false},
      {"{" + good + "}}", false},
      {"{" + good + ",\"x\":\"ab", false},
      // Under automatic control the rest of the row is not read, unless it may name
      // "auto_on" again; in a string value the name counts for nothing.
      {"{" + good + ",\"auto_on\":true, damage", false},
      {"{" + good + ",\"auto_on\":true,\"x\":\"auto_on\"}", false},
      {"{" + good + ",\"auto_on\":true,\"x\":\"a\\u0041\",\"auto_on\":false}", true},
      {"{" + good + ",\"auto_on\":true,\"x\":[{\"auto_on\":false}],\"auto_on\":false}", true},
      {"{" + good + ",\"auto_on\":true,\"auto_on\":false,\"z\":1 damage", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseBoth(c.row).has_value(), c.learned) << c.row.substr(0, 100);
  }
}

TEST(TelemetryRow, RowsAsTheRecorderWritesThemAreLearnedAtTheirLevel) {
  PinnedZone zone("UTC");
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0, 1);
  // Small values come out as "1e-04", the brightest daylight as "1.2e+05".
  auto value = [&] {
    const double x = u(rng);
    return x < 0.2 ? x * 0.001 : (x < 0.25 ? 0.0 : x);
  };
  int learned = 0;
  for (int i = 0; i < 3000; ++i) {
    TelemetrySnapshot snap;
    snap.brightness = value();
    for (auto* level : {&snap.lumSlow, &snap.lumRaw, &snap.sigDark, &snap.sigBright, &snap.chroma,
                        &snap.ambNorm}) {
      *level = value();
    }
    for (int k = 0; k < 16; ++k) snap.lumGrid.push_back(value());
    snap.warmCool = value() - 0.5;
    snap.ambAvailable = i % 3 != 0;
    snap.ambLux = u(rng) * 200000;
    snap.appName = i % 5 == 0 ? "R\xc3\xa9glages \"x\"\\y" : "Editor";
    snap.autoOn = i % 4 == 0;
    const auto row = TelemetryRecorder::formatRow("tick", std::nullopt, std::nullopt, std::nullopt,
                                                  std::nullopt, snap, 1796558400.0 + i * 37.5);
    const auto s = parseBoth(row);
    ASSERT_EQ(s.has_value(), !snap.autoOn) << row;
    if (!s) continue;
    ++learned;
    EXPECT_NEAR(s->backlight, snap.brightness, 0.00005) << row;
    const ContentBucket b = bucket_key::decode(s->bucketKey);
    EXPECT_EQ(b.ambientBin.has_value(), snap.ambAvailable) << row;
  }
  EXPECT_EQ(learned, 2250);
}

}  // namespace
}  // namespace nuvlet
