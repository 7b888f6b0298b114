#pragma once

#include <xcb/xcb.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "nuvlet/platform/ColorScheme.h"
#include "nuvlet/platform/RunLoop.h"

namespace nuvlet::linux_platform {

// Many desktops (XFCE, MATE, Cinnamon, bare window managers) run no settings portal, yet
// publish their theme elsewhere. These readers ask those places, most specific first, so
// the glyph can be dark on a light panel there too.

// What one source said, and which source that was (for `nuvlet devices`).
struct ThemeReading {
  ColorScheme::Preference preference = ColorScheme::Preference::NoPreference;
  std::string source;  // empty when no source decided
};

// A theme's name taken as light or dark: "-dark", "Dark", "-Dark-Solid" and the like
// are dark, any other name light. Nothing for an empty name or one that is not UTF-8.
std::optional<ColorScheme::Preference> themeNamePreference(std::string_view name);

// The string setting `name` in an XSETTINGS property (_XSETTINGS_SETTINGS); nothing
// when it is absent or the data is malformed.
std::optional<std::string> xsettingsString(std::string_view data, std::string_view name);

// Net/ThemeName from the XSETTINGS manager of `screen`. Nothing without a manager, or
// when it vanishes while being read. Blocks for a few round trips to the X server.
std::optional<std::string> readXSettingsThemeName(xcb_connection_t* x, int screen);

// The GTK settings files under `configHome` (gtk-4.0, then gtk-3.0 settings.ini):
// gtk-application-prefer-dark-theme, else gtk-theme-name.
std::optional<ThemeReading> gtkSettingsFilePreference(const std::filesystem::path& configHome);

// GNOME's interface settings as the user set them (color-scheme, else gtk-theme), read
// through GSettings without asking a daemon; defaults the user never changed say
// nothing. Nothing when the schema is not installed.
std::optional<ThemeReading> gnomeInterfacePreference();

// The first source that decides, in the order XSETTINGS, GNOME, GTK file. `x` may be
// null (no X server).
ThemeReading desktopThemePreference(xcb_connection_t* x, int screen,
                                    const std::filesystem::path& configHome);

// The settings portal's answer, and where it has none, the desktop's theme as above.
// The sources other than the portal publish no change signal everywhere, so they are read
// again every few seconds; a change calls the handler like a portal change does.
//
// Thread: main thread only. `x` may be null; it must outlive the scheme.
std::unique_ptr<ColorScheme> makeDesktopColorScheme(RunLoop& loop,
                                                    std::unique_ptr<ColorScheme> portal,
                                                    xcb_connection_t* x, int screen,
                                                    std::filesystem::path configHome);

}  // namespace nuvlet::linux_platform
