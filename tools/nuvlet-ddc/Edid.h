#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace nuvlet::ddc {

using Bytes = std::vector<std::uint8_t>;

// The base block: the fixed 8-byte header and a zero byte sum over 128 bytes.
// Extension blocks after it play no part in matching.
bool isEdidBaseBlock(std::span<const std::uint8_t> edid);

// The base block in lower-case hex: the key of a monitor in the bus cache.
std::string edidKey(std::span<const std::uint8_t> edid);

// Which candidate carries the same base block as `target`. Nothing when none does,
// or when two do (identical monitors without serial numbers cannot be told apart,
// and writing to the wrong one is worse than writing to none).
struct EdidMatch {
  std::optional<std::size_t> index;
  std::size_t matches = 0;
};
EdidMatch matchEdid(std::span<const std::uint8_t> target, const std::vector<Bytes>& candidates);

// VCP 0x10 is a raw value from 0 to the monitor's own maximum.
int rawToPercent(int raw, int max);
int percentToRaw(int percent, int max);

}  // namespace nuvlet::ddc
