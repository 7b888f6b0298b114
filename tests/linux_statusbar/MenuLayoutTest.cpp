#include <gtest/gtest.h>

#include <string>

#include "platform/linux/MenuLayout.h"

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

std::int32_t idOf(const MenuLayout& layout, const std::string& label) {
  for (const auto& [id, entry] : layout.entries()) {
    if (entry.label == label) return id;
  }
  return -1;
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

}  // namespace
}  // namespace nuvlet::linux_platform
