#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/nuvlet-ddc/Edid.h"

namespace nuvlet::ddc {

struct DdcMonitor {
  int bus = -1;
  Bytes edid;  // the base block libddcutil read
  std::string model;
  bool answers = true;  // false: the monitor's EDID reads but it does not speak DDC/CI
  void* ref = nullptr;  // libddcutil's display reference, owned by the library
};

// DDC/CI through libddcutil, on the calling thread, touching VCP feature 0x10 only.
// The library's own messages are switched off for this thread.
class Ddc {
 public:
  Ddc();

  // Every monitor with an EDID on an I2C bus, whether or not it answers DDC/CI (full
  // detection: slow).
  std::vector<DdcMonitor> detect();
  // The monitor on one I2C bus, when it answers there.
  std::optional<DdcMonitor> onBus(int bus);

  // Brightness in whole percent of the monitor's maximum.
  bool getLuminance(const DdcMonitor& monitor, int& percent, std::string& why);
  bool setLuminance(const DdcMonitor& monitor, int percent, std::string& why);
};

// Whether the kernel offers any I2C character device (the i2c-dev module).
bool hasI2cDevices();

}  // namespace nuvlet::ddc
