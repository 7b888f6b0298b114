#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/linux/PortalColorScheme.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/linux_statusbar/TrayHost.h"
#include "tests/support/Servers.h"

namespace nuvlet::test {
namespace {

using Preference = ColorScheme::Preference;

constexpr const char* kSettingsXml = R"xml(<node>
  <interface name="org.freedesktop.portal.Settings">
    <method name="Read">
      <arg type="s" name="namespace" direction="in"/>
      <arg type="s" name="key" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <signal name="SettingChanged">
      <arg type="s"/><arg type="s"/><arg type="v"/>
    </signal>
  </interface>
</node>)xml";

constexpr const char* kPath = "/org/freedesktop/portal/desktop";

// The settings portal. `value` answers Read for the colour scheme; null answers with
// the error a portal gives for a setting it does not have.
class SettingsPortal {
 public:
  SettingsPortal(const std::string& address, GVariant* value)
      : peer_(address), value_(adopt(value)) {}

  bool start() {
    peer_.exportObject(
        kPath, kSettingsXml,
        [this](const std::string&, GVariant* parameters, GDBusMethodInvocation* invocation) {
          ++reads;
          const gchar* ns = nullptr;
          const gchar* key = nullptr;
          g_variant_get(parameters, "(&s&s)", &ns, &key);
          if (!value_ || std::string(ns) != "org.freedesktop.appearance" ||
              std::string(key) != "color-scheme") {
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.portal.Error.NotFound", "Requested setting not found");
            return;
          }
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value_.get()));
        });
    return peer_.own("org.freedesktop.portal.Desktop");
  }

  void change(const char* ns, const char* key, GVariant* value) {
    peer_.emitSignal(kPath, "org.freedesktop.portal.Settings", "SettingChanged",
                     g_variant_new("(ssv)", ns, key, value));
  }

  int reads = 0;

 private:
  BusPeer peer_;
  VariantPtr value_;
};

class PortalColorSchemeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(bus.running()) << "dbus-daemon is needed"; }

  std::unique_ptr<ColorScheme> make() {
    auto scheme = linux_platform::makePortalColorScheme(loop, bus.address());
    scheme->setOnChange([this] { ++changes; });
    return scheme;
  }

  DbusDaemon bus;
  sim::VirtualRunLoop loop;
  LogCapture logged{/*verbose=*/true};
  int changes = 0;
};

TEST_F(PortalColorSchemeTest, ReadsThePreferenceAndFollowsItsChanges) {
  // Older portals wrap the value in a second variant.
  SettingsPortal portal(bus.address(), g_variant_new_variant(g_variant_new_uint32(1)));
  ASSERT_TRUE(portal.start());
  auto scheme = make();
  ASSERT_TRUE(pumpUntil([&] { return scheme->preference() == Preference::Dark; }));
  EXPECT_EQ(changes, 1);

  const char* ns = "org.freedesktop.appearance";
  portal.change(ns, "color-scheme", g_variant_new_uint32(2));
  ASSERT_TRUE(pumpUntil([&] { return changes == 2; }));
  EXPECT_EQ(scheme->preference(), Preference::Light);

  // Other keys, other namespaces and a repeat of the same value change nothing; a value
  // of the wrong type or out of range means no preference. Signals from one sender
  // arrive in order, so the last one is a barrier for those before it.
  portal.change(ns, "accent-color", g_variant_new_uint32(1));
  portal.change("org.gnome.desktop.interface", "color-scheme", g_variant_new_uint32(1));
  portal.change(ns, "color-scheme", g_variant_new_uint32(2));
  portal.change(ns, "color-scheme", g_variant_new_string("prefer-dark"));
  ASSERT_TRUE(pumpUntil([&] { return changes == 3; }))
      << changes << " " << int(scheme->preference());
  EXPECT_EQ(scheme->preference(), Preference::NoPreference);
  portal.change(ns, "color-scheme", g_variant_new_uint32(1));
  portal.change(ns, "color-scheme", g_variant_new_uint32(7));
  ASSERT_TRUE(pumpUntil([&] { return changes == 5; }))
      << changes << " " << int(scheme->preference());
  EXPECT_EQ(scheme->preference(), Preference::NoPreference);
  portal.change(ns, "color-scheme", g_variant_new_int32(2));
  ASSERT_TRUE(pumpUntil([&] { return changes == 6; }));
  EXPECT_EQ(scheme->preference(), Preference::Light);
}

TEST_F(PortalColorSchemeTest, WithoutAPortalOrItsSettingThereIsNoPreferenceUntilOneAppears) {
  for (bool portalWithoutSetting : {false, true}) {
    SCOPED_TRACE(portalWithoutSetting ? "portal without the setting" : "no portal");
    changes = 0;
    auto portal = std::make_unique<SettingsPortal>(bus.address(), nullptr);
    if (portalWithoutSetting) {
      ASSERT_TRUE(portal->start());
    }
    const int failures = logged.count("colour scheme: ");
    auto scheme = make();
    ASSERT_TRUE(pumpUntil([&] { return logged.count("colour scheme: ") > failures; }));
    EXPECT_EQ(scheme->preference(), Preference::NoPreference);
    EXPECT_EQ(changes, 0);

    portal = std::make_unique<SettingsPortal>(bus.address(), g_variant_new_uint32(1));
    ASSERT_TRUE(portal->start());
    EXPECT_TRUE(pumpUntil([&] { return scheme->preference() == Preference::Dark; }));
    EXPECT_EQ(changes, 1);
  }
}

TEST_F(PortalColorSchemeTest, NoBusAtAllMeansNoPreference) {
  auto scheme = linux_platform::makePortalColorScheme(loop, "unix:path=/nonexistent/bus");
  ASSERT_TRUE(pumpUntil([&] { return logged.count("session bus: ") == 1; }));
  loop.advance(100);  // retries find nothing either
  EXPECT_EQ(scheme->preference(), Preference::NoPreference);
}

}  // namespace
}  // namespace nuvlet::test
