#include "platform/linux/display/DrmConnectors.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace nuvlet::linux_platform {
namespace {

std::string readFile(const std::filesystem::path& file, std::size_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string bytes;
  bytes.resize(limit);
  in.read(bytes.data(), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> validEdid(std::string_view bytes) {
  static constexpr unsigned char kHeader[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
  if (bytes.size() < 128 || bytes.size() % 128 != 0) return {};
  if (!std::equal(std::begin(kHeader), std::end(kHeader), bytes.begin(),
                  [](unsigned char a, char b) { return a == static_cast<unsigned char>(b); })) {
    return {};
  }
  return {bytes.begin(), bytes.end()};
}

std::vector<DrmConnector> readDrmConnectors(const std::filesystem::path& sysfsRoot) {
  std::vector<DrmConnector> out;
  std::error_code ec;
  std::filesystem::directory_iterator it(sysfsRoot / "class/drm", ec);
  if (ec) return out;
  for (const auto& entry : it) {
    const std::string dir = entry.path().filename().string();
    // Connectors are "cardN-NAME"; "cardN" itself and "renderD128" are devices.
    const auto dash = dir.find('-');
    if (dir.rfind("card", 0) != 0 || dash == std::string::npos || dash + 1 == dir.size()) continue;
    DrmConnector c;
    c.card = dir.substr(0, dash);
    c.name = dir.substr(dash + 1);
    std::string status = readFile(entry.path() / "status", 64);
    c.connected = status.rfind("connected", 0) == 0;
    // An EDID has at most 256 blocks; a bigger file is not one.
    c.edid = validEdid(readFile(entry.path() / "edid", 256 * 128 + 1));
    out.push_back(std::move(c));
  }
  std::sort(out.begin(), out.end(),
            [](const DrmConnector& a, const DrmConnector& b) { return a.name < b.name; });
  return out;
}

bool hasBacklightDevice(const std::filesystem::path& sysfsRoot) {
  std::error_code ec;
  std::filesystem::directory_iterator it(sysfsRoot / "class/backlight", ec);
  return !ec && it != std::filesystem::directory_iterator();
}

DisplayID waylandDisplayId(std::string_view connector, const std::vector<std::uint8_t>& edid) {
  std::uint32_t h = 2166136261u;
  auto mix = [&h](std::uint8_t byte) {
    h ^= byte;
    h *= 16777619u;
  };
  for (char ch : connector) mix(static_cast<std::uint8_t>(ch));
  mix(0);
  for (std::uint8_t byte : edid) mix(byte);
  return h == 0 ? 1 : h;
}

bool isPanelConnectorName(std::string_view name) {
  for (std::string_view prefix : {"eDP", "LVDS", "DSI"}) {
    if (name.substr(0, prefix.size()) == prefix) return true;
  }
  return false;
}

}  // namespace nuvlet::linux_platform
