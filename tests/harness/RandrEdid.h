#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nuvlet::test {

// Plays a monitor on an X server's first RandR output (Xvfb's has none): the output's
// EDID property, as a driver sets it from the monitor. The output's id, or 0 when the
// server refused.
std::uint32_t giveFirstOutputEdid(const std::string& display,
                                  const std::vector<std::uint8_t>& edid);

}  // namespace nuvlet::test
