#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "nuvlet/sensing/AmbientLightSensor.h"
#include "platform/sim/ScriptedLightSensor.h"

namespace nuvlet {
namespace {

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
