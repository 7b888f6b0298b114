#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/BacklightDevice.h"

namespace nuvlet::linux_platform {

// One device under <sysfs>/class/backlight.
struct BacklightCandidate {
  std::string name;
  std::string kind;                    // the "type" file; empty when unreadable
  std::optional<std::int64_t> maxRaw;  // nothing unless a positive integer
};

// Every backlight device, best first: firmware, platform, raw, anything else; ties
// by name. Devices without a usable max_brightness come after all usable ones.
// Reads a few small files; never fails (no directory: an empty list).
std::vector<BacklightCandidate> listBacklights(const std::filesystem::path& sysfsRoot);

// How writes reach the device. Automatic writes the brightness file when it is
// writable for us and goes through logind otherwise; the others force one path, for
// trying it on real hardware.
enum class BacklightWriteChoice { Automatic, Sysfs, Logind };

struct SysfsBacklightOptions {
  std::filesystem::path sysfsRoot = "/sys";
  // The settings' "backlightDevice"; empty to take the best device by type.
  std::string deviceName;
  BacklightWriteChoice write = BacklightWriteChoice::Automatic;
  // Longest wait for logind's answer to a write.
  int busTimeoutMs = 500;
};

// The built-in backlight through sysfs (and logind's Session.SetBrightness on the
// system bus, whose address comes from the environment as for any D-Bus client).
// The device and the write path are chosen here, once. Reads re-read the files, so
// a device that goes away and comes back recovers; a raw value outside
// [0, max_brightness], garbage or a max_brightness of 0 reads as nothing. Writes
// never go below raw step 1: on some panels 0 switches the light off altogether.
std::unique_ptr<BacklightDevice> makeSysfsBacklight(SysfsBacklightOptions options);

}  // namespace nuvlet::linux_platform
