#pragma once
// Plays an XSETTINGS manager (xfsettingsd, gsd-xsettings): the _XSETTINGS_SETTINGS
// property it publishes on the X server, in the byte order it chooses.
#include <cstdint>
#include <string>

namespace nuvlet::test {

// An integer, a colour and the string setting Net/ThemeName = `theme`, most significant
// byte first when `msb`. The count of settings is at bytes 8-11, the first type at 12.
inline std::string xsettingsBlob(bool msb, const std::string& theme) {
  std::string out;
  auto card = [&](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
      int shift = msb ? 8 * (bytes - 1 - i) : 8 * i;
      out.push_back(static_cast<char>((v >> shift) & 0xff));
    }
  };
  auto padded = [&](const std::string& s) {
    out += s;
    out.append((4 - s.size() % 4) % 4, '\0');
  };
  auto header = [&](int type, const std::string& name) {
    card(static_cast<std::uint32_t>(type), 1);
    card(0, 1);
    card(static_cast<std::uint32_t>(name.size()), 2);
    padded(name);
    card(7, 4);  // last-change serial
  };
  card(msb ? 1 : 0, 1);
  card(0, 3);
  card(42, 4);  // serial
  card(3, 4);   // settings
  header(0, "Net/DoubleClickTime");
  card(400, 4);
  header(2, "Gtk/Color");
  card(0, 4);
  card(0, 4);
  header(1, "Net/ThemeName");
  card(static_cast<std::uint32_t>(theme.size()), 4);
  padded(theme);
  return out;
}

}  // namespace nuvlet::test
