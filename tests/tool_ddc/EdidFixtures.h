#pragma once

#include <cstdint>

#include "tools/nuvlet-ddc/Edid.h"

namespace nuvlet::test {

// A well-formed EDID base block; `serial` tells monitors of one model apart.
// With `extensions`, that many further 128-byte blocks follow, as RandR reports
// them; the base block (which libddcutil reports alone) stays the same.
inline ddc::Bytes makeEdid(std::uint32_t serial, int extensions = 0) {
  ddc::Bytes e(128, 0);
  const std::uint8_t header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
  for (int i = 0; i < 8; ++i) e[i] = header[i];
  e[8] = 0x10;  // manufacturer "DEL"-like id, product 0x4321
  e[9] = 0xac;
  e[10] = 0x21;
  e[11] = 0x43;
  for (int i = 0; i < 4; ++i) e[12 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
  e[18] = 1;
  e[19] = 4;
  for (int i = 20; i < 127; ++i) e[i] = static_cast<std::uint8_t>(i * 7);
  e[126] = 1;  // one extension block, whether or not it is appended
  unsigned sum = 0;
  for (int i = 0; i < 127; ++i) sum += e[i];
  e[127] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
  for (int x = 0; x < extensions; ++x) {
    for (int i = 0; i < 128; ++i) e.push_back(static_cast<std::uint8_t>(x + i));
  }
  return e;
}

}  // namespace nuvlet::test
