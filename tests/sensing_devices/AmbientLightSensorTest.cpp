#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nuvlet/sensing/AmbientLightSensor.h"
#include "platform/sim/ScriptedLightSensor.h"

namespace nuvlet {
namespace {

TEST(AmbientLightSensor, NormalisesOnALogScaleClampedToOne) {
  struct Case {
    double lux;
    double norm;
  };
  for (auto c : {Case{0, 0}, Case{9, 1.0 / 6}, Case{99, 2.0 / 6}, Case{999, 0.5}, Case{999999, 1},
                 Case{1e6, 1}, Case{1e300, 1}, Case{0.5, std::log10(1.5) / 6}}) {
    sim::ScriptedLightSensor device;
    device.reading = c.lux;
    AmbientLightSensor sensor(device);
    auto sample = sensor.sampleRaw();
    ASSERT_TRUE(sample) << c.lux;
    EXPECT_DOUBLE_EQ(sample->norm, c.norm) << c.lux;
    EXPECT_DOUBLE_EQ(sample->lux, c.lux);
  }
}

TEST(AmbientLightSensor, FirstReadSeedsTheFilterThenBlendsSlowlyButSampleRawDoesNot) {
  sim::ScriptedLightSensor device;
  AmbientLightSensor sensor(device);
  device.reading = 0;
  EXPECT_EQ(sensor.read(), 0.0);
  device.reading = 999;
  EXPECT_DOUBLE_EQ(sensor.read().value(), 0.5 * 0.0033);

  AmbientLightSensor other(device);
  ASSERT_TRUE(other.read());
  device.reading = 9;
  ASSERT_TRUE(other.sampleRaw());
  EXPECT_EQ(other.lastRawLux(), 9);
  EXPECT_DOUBLE_EQ(other.lastInstantNorm(), 1.0 / 6);
  EXPECT_DOUBLE_EQ(other.filtered().value(), 0.5);
  device.reading = 999;
  EXPECT_DOUBLE_EQ(other.read().value(), 0.5);
}

TEST(AmbientLightSensor, WithoutASensorNothingIsReadAndNothingRemembered) {
  sim::ScriptedLightSensor device;
  device.available = false;
  device.reading = 100;
  AmbientLightSensor sensor(device);
  EXPECT_FALSE(sensor.isAvailable());
  EXPECT_FALSE(sensor.read());
  EXPECT_FALSE(sensor.sampleRaw());
  EXPECT_EQ(sensor.lastRawLux(), -1.0);
  EXPECT_EQ(sensor.lastInstantNorm(), -1.0);

  // One that appears later is used.
  device.available = true;
  device.reading = 999;
  EXPECT_TRUE(sensor.isAvailable());
  EXPECT_EQ(sensor.read(), 0.5);
}

TEST(AmbientLightSensor, BrokenReadingsYieldNothingAndKeepTheLastGoodState) {
  sim::ScriptedLightSensor device;
  AmbientLightSensor sensor(device);
  device.reading = 99;
  ASSERT_TRUE(sensor.read());
  for (double bad : {-1.0, -0.0001, std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    device.reading = bad;
    EXPECT_FALSE(sensor.read()) << bad;
    EXPECT_FALSE(sensor.sampleRaw()) << bad;
    EXPECT_EQ(sensor.lastRawLux(), 99) << bad;
    EXPECT_DOUBLE_EQ(sensor.filtered().value(), 2.0 / 6) << bad;
  }
  device.reading.reset();  // a failed device read
  EXPECT_FALSE(sensor.read());
  EXPECT_DOUBLE_EQ(sensor.lastInstantNorm(), 2.0 / 6);
}

}  // namespace
}  // namespace nuvlet
