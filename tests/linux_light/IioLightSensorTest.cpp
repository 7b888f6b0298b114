#include <gtest/gtest.h>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "platform/linux/devices/IioLightSensor.h"
#include "platform/sim/InlineWorkQueue.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/SlowSensorFile.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

TEST(IioIlluminance, FindsTheFirstDeviceWithIlluminanceAndSaysWhyWhenNone) {
  test::TempDir tree;
  tree.write("iio:device0/in_accel_x_raw", "1\n");
  tree.write("iio:device1/in_intensity_both_raw", "5\n");
  std::string why;
  EXPECT_FALSE(findIioIlluminance(tree.path(), &why));
  EXPECT_NE(why.find("intensity only"), std::string::npos) << why;

  tree.write("iio:device2/name", "acpi-als\n");
  tree.write("iio:device2/in_illuminance_input", "9\n");
  auto found = findIioIlluminance(tree.path());
  ASSERT_TRUE(found);
  EXPECT_EQ(found->device.filename(), "iio:device2");
  EXPECT_EQ(found->name, "acpi-als");

  test::TempDir empty;
  EXPECT_FALSE(findIioIlluminance(empty / "missing", &why));
  EXPECT_NE(why.find("no IIO illuminance"), std::string::npos) << why;
}

TEST(IioLightSensor, ReadsInTheBackgroundOnATimerAndKeepsTheNewest) {
  test::TempDir tree;
  tree.write("iio:device0/in_illuminance_input", "999\n");
  sim::VirtualRunLoop loop;
  sim::ManualWorkQueue worker;
  auto sensor = makeIioLightSensor(loop, worker, tree.path(), 0.5);
  EXPECT_TRUE(sensor->isAvailable());
  EXPECT_FALSE(sensor->lux());  // nothing read yet: the main thread never reads sysfs
  worker.runAll();
  loop.runPending();
  EXPECT_EQ(sensor->lux(), 999);

  tree.write("iio:device0/in_illuminance_input", "garbage\n");
  loop.advance(0.5);
  worker.runAll();
  loop.runPending();
  EXPECT_FALSE(sensor->lux());
}

TEST(IioLightSensor, AReadThatHangsNeverStallsTheMainThread) {
  test::TempDir tree;
  tree.write("iio:device0/name", "slow-hid\n");
  sim::VirtualRunLoop loop;
  ThreadWorkQueue worker;
  // Let go after the sensor and before its worker, which would wait for a read in flight.
  test::SlowSensorFile input(tree / "iio:device0/in_illuminance_input");
  ASSERT_TRUE(input.made());
  auto sensor = makeIioLightSensor(loop, worker, tree.path(), 0.5);
  loop.advance(3);  // timers keep running while the worker is stuck
  EXPECT_FALSE(sensor->lux());
  ASSERT_TRUE(input.answer("42\n"));
  EXPECT_TRUE(loop.runUntil([&] { return sensor->lux() == 42; }, 10));
}

}  // namespace
}  // namespace nuvlet::linux_platform
