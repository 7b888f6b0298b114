#include "platform/linux/MenuLayout.h"

#include <gtest/gtest.h>

#include <string>

namespace nuvlet::linux_platform {
namespace {

MenuItem action(const std::string& label) {
  MenuItem item;
  item.label = label;
  item.activate = [] {};
  return item;
}

MenuItem check(const std::string& label, bool on) {
  MenuItem item = action(label);
  item.toggle = MenuItem::Toggle::Check;
  item.checked = on;
  return item;
}

MenuItem submenu(const std::string& label, Menu children) {
  MenuItem item;
  item.kind = MenuItem::Kind::Submenu;
  item.label = label;
  item.children = std::move(children);
  return item;
}

std::int32_t idOf(const MenuLayout& layout, const std::string& label) {
  for (const auto& [id, entry] : layout.entries()) {
    if (entry.label == label) return id;
  }
  return -1;
}

TEST(MenuLayout, EntriesCarryTheirDbusmenuProperties) {
  MenuItem info = action("Nuvlet 0.1_beta");
  info.enabled = false;
  info.activate = nullptr;
  MenuItem radio = check("Curtain", true);
  radio.toggle = MenuItem::Toggle::Radio;
  MenuItem tipped = action("Auto");
  tipped.toolTip = "Trims the backlight";

  MenuLayout layout;
  layout.rebuild({check("Mute", false), MenuItem::separator(), radio, info, tipped,
                  submenu("Icon Style", {action("Pie")})});

  using P = MenuLayout::Properties;
  using S = std::string;
  EXPECT_EQ(layout.find(idOf(layout, "Mute"))->properties,
            (P{{"label", S("Mute")}, {"toggle-type", S("checkmark")}, {"toggle-state", 0}}));
  EXPECT_EQ(layout.find(idOf(layout, "Curtain"))->properties,
            (P{{"label", S("Curtain")}, {"toggle-type", S("radio")}, {"toggle-state", 1}}));
  EXPECT_EQ(layout.find(idOf(layout, "Nuvlet 0.1_beta"))->properties,
            (P{{"label", S("Nuvlet 0.1__beta")}, {"enabled", false}}));
  EXPECT_EQ(layout.find(idOf(layout, "Auto"))->properties,
            (P{{"label", S("Auto")}, {"accessible-desc", S("Trims the backlight")}}));
  EXPECT_EQ(layout.find(idOf(layout, "Icon Style"))->properties,
            (P{{"label", S("Icon Style")}, {"children-display", S("submenu")}}));
  const auto& root = *layout.find(0);
  ASSERT_EQ(root.children.size(), 6u);
  EXPECT_EQ(layout.find(root.children[1])->properties, (P{{"type", S("separator")}}));
  EXPECT_EQ(layout.find(idOf(layout, "Icon Style"))->children,
            std::vector<std::int32_t>{idOf(layout, "Pie")});
}

TEST(MenuLayout, AnUnchangedMenuKeepsItsRevisionAndIds) {
  MenuLayout layout;
  Menu menu = {check("Mute", false), MenuItem::separator(), submenu("Style", {action("Pie")})};
  layout.rebuild(menu);
  EXPECT_EQ(layout.revision(), 1u);
  auto before = layout.entries();
  EXPECT_FALSE(layout.rebuild(menu).any());
  EXPECT_EQ(layout.revision(), 1u);
  for (const auto& [id, entry] : before) EXPECT_EQ(layout.find(id)->label, entry.label);
}

TEST(MenuLayout, InsertedEntriesLeaveTheOthersTheirIds) {
  MenuLayout layout;
  layout.rebuild({action("Auto"), MenuItem::separator(), action("Quit")});
  auto autoId = idOf(layout, "Auto");
  auto quitId = idOf(layout, "Quit");
  auto change = layout.rebuild({action("Auto"), action("Debug"), submenu("Calibration…", {}),
                                MenuItem::separator(), action("Quit")});
  EXPECT_TRUE(change.layout);
  EXPECT_EQ(layout.revision(), 2u);
  EXPECT_EQ(idOf(layout, "Auto"), autoId);
  EXPECT_EQ(idOf(layout, "Quit"), quitId);
  EXPECT_GT(idOf(layout, "Debug"), quitId);
}

TEST(MenuLayout, ARelabelledEntryKeepsItsIdAndARemovedOneNeverLendsIt) {
  MenuLayout layout;
  layout.rebuild({action("3 content buckets learned"), action("Reset")});
  auto counted = idOf(layout, "3 content buckets learned");
  auto reset = idOf(layout, "Reset");
  auto change = layout.rebuild({action("4 content buckets learned"), action("Reset")});
  EXPECT_FALSE(change.layout);
  EXPECT_EQ(change.updated, std::vector<std::int32_t>{counted});
  EXPECT_EQ(idOf(layout, "4 content buckets learned"), counted);

  // Moved up rather than relabelled: "Reset" keeps its id and the line is new.
  layout.rebuild({action("Reset"), action("4 content buckets learned")});
  EXPECT_EQ(idOf(layout, "Reset"), reset);
  EXPECT_EQ(layout.find(counted), nullptr);
  auto moved = idOf(layout, "4 content buckets learned");
  EXPECT_GT(moved, reset);

  layout.rebuild({action("Reset")});
  layout.rebuild({action("Reset"), action("4 content buckets learned")});
  EXPECT_EQ(layout.find(moved), nullptr);
  EXPECT_GT(idOf(layout, "4 content buckets learned"), moved);
}

TEST(MenuLayout, AStateChangeIsAPropertyUpdateNotALayoutChange) {
  MenuLayout layout;
  MenuItem disabled = check("Record", true);
  disabled.enabled = false;
  layout.rebuild({check("Mute", false), disabled});
  auto mute = idOf(layout, "Mute");
  auto record = idOf(layout, "Record");
  MenuItem plain = action("Record");
  auto change = layout.rebuild({check("Mute", true), plain});
  EXPECT_FALSE(change.layout);
  EXPECT_EQ(change.updated, (std::vector<std::int32_t>{mute, record}));
  ASSERT_EQ(change.removed.size(), 1u);
  EXPECT_EQ(change.removed[0].first, record);
  EXPECT_EQ(change.removed[0].second,
            (std::vector<std::string>{"enabled", "toggle-state", "toggle-type"}));
  EXPECT_EQ(layout.revision(), 2u);
}

TEST(MenuLayout, AFreshSubmenuHasFreshChildren) {
  MenuLayout layout;
  layout.rebuild({submenu("A", {action("Pie")})});
  auto pie = idOf(layout, "Pie");
  layout.rebuild({submenu("A", {action("Pie")}), submenu("B", {action("Pie")})});
  const auto& a = *layout.find(idOf(layout, "A"));
  const auto& b = *layout.find(idOf(layout, "B"));
  EXPECT_EQ(a.children, std::vector<std::int32_t>{pie});
  ASSERT_EQ(b.children.size(), 1u);
  EXPECT_GT(b.children[0], pie);
}

}  // namespace
}  // namespace nuvlet::linux_platform
