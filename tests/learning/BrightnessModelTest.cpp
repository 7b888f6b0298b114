#include <gtest/gtest.h>

#include <limits>

#include "nuvlet/learning/BrightnessModel.h"
#include "tests/support/TempDir.h"

namespace nuvlet {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A bucket in the middle of every range at luminance 0.5, midday, no ambient reading.
ContentBucket midBucket() {
  return ContentBucket::from(0.5, ContentSignature::neutral(0.5), {}, 12);
}

double lookup(const BrightnessModel& m, double lum = 0.5, std::optional<double> amb = {},
              int hour = 12) {
  return m.preferredBacklight(lum, ContentSignature::neutral(lum), amb, hour);
}

// The level for the middle bucket (at midday, without an ambient reading unless a case
// says otherwise): the prior's alone, a bucket's own value trusted by its count, or its
// neighbours' weighed by distance, within the clamp.
TEST(BrightnessModel, OwnValueAndNeighboursByConfidenceWithinFloorAndClamp) {
  auto near = midBucket(), far = midBucket();
  near.lumBin += 1;
  far.lumBin -= 2;
  const auto morning = ContentBucket::from(0.5, ContentSignature::neutral(0.5), {}, 8);
  auto lit = ContentBucket::from(0.5, ContentSignature::neutral(0.5), 0.5, 12);  // ambient bin 1
  lit.ambientBin = 2;
  struct Case {
    BrightnessModel::Table table;
    double level;
    std::optional<double> ambient = {};
    int hour = 12;
  };
  const Case cases[] = {
      {{}, 0.6},
      {{{midBucket(), {0.8, 4}}}, 0.7},    // count 4, no neighbours: half own, half prior
      {{{midBucket(), {0.9, 8}}}, 0.9},    // fully trusted: its own value, above the prior
      {{{midBucket(), {0.1, 20}}}, 0.48},  // far below the prior: raised to prior - 0.12
      {{{midBucket(), {0.9, 0}}}, 0.6},    // count 0 gives its own value no weight
      {{{midBucket(), {1.7, 9}}}, 1.0},
      // Only neighbours: one band away (weight 0.5) and two bands away (weight 0.5).
      {{{near, {0.8, 4}}, {far, {0.4, 16}}}, 0.6},
      {{{morning, {0.95, 16}}}, 0.6, {}, 23},  // night (3) never borrows from morning (0)
      {{{morning, {0.95, 16}}}, 0.95},         // day (1) does: one step away
      // With an ambient bin, only neighbours that also have one count; the bucket
      // without one ignores those that do.
      {{{near, {0.95, 16}}}, 0.6, 0.5},
      {{{near, {0.95, 16}}, {lit, {0.9, 8}}}, 0.9, 0.5},
      {{{near, {0.95, 16}}, {lit, {0.9, 8}}}, 0.95},
  };
  for (const Case& c : cases) {
    auto model = BrightnessModel::empty();
    model.table = c.table;
    EXPECT_DOUBLE_EQ(lookup(model, 0.5, c.ambient, c.hour), c.level) << c.level;
    // Non-finite luminance never fails and stays within the clamp.
    const double r =
        model.preferredBacklight(kNaN, ContentSignature{kNaN, kNaN, kNaN, kNaN, kNaN}, kNaN, -7);
    EXPECT_TRUE(r >= 0.05 && r <= 1.0) << r;
  }
  EXPECT_DOUBLE_EQ(lookup(BrightnessModel::empty(), 0.05), 0.75);

  auto zeros = BrightnessModel::empty();
  zeros.prior = LuminancePrior::defaultRamp(0, 0);
  EXPECT_DOUBLE_EQ(lookup(zeros), 0.05);
}

class ModelFile : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::filesystem::path file = dir / "data/nuvlet/brightness_model_v2.json";
};

TEST_F(ModelFile, RoundTripKeepsEveryValue) {
  BrightnessModel model;
  model.prior = LuminancePrior{{0.8, 0.74, 0.7, 0.66, 0.6, 0.55, 0.5, 0.45}};
  model.fittedAt = 786000000.5;
  model.observationCount = 57;
  model.table[ContentBucket{6, 0, 2, 0, 1, 1, std::nullopt}] = {0.42, 12};
  model.table[ContentBucket{1, 2, 0, 1, 0, 3, 2}] = {0.1 + 0.2, 3};         // not a short decimal
  model.table[ContentBucket{12, 0, 0, 0, 0, 0, std::nullopt}] = {0.5, -1};  // hand-edited
  ASSERT_TRUE(model.save(file));
  EXPECT_EQ(BrightnessModel::load(file), model);

  EXPECT_EQ(static_cast<int>(std::filesystem::status(file).permissions()), 0600);
  EXPECT_EQ(static_cast<int>(std::filesystem::status(file.parent_path()).permissions()), 0700);

  auto empty = BrightnessModel::empty();
  ASSERT_TRUE(empty.save(file));
  EXPECT_NE(test::readText(file).find("-63114076800"), std::string::npos);
  EXPECT_EQ(BrightnessModel::load(file), empty);
}

TEST_F(ModelFile, DamagedFilesLoadNothing) {
  const std::string good =
      R"({"table":[],"prior":{"bByLumBin":[0.5]},"fittedAt":1,"observationCount":2})";
  ASSERT_TRUE(BrightnessModel::decode(good));
  const std::string bad[] = {
      "",
      "{",
      "[]",
      R"({"table":[],"prior":{"bByLumBin":[0.5]},"fittedAt":1})",
      R"({"table":[],"prior":{"bByLumBin":[0.5]},"fittedAt":"1","observationCount":2})",
      R"({"table":[],"prior":{"bByLumBin":["x"]},"fittedAt":1,"observationCount":2})",
      R"({"table":[],"prior":{},"fittedAt":1,"observationCount":2})",
      R"({"table":[],"prior":{"bByLumBin":[0.5]},"fittedAt":1,"observationCount":2.5})",
      R"({"table":[{"lumBin":1,"darkBin":0,"brightBin":0,"chromaBin":0,"warmBin":1,"todBin":1}],"prior":{"bByLumBin":[]},"fittedAt":1,"observationCount":2})",
      R"({"table":[{"lumBin":1,"darkBin":0,"brightBin":0,"chromaBin":0,"warmBin":1,"todBin":1},{"preferredB":0.5}],"prior":{"bByLumBin":[]},"fittedAt":1,"observationCount":2})",
      R"({"table":[],"prior":{"bByLumBin":[1e999]},"fittedAt":1,"observationCount":2})",
      "{\"table\":[],\"prior\":{\"bByLumBin\":[]},\"fittedAt\":1,\"observationCount\":2,\"x\":"
      "\"\xff\xfe\"}",
      std::string(200000, '[') + std::string(200000, ']'),
  };
  for (const auto& text : bad) {
    EXPECT_FALSE(BrightnessModel::decode(text)) << text.substr(0, 120);
    dir.write("bad.json", text);
    EXPECT_FALSE(BrightnessModel::load(dir / "bad.json"));
  }
  EXPECT_FALSE(BrightnessModel::load(dir / "missing.json"));
  EXPECT_FALSE(BrightnessModel::load(dir.path()));  // a directory
}

TEST_F(ModelFile, NonFiniteModelWritesNothing) {
  auto model = BrightnessModel::empty();
  model.observationCount = 1;
  ASSERT_TRUE(model.save(file));
  const auto before = test::readText(file);

  auto broken = model;
  broken.table[midBucket()] = {kNaN, 3};
  EXPECT_FALSE(broken.save(file));
  auto brokenPrior = model;
  brokenPrior.prior.bByLumBin[3] = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(brokenPrior.save(file));
  EXPECT_EQ(test::readText(file), before);
  // No temporary file is left behind either.
  EXPECT_EQ(std::ranges::distance(std::filesystem::directory_iterator(file.parent_path())), 1);
}

}  // namespace
}  // namespace nuvlet
