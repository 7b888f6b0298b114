#include "tests/harness/ddc/DdcMonitor.h"

#include <algorithm>

namespace nuvlet::test::simddc {
namespace {

constexpr std::uint8_t kHostSource = 0x51;
constexpr std::uint8_t kDisplaySource = 0x6e;

std::uint8_t xorOf(std::uint8_t seed, std::span<const std::uint8_t> bytes) {
  for (auto b : bytes) seed ^= b;
  return seed;
}

// A message from the display: its source, length, payload and checksum.
std::vector<std::uint8_t> fromDisplay(std::vector<std::uint8_t> payload) {
  payload.insert(payload.begin(),
                 {kDisplaySource, static_cast<std::uint8_t>(0x80 | payload.size())});
  payload.push_back(xorOf(0x50, payload));
  return payload;
}

std::uint8_t hi(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 0xffff) >> 8); }
std::uint8_t lo(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 0xffff) & 0xff); }

}  // namespace

bool DdcMonitor::write(MonitorState& s, std::uint16_t address, std::span<const std::uint8_t> bytes,
                       double now) {
  if (address == kEdidAddress) {
    if (s.edid.empty()) return false;  // no EEPROM on the bus
    if (!bytes.empty()) edidOffset_ = bytes[0];
    return true;
  }
  if (address != kDdcAddress || s.fault == Fault::Nak) return false;
  ++s.requests;
  reply_.clear();
  // A request the monitor cannot read is dropped, as the standard says.
  if (bytes.size() < 4 || bytes[0] != kHostSource || (bytes[1] & 0x80) == 0) return true;
  std::size_t length = bytes[1] & 0x7f;
  if (bytes.size() < length + 3 || length == 0) return true;
  if (xorOf(0x6e, bytes.first(length + 3)) != 0) return true;
  auto payload = bytes.subspan(2, length);
  switch (payload[0]) {
    case 0x01:  // Get VCP Feature
      if (length < 2) return true;
      if (payload[1] == 0x10) {
        reply_ = fromDisplay({0x02, 0x00, 0x10, 0x00, hi(s.maximum), lo(s.maximum),
                              hi(s.brightness), lo(s.brightness)});
      } else if (payload[1] == 0xdf) {  // the MCCS version: 2.1
        reply_ = fromDisplay({0x02, 0x00, 0xdf, 0x01, 0xff, 0xff, 0x02, 0x01});
      } else {
        reply_ = fromDisplay({0x02, 0x01, payload[1], 0x00, 0, 0, 0, 0});
      }
      break;
    case 0x03:  // Set VCP Feature: no reply
      if (length < 4 || payload[1] != 0x10) return true;
      ++s.sets;
      if (s.fault != Fault::IgnoreSet) {
        s.brightness = std::min((payload[2] << 8) | payload[3], std::max(s.maximum, 0));
      }
      return true;
    case 0xf3: {  // Capabilities Request: 32 bytes at the offset asked for
      if (length < 3) return true;
      std::size_t offset = (payload[1] << 8) | payload[2];
      std::vector<std::uint8_t> r{0xe3, payload[1], payload[2]};
      for (std::size_t i = offset; i < std::min(offset + 32, s.capabilities.size()); ++i) {
        r.push_back(static_cast<std::uint8_t>(s.capabilities[i]));
      }
      reply_ = fromDisplay(std::move(r));
      break;
    }
    default:
      return true;
  }
  if (s.fault == Fault::BadChecksum) reply_.back() ^= 0x5a;
  readyAt_ = now + (s.fault == Fault::Late ? s.lateMs / 1000.0 : 0.0);
  return true;
}

bool DdcMonitor::read(const MonitorState& s, std::uint16_t address, std::span<std::uint8_t> out,
                      double now) {
  if (address == kEdidAddress) {
    if (s.edid.empty()) return false;
    // Past its end a short EEPROM reads as an idle bus.
    for (auto& b : out) b = edidOffset_ < s.edid.size() ? s.edid[edidOffset_] : 0xff, ++edidOffset_;
    return true;
  }
  if (address != kDdcAddress || s.fault == Fault::Nak) return false;
  std::fill(out.begin(), out.end(), 0);
  std::vector<std::uint8_t> message = fromDisplay({});  // the null message
  if (!reply_.empty() && s.fault != Fault::NoReply && now >= readyAt_) {
    message = std::move(reply_);
    reply_.clear();
  }
  std::copy_n(message.begin(), std::min(message.size(), out.size()), out.begin());
  return true;
}

}  // namespace nuvlet::test::simddc
