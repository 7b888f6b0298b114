#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tests/harness/ddc/MonitorState.h"

namespace nuvlet::test::simddc {

// The monitor's side of one open I2C bus, as the DDC/CI standard describes it: the
// EDID EEPROM at 0x50 and the DDC/CI address 0x37, with Get VCP Feature, Set VCP
// Feature and Capabilities requests, XOR checksums (0x6E for requests, 0x50 for
// replies), and the null message when there is nothing to say yet.
class DdcMonitor {
 public:
  static constexpr std::uint16_t kEdidAddress = 0x50;
  static constexpr std::uint16_t kDdcAddress = 0x37;

  // The host wrote `bytes` to `address`; false: nothing acknowledged.
  bool write(MonitorState& s, std::uint16_t address, std::span<const std::uint8_t> bytes,
             double now);
  // The host reads `out.size()` bytes from `address`; false: nothing acknowledged.
  bool read(const MonitorState& s, std::uint16_t address, std::span<std::uint8_t> out, double now);

 private:
  std::size_t edidOffset_ = 0;
  std::vector<std::uint8_t> reply_;
  double readyAt_ = 0;
};

}  // namespace nuvlet::test::simddc
