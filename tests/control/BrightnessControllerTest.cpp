#include <gtest/gtest.h>

#include <cmath>

#include "nuvlet/control/BrightnessController.h"
#include "platform/sim/MemoryBacklight.h"

namespace nuvlet {
namespace {

TEST(BrightnessController, NotANumberWritesNothing) {
  sim::MemoryBacklight device(0.6);
  BrightnessController brightness(device);
  EXPECT_DOUBLE_EQ(brightness.set(std::nan("")), 0.6);
  EXPECT_DOUBLE_EQ(brightness.adjust(std::nan("")), 0.6);
  EXPECT_TRUE(device.writes.empty());
}

}  // namespace
}  // namespace nuvlet
