#include "app/Backlight.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "nuvlet/platform/Clock.h"
#include "nuvlet/platform/Paths.h"
#include "platform/linux/desktop/JsonFileDefaults.h"
#include "platform/linux/session/SysfsRoot.h"

namespace nuvlet::cli {
namespace {

std::string describeLevel(const BacklightInfo& info, std::optional<double> level) {
  if (!level) return "level now unreadable";
  char buf[96];
  std::snprintf(buf, sizeof buf, "level now %.4f (%lld of %lld)", *level,
                static_cast<long long>(std::llround(*level * static_cast<double>(info.maxRaw))),
                static_cast<long long>(info.maxRaw));
  return buf;
}

std::vector<std::string> backlightReport() {
  const auto root = linux_platform::sysfsRootFromEnvironment();
  auto device = openBuiltInBacklight();
  const auto level = device->read();
  const auto info = device->info();
  std::vector<std::string> lines;
  if (info.name.empty()) {
    lines.push_back("none: " + info.problem);
    return lines;
  }
  lines.push_back(info.name + " (" + (info.kind.empty() ? "unknown type" : info.kind) + ") in " +
                  (root / "class/backlight" / info.name).string());
  lines.push_back("range 0 to " + std::to_string(info.maxRaw) + ", " + describeLevel(info, level));
  switch (info.writePath) {
    case BacklightWritePath::Sysfs:
      lines.emplace_back("writes to sysfs (the brightness file is writable)");
      break;
    case BacklightWritePath::Logind:
      lines.emplace_back("writes through logind (Session.SetBrightness on the system bus)");
      break;
    default:
      lines.emplace_back("cannot write");
      break;
  }
  if (!info.problem.empty()) lines.push_back("problem: " + info.problem);
  for (const auto& other : linux_platform::listBacklights(root)) {
    if (other.name == info.name) continue;
    std::string line =
        "also found " + other.name + " (" + (other.kind.empty() ? "unknown type" : other.kind);
    line += other.maxRaw ? ", max " + std::to_string(*other.maxRaw) : ", no usable max_brightness";
    lines.push_back(line + ")");
  }
  return lines;
}

}  // namespace

std::unique_ptr<BacklightDevice> openBuiltInBacklight(linux_platform::BacklightWriteChoice write) {
  SystemClock clock;
  const auto settings =
      linux_platform::makeJsonFileDefaults(Paths::fromEnvironment().settingsFile(), clock);
  linux_platform::SysfsBacklightOptions options;
  options.sysfsRoot = linux_platform::sysfsRootFromEnvironment();
  options.deviceName = settings->stringOr("backlightDevice", "");
  options.write = write;
  return linux_platform::makeSysfsBacklight(std::move(options));
}

DeviceSection backlightSection() { return DeviceSection{"Backlight", backlightReport}; }

}  // namespace nuvlet::cli
