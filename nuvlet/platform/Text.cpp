#include "nuvlet/platform/Text.h"

#include <cstdint>

namespace nuvlet::text {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is invalid.
std::size_t validSequenceLength(std::string_view s, std::size_t i) {
  auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  std::uint8_t b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return len;
}

}  // namespace

std::string repairUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size();) {
    std::size_t len = validSequenceLength(in, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(in.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string csvField(std::string_view in, std::string_view ifEmpty) {
  std::string out = repairUtf8(in);
  for (char& c : out) {
    auto u = static_cast<unsigned char>(c);
    if (c == ',' || u < 0x20 || u == 0x7F) c = '_';
  }
  if (out.empty()) out = ifEmpty;
  return out;
}

}  // namespace nuvlet::text
