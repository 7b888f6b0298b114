#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/tray/DesktopTheme.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/XSettingsBlob.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using Preference = ColorScheme::Preference;

// The user's own GNOME settings must not leak into these tests.
const bool kNoUserSettings = (setenv("GSETTINGS_BACKEND", "memory", 1), true);

TEST(XSettings, TheThemeNameIsFoundInEitherByteOrderAndBrokenDataGivesNothing) {
  for (bool msb : {false, true}) {
    std::string blob = test::xsettingsBlob(msb, "Greybird-dark");
    EXPECT_EQ(xsettingsString(blob, "Net/ThemeName"), "Greybird-dark");
    EXPECT_EQ(xsettingsString(blob, "Net/IconThemeName"), std::nullopt);
    // Cut short anywhere before the value's end: nothing, and nothing read past the end.
    for (std::size_t n = 0; n + 3 < blob.size(); ++n) {
      EXPECT_EQ(xsettingsString(blob.substr(0, n), "Net/ThemeName"), std::nullopt) << n;
    }
  }
  std::string blob = test::xsettingsBlob(false, "X");
  blob[0] = 7;  // no such byte order
  EXPECT_EQ(xsettingsString(blob, "Net/ThemeName"), std::nullopt);
  blob = test::xsettingsBlob(false, "X");
  blob.replace(8, 4, "\xff\xff\xff\xff");  // claims far more settings than there are
  EXPECT_EQ(xsettingsString(blob, "Net/ThemeName"), "X");
  blob = test::xsettingsBlob(false, "X");
  blob[12] = 9;  // an unknown setting type ends the reading
  EXPECT_EQ(xsettingsString(blob, "Net/ThemeName"), std::nullopt);
}

// The theme's name alone decides when nothing says more: "dark" or "inverse" anywhere in
// it is dark, any other name light, and a name that is not text says nothing.
TEST(GtkSettingsFile, PreferDarkThenTheThemeNameDecideAndGtk4ComesFirst) {
  struct Case {
    const char* gtk3;
    const char* gtk4;
    Preference want;
  };
  const Case cases[] = {
      {"[Settings]\ngtk-application-prefer-dark-theme=1\n", nullptr, Preference::Dark},
      {"[Settings]\ngtk-application-prefer-dark-theme = true\ngtk-theme-name=Adwaita\n", nullptr,
       Preference::Dark},
      {"[Settings]\ngtk-application-prefer-dark-theme=0\ngtk-theme-name=Adwaita\n", nullptr,
       Preference::Light},
      {"[Settings]\ngtk-theme-name=Arc-Dark\n", nullptr, Preference::Dark},
      {"[Settings]\ngtk-theme-name=Mint-Y-Dark-Aqua\n", nullptr, Preference::Dark},
      {"[Settings]\ngtk-theme-name=HighContrastInverse\n", nullptr, Preference::Dark},
      {"[Other]\ngtk-theme-name=Arc-Dark\n", nullptr, Preference::NoPreference},
      {"[Settings]\ngtk-theme-name=\n", nullptr, Preference::NoPreference},
      {"[Settings]\ngtk-theme-name=Ad\xff\xfe-dark\n", nullptr, Preference::NoPreference},
      {"\0\0\0garbage", nullptr, Preference::NoPreference},
      {"[Settings]\ngtk-theme-name=Arc-Dark\n", "[Settings]\ngtk-theme-name=Arc\n",
       Preference::Light},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gtk3);
    test::TempDir config;
    config.write("gtk-3.0/settings.ini", c.gtk3);
    if (c.gtk4) config.write("gtk-4.0/settings.ini", c.gtk4);
    auto reading = gtkSettingsFilePreference(config.path());
    EXPECT_EQ(reading ? reading->preference : Preference::NoPreference, c.want);
    ThemeReading chain = desktopThemePreference(nullptr, 0, config.path());
    EXPECT_EQ(chain.preference, c.want);
    EXPECT_EQ(chain.source.empty(), c.want == Preference::NoPreference) << chain.source;
  }
  test::TempDir empty;
  EXPECT_EQ(gtkSettingsFilePreference(empty.path()), std::nullopt);
}

TEST(DesktopScheme, ThePortalDecidesWhenItCanAndTheThemeFileOtherwiseFollowingItsChanges) {
  sim::VirtualRunLoop loop;
  test::TempDir config;
  config.write("gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Greybird\n");
  auto portalOwned = std::make_unique<sim::ScriptedColorScheme>();
  sim::ScriptedColorScheme& portal = *portalOwned;
  auto scheme = makeDesktopColorScheme(loop, std::move(portalOwned), nullptr, 0, config.path());
  int changes = 0;
  scheme->setOnChange([&] { ++changes; });
  EXPECT_EQ(scheme->preference(), Preference::Light);

  config.write("gtk-3.0/settings.ini", "[Settings]\ngtk-theme-name=Greybird-dark\n");
  loop.advance(10);
  EXPECT_EQ(scheme->preference(), Preference::Dark);
  EXPECT_EQ(changes, 1);  // once, not at every reading

  portal.change(Preference::Light);
  EXPECT_EQ(scheme->preference(), Preference::Light);
  EXPECT_EQ(changes, 2);
  std::filesystem::remove(config / "gtk-3.0/settings.ini");
  loop.advance(10);
  EXPECT_EQ(changes, 2);  // the portal still decides
  portal.change(Preference::NoPreference);
  EXPECT_EQ(scheme->preference(), Preference::NoPreference);
}

}  // namespace
}  // namespace nuvlet::linux_platform
