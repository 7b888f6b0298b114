#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/Backlight.h"
#include "app/Commands.h"
#include "nuvlet/control/BrightnessController.h"

namespace nuvlet::cli {
namespace {

// "0.4" or "40%" sets; a leading + or - moves by that much.
struct LevelRequest {
  bool relative = false;
  double value = 0;
};

std::optional<LevelRequest> parseLevel(std::string_view text) {
  LevelRequest r;
  double sign = 1;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    r.relative = true;
    sign = text.front() == '-' ? -1 : 1;
    text.remove_prefix(1);
  }
  double scale = 1;
  if (!text.empty() && text.back() == '%') {
    scale = 0.01;
    text.remove_suffix(1);
  }
  if (text.empty()) return std::nullopt;
  double v = 0;
  auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::fixed);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) {
    return std::nullopt;
  }
  r.value = sign * v * scale;
  return r;
}

int runBacklight(const std::string& request, const std::string& via) {
  std::optional<LevelRequest> level;
  if (!request.empty()) {
    level = parseLevel(request);
    if (!level) {
      std::fprintf(stderr, "nuvlet backlight: %s is not a level (try 0.4, 40%%, +0.1 or -5%%)\n",
                   request.c_str());
      return 2;
    }
  }
  auto choice = via == "sysfs"    ? linux_platform::BacklightWriteChoice::Sysfs
                : via == "logind" ? linux_platform::BacklightWriteChoice::Logind
                                  : linux_platform::BacklightWriteChoice::Automatic;
  auto device = openBuiltInBacklight(choice);
  BrightnessController brightness(*device);
  if (device->info().name.empty()) {
    std::fprintf(stderr, "nuvlet backlight: no backlight: %s\n", device->info().problem.c_str());
    return 1;
  }
  if (level) {
    if (level->relative) {
      brightness.adjust(level->value);
    } else {
      brightness.set(level->value);
    }
  }
  const auto info = device->info();
  const auto now = brightness.read();
  if (!now) {
    std::fprintf(stderr, "nuvlet backlight: %s: %s\n", info.name.c_str(), info.problem.c_str());
    return 1;
  }
  std::printf("%s %.4f (%lld of %lld), writes through %s\n", info.name.c_str(), *now,
              static_cast<long long>(std::llround(*now * static_cast<double>(info.maxRaw))),
              static_cast<long long>(info.maxRaw),
              std::string(writePathName(info.writePath)).c_str());
  // A write that did not take is said out loud: this command exists to check hardware.
  if (level && !info.problem.empty()) {
    std::fprintf(stderr, "nuvlet backlight: %s\n", info.problem.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

void addBacklightCommand(CommandLine& cl) {
  auto* sub = cl.app.add_subcommand(
      "backlight", "Read the built-in backlight, or set it: LEVEL (0.4 or 40%), +D or -D");
  auto request = std::make_shared<std::string>();
  auto via = std::make_shared<std::string>("auto");
  sub->add_option("level", *request, "New level, or a change with + or -");
  sub->add_option("--via", *via, "How to write: auto, sysfs or logind")
      ->check(CLI::IsMember({"auto", "sysfs", "logind"}));
  sub->callback(
      [&cl, request, via] { cl.chosen = [request, via] { return runBacklight(*request, *via); }; });
}

}  // namespace nuvlet::cli
