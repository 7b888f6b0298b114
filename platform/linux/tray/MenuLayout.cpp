#include "platform/linux/tray/MenuLayout.h"

#include <algorithm>

namespace nuvlet::linux_platform {
namespace {

MenuLayout::Properties propertiesOf(const MenuItem& item) {
  MenuLayout::Properties p;
  if (item.kind == MenuItem::Kind::Separator) {
    p["type"] = std::string("separator");
    return p;
  }
  p["label"] = MenuLayout::escapeLabel(item.label);
  if (!item.enabled) p["enabled"] = false;
  if (item.toggle != MenuItem::Toggle::None) {
    p["toggle-type"] = std::string(item.toggle == MenuItem::Toggle::Check ? "checkmark" : "radio");
    p["toggle-state"] = std::int32_t{item.checked ? 1 : 0};
  }
  if (item.kind == MenuItem::Kind::Submenu) p["children-display"] = std::string("submenu");
  if (!item.shortcut.empty()) p["shortcut"] = MenuLayout::Shortcut{{"Control", item.shortcut}};
  // Menus have no tool tips in dbusmenu; this is what screen readers announce.
  if (!item.toolTip.empty()) p["accessible-desc"] = item.toolTip;
  return p;
}

}  // namespace

MenuLayout::MenuLayout() {
  Entry root;
  root.properties["children-display"] = std::string("submenu");
  entries_[0] = std::move(root);
}

std::string MenuLayout::escapeLabel(const std::string& label) {
  std::string out;
  out.reserve(label.size());
  for (char c : label) {
    if (c == '_') out.push_back('_');
    out.push_back(c);
  }
  return out;
}

const MenuLayout::Entry* MenuLayout::find(std::int32_t id) const {
  auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

MenuLayout::Change MenuLayout::rebuild(const Menu& menu) {
  std::map<std::int32_t, Entry> fresh;
  Entry root = entries_.at(0);
  root.children.clear();
  fresh[0] = std::move(root);
  add(0, menu, entries_, fresh);

  Change change;
  if (fresh.size() != entries_.size()) change.layout = true;
  for (const auto& [id, entry] : fresh) {
    auto old = entries_.find(id);
    if (old == entries_.end()) {
      change.layout = true;
      continue;
    }
    if (old->second.children != entry.children) change.layout = true;
    if (old->second.properties != entry.properties) {
      change.updated.push_back(id);
      std::vector<std::string> gone;
      for (const auto& [name, value] : old->second.properties) {
        if (!entry.properties.count(name)) gone.push_back(name);
      }
      if (!gone.empty()) change.removed.emplace_back(id, std::move(gone));
    }
  }
  entries_ = std::move(fresh);
  if (change.any() || revision_ == 0) ++revision_;
  return change;
}

void MenuLayout::add(std::int32_t parentId, const Menu& items,
                     const std::map<std::int32_t, Entry>& old,
                     std::map<std::int32_t, Entry>& into) {
  // The parent's previous children, matched in order by kind and label.
  std::vector<std::int32_t> candidates;
  if (auto parent = old.find(parentId); parent != old.end()) candidates = parent->second.children;
  std::size_t next = 0;

  for (std::size_t at = 0; at < items.size(); ++at) {
    const MenuItem& item = items[at];
    std::int32_t id = 0;
    for (std::size_t i = next; i < candidates.size(); ++i) {
      const Entry& previous = old.at(candidates[i]);
      if (previous.kind == item.kind && previous.label == item.label) {
        id = candidates[i];
        next = i + 1;
        break;
      }
    }
    // The entry in the same place under a new label ("4 content buckets learned"), unless
    // that label is still to come further down.
    if (id == 0 && next < candidates.size()) {
      const Entry& previous = old.at(candidates[next]);
      bool comesLater =
          std::any_of(items.begin() + static_cast<std::ptrdiff_t>(at) + 1, items.end(),
                      [&](const MenuItem& later) {
                        return later.kind == previous.kind && later.label == previous.label;
                      });
      if (previous.kind == item.kind && !comesLater) id = candidates[next++];
    }
    if (id == 0) id = nextId_++;

    Entry entry;
    entry.id = id;
    entry.kind = item.kind;
    entry.label = item.label;
    entry.enabled = item.enabled;
    entry.properties = propertiesOf(item);
    if (item.kind == MenuItem::Kind::Action) entry.activate = item.activate;
    into[parentId].children.push_back(id);
    into[id] = std::move(entry);
    // A fresh parent has no previous children, so its children are fresh too.
    if (item.kind == MenuItem::Kind::Submenu) add(id, item.children, old, into);
  }
}

}  // namespace nuvlet::linux_platform
