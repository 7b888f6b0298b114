#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "nuvlet/platform/StatusBar.h"

namespace nuvlet::linux_platform {

// A menu as dbusmenu exports it: entries numbered by id (the root is 0), each with
// the properties a host reads, and a layout revision.
//
// A rebuilt entry keeps its id when its parent had an entry of the same kind and label
// (matched in order), or of the same kind in the same place under another label (a
// count that moved on); such changes reach hosts as property updates. Hosts cope
// badly with an entry replaced by a new id in the same place: the XFCE panel's menu
// stops reacting. Every other entry gets a fresh id, and ids of removed entries are
// never used again, so a click on an entry that has gone reaches nothing.
class MenuLayout {
 public:
  // A key combination as dbusmenu spells it: [["Control", "q"]].
  using Shortcut = std::vector<std::vector<std::string>>;
  using Value = std::variant<bool, std::int32_t, std::string, Shortcut>;
  using Properties = std::map<std::string, Value>;

  struct Entry {
    std::int32_t id = 0;
    MenuItem::Kind kind = MenuItem::Kind::Submenu;
    std::string label;
    bool enabled = true;
    Properties properties;  // only those that differ from dbusmenu's defaults
    std::function<void()> activate;
    std::vector<std::int32_t> children;
  };

  // What a rebuild changed, for the LayoutUpdated and ItemsPropertiesUpdated signals.
  struct Change {
    bool layout = false;                // entries added, removed or moved
    std::vector<std::int32_t> updated;  // kept entries whose properties changed
    std::vector<std::pair<std::int32_t, std::vector<std::string>>> removed;  // properties gone
    bool any() const { return layout || !updated.empty() || !removed.empty(); }
  };

  MenuLayout();

  // Replaces the menu; any change moves the revision on.
  Change rebuild(const Menu& menu);

  bool built() const { return revision_ > 0; }
  std::uint32_t revision() const { return revision_; }
  const Entry* find(std::int32_t id) const;
  const std::map<std::int32_t, Entry>& entries() const { return entries_; }

  // dbusmenu treats "_" as a mnemonic marker; a literal one is doubled.
  static std::string escapeLabel(const std::string& label);

 private:
  void add(std::int32_t parentId, const Menu& items, const std::map<std::int32_t, Entry>& old,
           std::map<std::int32_t, Entry>& into);

  std::map<std::int32_t, Entry> entries_;
  std::uint32_t revision_ = 0;
  std::int32_t nextId_ = 1;
};

}  // namespace nuvlet::linux_platform
