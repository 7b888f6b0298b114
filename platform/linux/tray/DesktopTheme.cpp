#include "platform/linux/tray/DesktopTheme.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

namespace nuvlet::linux_platform {
namespace {

using Preference = ColorScheme::Preference;

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string trim(std::string_view s) {
  const char* space = " \t\r\n";
  auto begin = s.find_first_not_of(space);
  if (begin == std::string_view::npos) return {};
  auto end = s.find_last_not_of(space);
  return std::string(s.substr(begin, end - begin + 1));
}

// A reader over XSETTINGS data in the byte order its header names.
class XSettingsReader {
 public:
  XSettingsReader(std::string_view data, bool msbFirst) : data_(data), msb_(msbFirst) {}
  bool skip(std::size_t n) {
    if (n > data_.size() - at_) return false;
    at_ += n;
    return true;
  }
  std::optional<std::uint32_t> card(int bytes) {
    if (static_cast<std::size_t>(bytes) > data_.size() - at_) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      auto b = static_cast<std::uint8_t>(data_[at_ + static_cast<std::size_t>(i)]);
      v |= msb_ ? std::uint32_t{b} << (8 * (bytes - 1 - i)) : std::uint32_t{b} << (8 * i);
    }
    at_ += static_cast<std::size_t>(bytes);
    return v;
  }
  // `n` bytes, then the padding that rounds them up to four.
  std::optional<std::string_view> padded(std::size_t n) {
    if (n > data_.size() - at_) return std::nullopt;
    std::string_view s = data_.substr(at_, n);
    at_ += n;
    if (!skip((4 - n % 4) % 4)) return std::nullopt;
    return s;
  }

 private:
  std::string_view data_;
  bool msb_;
  std::size_t at_ = 0;
};

std::optional<ThemeReading> fromThemeName(const std::string& name, const std::string& where) {
  auto p = themeNamePreference(name);
  if (!p) return std::nullopt;
  return ThemeReading{*p, where + " \"" + name + "\""};
}

xcb_atom_t intern(xcb_connection_t* x, const std::string& name) {
  auto cookie = xcb_intern_atom(x, 0, static_cast<std::uint16_t>(name.size()), name.data());
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(x, cookie, nullptr);
  if (!reply) return XCB_ATOM_NONE;
  xcb_atom_t atom = reply->atom;
  free(reply);
  return atom;
}

// The value of `key` in the [Settings] group of a GTK settings.ini, if present.
std::optional<std::string> iniValue(const std::filesystem::path& file, std::string_view key) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string line;
  bool inSettings = false;
  std::optional<std::string> value;
  for (int lines = 0; lines < 10000 && std::getline(in, line); ++lines) {
    std::string t = trim(line);
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t[0] == '[') {
      inSettings = t == "[Settings]";
      continue;
    }
    auto eq = t.find('=');
    if (!inSettings || eq == std::string::npos) continue;
    if (trim(t.substr(0, eq)) == key) value = trim(t.substr(eq + 1));
  }
  return value;
}

}  // namespace

std::optional<Preference> themeNamePreference(std::string_view name) {
  if (name.empty() || !g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) {
    return std::nullopt;
  }
  std::string n = lower(name);
  // "Adwaita-dark", "Arc-Dark", "Breeze-Dark", "Yaru-dark", "Greybird-dark", "Mint-Y-Dark-Aqua",
  // "HighContrastInverse" (white on black).
  bool dark = n.find("dark") != std::string::npos || n.find("inverse") != std::string::npos;
  return dark ? Preference::Dark : Preference::Light;
}

std::optional<std::string> xsettingsString(std::string_view data, std::string_view name) {
  if (data.size() < 12) return std::nullopt;
  auto order = static_cast<std::uint8_t>(data[0]);
  if (order > 1) return std::nullopt;
  XSettingsReader r(data, order == 1);
  r.skip(4);
  if (!r.card(4)) return std::nullopt;  // serial
  auto count = r.card(4);
  if (!count) return std::nullopt;
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto type = r.card(1);
    if (!type || !r.skip(1)) return std::nullopt;
    auto nameLength = r.card(2);
    if (!nameLength) return std::nullopt;
    auto settingName = r.padded(*nameLength);
    if (!settingName || !r.card(4)) return std::nullopt;  // last-change serial
    switch (*type) {
      case 0:  // integer
        if (!r.skip(4)) return std::nullopt;
        break;
      case 1: {  // string
        auto length = r.card(4);
        if (!length) return std::nullopt;
        auto value = r.padded(*length);
        if (!value) return std::nullopt;
        if (*settingName == name) return std::string(*value);
        break;
      }
      case 2:  // colour: four 16-bit channels
        if (!r.skip(8)) return std::nullopt;
        break;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> readXSettingsThemeName(xcb_connection_t* x, int screen) {
  if (!x || xcb_connection_has_error(x)) return std::nullopt;
  xcb_atom_t selection = intern(x, "_XSETTINGS_S" + std::to_string(screen));
  xcb_atom_t settings = intern(x, "_XSETTINGS_SETTINGS");
  if (selection == XCB_ATOM_NONE || settings == XCB_ATOM_NONE) return std::nullopt;
  auto ownerReply =
      xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, selection), nullptr);
  if (!ownerReply) return std::nullopt;
  xcb_window_t owner = ownerReply->owner;
  free(ownerReply);
  if (owner == XCB_WINDOW_NONE) return std::nullopt;
  // The manager may exit between the two requests: the property read then fails with
  // BadWindow, which the reply's error reports and we take as "no manager".
  xcb_generic_error_t* error = nullptr;
  auto reply = xcb_get_property_reply(
      x, xcb_get_property(x, 0, owner, settings, settings, 0, 1 << 16), &error);
  free(error);
  if (!reply) return std::nullopt;
  std::optional<std::string> name;
  if (reply->format == 8) {
    std::string_view data(static_cast<const char*>(xcb_get_property_value(reply)),
                          static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    name = xsettingsString(data, "Net/ThemeName");
  }
  free(reply);
  return name;
}

std::optional<ThemeReading> gtkSettingsFilePreference(const std::filesystem::path& configHome) {
  for (const char* version : {"gtk-4.0", "gtk-3.0"}) {
    std::filesystem::path file = configHome / version / "settings.ini";
    std::string where = "GTK settings file " + file.string();
    if (auto dark = iniValue(file, "gtk-application-prefer-dark-theme")) {
      std::string v = lower(*dark);
      if (v == "1" || v == "true") return ThemeReading{Preference::Dark, where + " (prefer dark)"};
    }
    if (auto theme = iniValue(file, "gtk-theme-name")) {
      if (auto reading = fromThemeName(*theme, where + " theme")) return reading;
    }
  }
  return std::nullopt;
}

std::optional<ThemeReading> gnomeInterfacePreference() {
  GSettingsSchemaSource* sources = g_settings_schema_source_get_default();
  if (!sources) return std::nullopt;
  GSettingsSchema* schema =
      g_settings_schema_source_lookup(sources, "org.gnome.desktop.interface", TRUE);
  if (!schema) return std::nullopt;
  bool hasScheme = g_settings_schema_has_key(schema, "color-scheme");
  bool hasTheme = g_settings_schema_has_key(schema, "gtk-theme");
  g_settings_schema_unref(schema);
  GSettings* settings = g_settings_new("org.gnome.desktop.interface");
  std::optional<ThemeReading> reading;
  auto userString = [&](const char* key) -> std::string {
    GVariant* v = g_settings_get_user_value(settings, key);
    std::string s;
    if (v && g_variant_is_of_type(v, G_VARIANT_TYPE_STRING)) s = g_variant_get_string(v, nullptr);
    if (v) g_variant_unref(v);
    return s;
  };
  if (hasScheme) {
    // An enum stored as its nick.
    std::string scheme = userString("color-scheme");
    if (scheme == "prefer-dark") reading = ThemeReading{Preference::Dark, "GNOME color-scheme"};
    if (scheme == "prefer-light") reading = ThemeReading{Preference::Light, "GNOME color-scheme"};
  }
  if (!reading && hasTheme) reading = fromThemeName(userString("gtk-theme"), "GNOME gtk-theme");
  g_object_unref(settings);
  return reading;
}

ThemeReading desktopThemePreference(xcb_connection_t* x, int screen,
                                    const std::filesystem::path& configHome) {
  if (auto name = readXSettingsThemeName(x, screen)) {
    if (auto reading = fromThemeName(*name, "XSETTINGS Net/ThemeName")) return *reading;
  }
  if (auto reading = gnomeInterfacePreference()) return *reading;
  if (auto reading = gtkSettingsFilePreference(configHome)) return *reading;
  return {};
}

namespace {

class DesktopColorScheme final : public ColorScheme {
 public:
  DesktopColorScheme(RunLoop& loop, std::unique_ptr<ColorScheme> portal, xcb_connection_t* x,
                     int screen, std::filesystem::path configHome)
      : loop_(loop),
        portal_(std::move(portal)),
        x_(x),
        screen_(screen),
        configHome_(std::move(configHome)) {
    theme_ = desktopThemePreference(x_, screen_, configHome_);
    if (portal_) portal_->setOnChange([this] { changed(); });
    timer_ = loop_.scheduleRepeating(kRereadSeconds, [this] { reread(); });
  }
  ~DesktopColorScheme() override {
    loop_.cancel(timer_);
    if (portal_) portal_->setOnChange({});
  }

  Preference preference() const override {
    Preference p = portal_ ? portal_->preference() : Preference::NoPreference;
    return p != Preference::NoPreference ? p : theme_.preference;
  }
  void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }

 private:
  static constexpr double kRereadSeconds = 3.0;

  void reread() {
    Preference before = preference();
    theme_ = desktopThemePreference(x_, screen_, configHome_);
    if (preference() != before) changed();
  }
  void changed() {
    std::function<void()> onChange = onChange_;
    if (onChange) onChange();
  }

  RunLoop& loop_;
  std::unique_ptr<ColorScheme> portal_;
  xcb_connection_t* x_;
  int screen_;
  std::filesystem::path configHome_;
  ThemeReading theme_;
  RunLoop::TimerId timer_ = 0;
  std::function<void()> onChange_;
};

}  // namespace

std::unique_ptr<ColorScheme> makeDesktopColorScheme(RunLoop& loop,
                                                    std::unique_ptr<ColorScheme> portal,
                                                    xcb_connection_t* x, int screen,
                                                    std::filesystem::path configHome) {
  return std::make_unique<DesktopColorScheme>(loop, std::move(portal), x, screen,
                                              std::move(configHome));
}

}  // namespace nuvlet::linux_platform
