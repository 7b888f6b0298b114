// Menus rebuilt as the tray menu's exporter rebuilds them, and clicks by id as hosts
// send them: the exported tree mirrors the menu, a click reaches the item now in that
// place, an unchanged menu changes nothing, and an id once removed is never reused.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/linux/tray/MenuLayout.h"

using namespace nuvlet;
using linux_platform::MenuLayout;

namespace {

int clicked = -1;

Menu makeMenu(FuzzedDataProvider& in, int depth, int& nextToken) {
  Menu menu;
  const int count = in.ConsumeIntegralInRange(0, 5);
  for (int i = 0; i < count; ++i) {
    MenuItem item;
    const int kind = in.ConsumeIntegralInRange(0, depth < 2 ? 3 : 2);
    if (kind == 2) {
      menu.push_back(MenuItem::separator());
      continue;
    }
    item.kind = kind == 3 ? MenuItem::Kind::Submenu : MenuItem::Kind::Action;
    static const char* const kLabels[] = {"Mute", "Deruzorar!", "4 buckets", "_Quit", ""};
    item.label = in.ConsumeBool() ? kLabels[in.ConsumeIntegralInRange(0, 4)]
                                  : in.ConsumeRandomLengthString(8);
    item.enabled = in.ConsumeIntegralInRange(0, 3) != 0;
    item.toggle = static_cast<MenuItem::Toggle>(in.ConsumeIntegralInRange(0, 2));
    item.checked = in.ConsumeBool();
    if (item.kind == MenuItem::Kind::Submenu) {
      item.children = makeMenu(in, depth + 1, nextToken);
    } else {
      const int token = nextToken++;
      item.activate = [token] { clicked = token; };
    }
    menu.push_back(std::move(item));
  }
  return menu;
}

// Walks the menu and the exported entries side by side.
void checkMirror(const MenuLayout& layout, const MenuLayout::Entry& parent, const Menu& menu,
                 std::set<std::int32_t>& seen) {
  FUZZ_CHECK(parent.children.size() == menu.size());
  for (std::size_t i = 0; i < menu.size(); ++i) {
    const MenuLayout::Entry* entry = layout.find(parent.children[i]);
    FUZZ_CHECK(entry != nullptr);
    FUZZ_CHECK(seen.insert(entry->id).second);
    FUZZ_CHECK(entry->kind == menu[i].kind);
    if (menu[i].kind == MenuItem::Kind::Separator) continue;
    FUZZ_CHECK(entry->label == menu[i].label);
    if (menu[i].kind == MenuItem::Kind::Action) {
      // A click reaches the item in this place and no other.
      clicked = -1;
      menu[i].activate();
      const int expected = clicked;
      clicked = -1;
      FUZZ_CHECK(static_cast<bool>(entry->activate));
      entry->activate();
      FUZZ_CHECK(clicked == expected);
    }
    checkMirror(layout, *entry, menu[i].children, seen);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  MenuLayout layout;
  std::set<std::int32_t> removed;
  int nextToken = 0;
  for (int round = 0; round < 4 && in.remaining_bytes() > 0; ++round) {
    const Menu menu = makeMenu(in, 0, nextToken);
    const auto before = layout.entries();
    layout.rebuild(menu);

    std::set<std::int32_t> seen{0};
    checkMirror(layout, *layout.find(0), menu, seen);
    FUZZ_CHECK(seen.size() == layout.entries().size());
    for (std::int32_t id : seen) {
      FUZZ_CHECK(!removed.count(id));
    }
    for (const auto& [id, entry] : before) {
      if (!seen.count(id)) removed.insert(id);
    }

    const std::uint32_t revision = layout.revision();
    FUZZ_CHECK(!layout.rebuild(menu).any());
    FUZZ_CHECK(layout.revision() == revision);
  }
  return 0;
}
