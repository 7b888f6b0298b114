#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "nuvlet/learning/ContentBucket.h"

namespace nuvlet {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

ContentBucket bucketFor(double lum, ContentSignature sig = {}, std::optional<double> amb = {},
                        int hour = 12) {
  return ContentBucket::from(lum, sig, amb, hour);
}

TEST(ContentBucket, LuminanceBandsTruncateAndClamp) {
  struct Case {
    double lum;
    std::int64_t bin;
  };
  for (auto [lum, bin] :
       {Case{1.0, 7}, Case{0.125, 1}, Case{0.1249, 0}, Case{-0.3, 0}, Case{0.999, 7}, Case{7.0, 7},
        Case{kNaN, 0}, Case{kInf, 7}, Case{-kInf, 0}}) {
    EXPECT_EQ(bucketFor(lum).lumBin, bin) << lum;
  }
}

TEST(ContentBucket, SignatureThresholds) {
  struct Case {
    ContentSignature sig;
    std::int64_t dark, bright, chroma, warm;
  };
  const Case cases[] = {
      {{1.0, 1.0, 0, 0, 0}, 2, 2, 0, 1},
      {{0.33, 0.34, 0, 0, 0}, 0, 1, 0, 1},
      {{0, 0, 0, 0.06, -0.04}, 0, 0, 1, 1},
      {{0, 0, 0, 0.18, 0.04}, 0, 0, 2, 1},
      {{0, 0, 0, 0.0599, 0.0401}, 0, 0, 0, 2},
      {{0, 0, 0, 0.1799, -0.0401}, 0, 0, 1, 0},
      // A mean-only signature (what the fitter builds from a log row).
      {ContentSignature::neutral(0.7), 0, 0, 0, 1},
      // Non-finite parts: NaN counts as 0, infinities land on the outer bins.
      {{kNaN, kInf, kNaN, kNaN, kNaN}, 0, 2, 0, 1},
      {{-kInf, -kInf, 0, kInf, -kInf}, 0, 0, 2, 0},
  };
  for (const auto& c : cases) {
    auto b = bucketFor(0.5, c.sig);
    EXPECT_EQ(b.darkBin, c.dark) << c.sig.pctDark;
    EXPECT_EQ(b.brightBin, c.bright) << c.sig.pctBright;
    EXPECT_EQ(b.chromaBin, c.chroma) << c.sig.chroma;
    EXPECT_EQ(b.warmBin, c.warm) << c.sig.warmCool;
  }
}

TEST(ContentBucket, TimeOfDayBins) {
  struct Case {
    int hour;
    std::int64_t bin;
  };
  for (auto [hour, bin] :
       {Case{5, 0}, Case{10, 0}, Case{11, 1}, Case{16, 1}, Case{17, 2}, Case{21, 2}, Case{22, 3},
        Case{23, 3}, Case{0, 3}, Case{4, 3}, Case{24, 3}, Case{-1, 3}}) {
    EXPECT_EQ(ContentBucket::todBinFor(hour), bin) << hour;
    EXPECT_EQ(bucketFor(0.5, {}, {}, hour).todBin, bin) << hour;
  }
}

TEST(ContentBucket, AbsentAmbientIsItsOwnBucket) {
  auto none = bucketFor(0.5);
  auto zero = bucketFor(0.5, {}, 0.0);
  EXPECT_FALSE(none.ambientBin.has_value());
  EXPECT_EQ(zero.ambientBin, 0);
  EXPECT_NE(none, zero);
  EXPECT_EQ(bucketFor(0.5, {}, 1.0).ambientBin, 2);
  EXPECT_EQ(bucketFor(0.5, {}, kInf).ambientBin, 2);
  // A NaN reading carries no information: treated as no reading.
  EXPECT_FALSE(bucketFor(0.5, {}, kNaN).ambientBin.has_value());

  std::unordered_set<ContentBucket, ContentBucketHash> set{none, zero, bucketFor(0.5, {}, 0.1)};
  EXPECT_EQ(set.size(), 2u);  // 0.0 and 0.1 share ambient bin 0
}

TEST(ContentBucket, JsonRoundTripAndStrictDecode) {
  ContentBucket b{6, 0, 2, 0, 1, 1, std::nullopt};
  EXPECT_EQ(b.toJson().dump(),
            R"({"lumBin":6,"darkBin":0,"brightBin":2,"chromaBin":0,"warmBin":1,"todBin":1})");
  EXPECT_EQ(ContentBucket::fromJson(nlohmann::json::parse(b.toJson().dump())), b);

  b.ambientBin = 2;
  EXPECT_EQ(ContentBucket::fromJson(nlohmann::json::parse(b.toJson().dump())), b);

  auto parse = [](const char* text) {
    return ContentBucket::fromJson(nlohmann::json::parse(text));
  };
  // The members of one bucket, with `lum` for lumBin and `extra` after the rest.
  auto with = [&](const char* lum, const char* extra = "") {
    return parse(
        (std::string(R"({"darkBin":0,"brightBin":0,"chromaBin":0,"warmBin":1,"todBin":3)") +
         (*lum ? std::string(R"(,"lumBin":)") + lum : "") + extra + "}")
            .c_str());
  };
  auto nullAmbient = with("1", R"(,"ambientBin":null)");
  ASSERT_TRUE(nullAmbient);
  EXPECT_FALSE(nullAmbient->ambientBin);
  // Integral floats are integers; fractions, strings and missing members are not.
  EXPECT_TRUE(with("1.0"));
  for (const char* lum : {"1.5", "\"1\"", "", "1e300"}) EXPECT_FALSE(with(lum)) << lum;
  EXPECT_FALSE(with("1", R"(,"ambientBin":"x")"));
  EXPECT_FALSE(parse("[1,2,3]"));
}

TEST(ContentBucket, LabelsOutsideTheTablesAreQuestionMarks) {
  EXPECT_EQ(ContentBucket::lumLabel(7), "brightest");
  EXPECT_EQ(ContentBucket::lumLabel(8), "?");
  EXPECT_EQ(ContentBucket::lumLabel(-1), "?");
  EXPECT_EQ(ContentBucket::chromaLabel(3), "?");
  EXPECT_EQ(ContentBucket::warmLabel(3), "?");
  EXPECT_EQ(ContentBucket::todLabel(4), "?");
}

}  // namespace
}  // namespace nuvlet
