#include <gtest/gtest.h>

#include <cmath>

#include "nuvlet/control/BrightnessController.h"
#include "platform/sim/MemoryBacklight.h"

namespace nuvlet {
namespace {

TEST(BrightnessController, ClampsWhatItWritesAndReturnsIt) {
  struct Case {
    double start;
    bool adjust;
    double value, expected;
  };
  const Case cases[] = {
      {0.5, false, 1.7, 1.0}, {0.5, false, -0.2, 0.0},  {0.5, false, 0.42, 0.42},
      {0.95, true, 0.1, 1.0}, {0.03, true, -0.05, 0.0}, {0.4, true, 0.25, 0.65},
  };
  for (const auto& c : cases) {
    sim::MemoryBacklight device(c.start);
    BrightnessController brightness(device);
    const double result = c.adjust ? brightness.adjust(c.value) : brightness.set(c.value);
    EXPECT_DOUBLE_EQ(result, c.expected) << c.start << (c.adjust ? " + " : " := ") << c.value;
    ASSERT_EQ(device.writes.size(), 1u);
    EXPECT_DOUBLE_EQ(device.writes[0], c.expected);
  }
}

TEST(BrightnessController, FailuresYieldZeroAndGoUnnoticed) {
  sim::MemoryBacklight device(0.6);
  BrightnessController brightness(device);
  device.failReads = true;
  EXPECT_EQ(brightness.get(), 0.0);
  EXPECT_FALSE(brightness.read().has_value());
  device.failReads = false;
  device.failWrites = true;
  EXPECT_DOUBLE_EQ(brightness.set(0.3), 0.3);
  EXPECT_DOUBLE_EQ(brightness.get(), 0.6);
}

TEST(BrightnessController, NotANumberWritesNothing) {
  sim::MemoryBacklight device(0.6);
  BrightnessController brightness(device);
  EXPECT_DOUBLE_EQ(brightness.set(std::nan("")), 0.6);
  EXPECT_DOUBLE_EQ(brightness.adjust(std::nan("")), 0.6);
  EXPECT_TRUE(device.writes.empty());
}

}  // namespace
}  // namespace nuvlet
