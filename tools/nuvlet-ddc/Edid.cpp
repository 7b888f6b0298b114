#include "tools/nuvlet-ddc/Edid.h"

#include <algorithm>
#include <cmath>

namespace nuvlet::ddc {

constexpr std::size_t kBlock = 128;

bool isEdidBaseBlock(std::span<const std::uint8_t> edid) {
  static constexpr std::uint8_t kHeader[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
  if (edid.size() < kBlock || !std::equal(kHeader, kHeader + 8, edid.begin())) return false;
  unsigned sum = 0;
  for (std::size_t i = 0; i < kBlock; ++i) sum += edid[i];
  return sum % 256 == 0;
}

std::string edidKey(std::span<const std::uint8_t> edid) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string key;
  for (std::size_t i = 0; i < std::min(edid.size(), kBlock); ++i) {
    key += kHex[edid[i] >> 4];
    key += kHex[edid[i] & 15];
  }
  return key;
}

EdidMatch matchEdid(std::span<const std::uint8_t> target, const std::vector<Bytes>& candidates) {
  EdidMatch match;
  if (!isEdidBaseBlock(target)) return match;
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto& c = candidates[i];
    if (c.size() >= kBlock && std::equal(target.begin(), target.begin() + kBlock, c.begin())) {
      ++match.matches;
      found = i;
    }
  }
  if (match.matches == 1) match.index = found;
  return match;
}

int rawToPercent(int raw, int max) {
  if (max <= 0) return 0;
  return static_cast<int>(std::clamp(std::round(100.0 * raw / max), 0.0, 100.0));
}

int percentToRaw(int percent, int max) {
  if (max <= 0) return 0;
  return static_cast<int>(std::round(std::clamp(percent, 0, 100) * max / 100.0));
}

}  // namespace nuvlet::ddc
