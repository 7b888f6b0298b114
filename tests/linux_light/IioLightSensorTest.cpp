#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/AmbientLightSensor.h"
#include "platform/linux/IioLightSensor.h"
#include "platform/linux/LinuxLightSensor.h"
#include "platform/sim/InlineWorkQueue.h"
#include "platform/sim/ScriptedLightSensor.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Files = std::map<std::string, std::string>;

std::optional<double> luxOf(const test::TempDir& tree) {
  auto channel = findIioIlluminance(tree.path());
  if (!channel) return std::nullopt;
  return readIioLux(*channel);
}

TEST(IioIlluminance, ReadsLuxFromTheFilesADriverOffers) {
  struct Case {
    const char* what;
    Files files;
    std::optional<double> lux;
  };
  const Case cases[] = {
      {"processed input", {{"in_illuminance_input", "123.5\n"}}, 123.5},
      {"raw with offset and scale",
       {{"in_illuminance_raw", "100\n"},
        {"in_illuminance_offset", "10"},
        {"in_illuminance_scale", "0.5\n"}},
       55},
      {"raw without scale or offset", {{"in_illuminance_raw", "100\n"}}, 100},
      {"indexed raw with a shared scale",
       {{"in_illuminance0_raw", "40\n"}, {"in_illuminance_scale", "0.25\n"}},
       10},
      {"indexed scale beats the shared one",
       {{"in_illuminance0_raw", "40\n"},
        {"in_illuminance0_scale", "2\n"},
        {"in_illuminance_scale", "0.25\n"}},
       80},
      {"input preferred over raw",
       {{"in_illuminance_raw", "1\n"}, {"in_illuminance_input", "300\n"}},
       300},
      {"not a number", {{"in_illuminance_input", "abc\n"}}, std::nullopt},
      {"trailing junk", {{"in_illuminance_input", "12abc\n"}}, std::nullopt},
      {"negative", {{"in_illuminance_input", "-5\n"}}, std::nullopt},
      {"NaN", {{"in_illuminance_input", "nan\n"}}, std::nullopt},
      {"out of range", {{"in_illuminance_input", "1e400\n"}}, std::nullopt},
      {"negative after offset",
       {{"in_illuminance_raw", "5\n"}, {"in_illuminance_offset", "-10\n"}},
       std::nullopt},
      {"a scale that is not a number",
       {{"in_illuminance_raw", "5\n"}, {"in_illuminance_scale", "x\n"}},
       std::nullopt},
      {"huge but finite", {{"in_illuminance_input", "1e30\n"}}, 1e30},
  };
  for (const auto& c : cases) {
    test::TempDir tree;
    tree.write("iio:device0/name", "als\n");
    for (const auto& [file, text] : c.files) tree.write("iio:device0/" + file, text);
    EXPECT_EQ(luxOf(tree), c.lux) << c.what;
  }
}

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

  AmbientLightSensor ambient(*sensor);
  EXPECT_EQ(ambient.read(), 0.5);

  tree.write("iio:device0/in_illuminance_input", "garbage\n");
  loop.advance(0.5);
  worker.runAll();
  loop.runPending();
  EXPECT_FALSE(sensor->lux());
  EXPECT_FALSE(ambient.read());
  EXPECT_DOUBLE_EQ(ambient.filtered().value(), 0.5);
}

TEST(IioLightSensor, ASlowSensorGetsOneReadAtATime) {
  test::TempDir tree;
  tree.write("iio:device0/in_illuminance_input", "5\n");
  sim::VirtualRunLoop loop;
  sim::ManualWorkQueue worker;
  auto sensor = makeIioLightSensor(loop, worker, tree.path(), 0.5);
  loop.advance(10);
  EXPECT_EQ(worker.pending(), 1u);
  worker.runAll();
  loop.runPending();
  loop.advance(0.5);
  EXPECT_EQ(worker.pending(), 1u);
  sensor.reset();
  worker.runAll();  // a read still queued when the sensor went away
  loop.runPending();
}

TEST(IioLightSensor, AReadThatHangsNeverStallsTheMainThread) {
  test::TempDir tree;
  tree.write("iio:device0/name", "slow-hid\n");
  // A FIFO blocks its reader until someone writes: a HID sensor taking its time.
  auto fifo = tree / "iio:device0/in_illuminance_input";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  sim::VirtualRunLoop loop;
  ThreadWorkQueue worker;
  auto sensor = makeIioLightSensor(loop, worker, tree.path(), 0.5);
  loop.advance(3);  // timers keep running while the worker is stuck
  EXPECT_FALSE(sensor->lux());
  int fd = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "42\n", 3), 3);
  ::close(fd);
  EXPECT_TRUE(loop.runUntil([&] { return sensor->lux() == 42; }, 10));
  // Unblock any further read the timer started before the sensor goes away.
  sensor.reset();
  fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd >= 0) ::close(fd);
}

TEST(IioLightSensor, WithoutADeviceItIsUnavailableAndSaysWhy) {
  test::TempDir tree;
  sim::VirtualRunLoop loop;
  sim::InlineWorkQueue worker;
  auto sensor = makeIioLightSensor(loop, worker, tree.path());
  loop.advance(5);
  EXPECT_FALSE(sensor->isAvailable());
  EXPECT_FALSE(sensor->lux());
  EXPECT_NE(sensor->describe().find("no IIO"), std::string::npos);
  EXPECT_EQ(loop.activeTimers(), 0u);
}

TEST(FirstAvailableLightSensor, UsesThePreferredSensorOnlyWhileItIsThere) {
  auto proxy = std::make_unique<sim::ScriptedLightSensor>();
  auto iio = std::make_unique<sim::ScriptedLightSensor>();
  auto* p = proxy.get();
  proxy->available = false;
  proxy->reading = 5;
  iio->reading = 50;
  auto sensor = firstAvailable(std::move(proxy), std::move(iio));
  EXPECT_EQ(sensor->lux(), 50);
  p->available = true;
  EXPECT_EQ(sensor->lux(), 5);
  p->reading.reset();  // present but without a reading: no fallback to another sensor's value
  EXPECT_FALSE(sensor->lux());
}

}  // namespace
}  // namespace nuvlet::linux_platform
