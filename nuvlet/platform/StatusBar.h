#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvlet {

// One rendering of an icon: row-major 0xAARRGGBB words, straight (not premultiplied)
// alpha. Adapters convert to whatever byte order their host expects.
struct Pixmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> argb;
};

// A menu entry as the status item's menu shows it.
struct MenuItem {
  enum class Kind { Action, Separator, Submenu };
  enum class Toggle { None, Check, Radio };

  Kind kind = Kind::Action;
  std::string label;
  bool enabled = true;
  Toggle toggle = Toggle::None;
  bool checked = false;
  std::string toolTip;
  // A key shown as the entry's accelerator with Control ("q"), empty for none.
  std::string shortcut;
  std::function<void()> activate;  // Action entries; unset for informational lines
  std::vector<MenuItem> children;  // Submenu entries

  static MenuItem separator() {
    MenuItem item;
    item.kind = Kind::Separator;
    return item;
  }
};

using Menu = std::vector<MenuItem>;

// One item in the desktop's tray. Destroying it removes it from the tray.
//
// Thread: main thread only; callbacks run on the main thread. Nothing here blocks or
// fails visibly: with no tray host the item simply is not shown (StatusBar says so).
class StatusItem {
 public:
  struct Callbacks {
    // A vertical scroll, normalised: one wheel notch is 10 units, scrolling down is
    // positive. Zero deltas are never delivered.
    std::function<void(double delta)> onScroll;
    // Left click, when the host does not simply open the menu. False when the item has
    // no left-click action of its own: the host is then told so, and a host that asks
    // before opening the menu (Plasma) opens it, as the others do by themselves.
    std::function<bool()> onActivate;
    // Middle click (every host sends this one).
    std::function<void()> onSecondaryActivate;
    // An explicit context-menu request (only some hosts send it).
    std::function<void()> onContextMenu;
    // Builds the menu afresh each time the host is about to show it. `alternate` is
    // true while Alt or Shift is held.
    std::function<Menu(bool alternate)> menu;
  };

  virtual ~StatusItem() = default;

  virtual void setCallbacks(Callbacks callbacks) = 0;

  // The icon at several sizes (16 to 48 px); the host picks the one it needs.
  virtual void setIcon(std::vector<Pixmap> sizes) = 0;
  // The same glyph as a themed symbolic icon of the program's own set, for hosts that
  // draw those in the panel's colour. A tray that cannot show it (the set is not
  // installed) keeps to the pixmaps.
  virtual void setIconName(const std::string& name) { (void)name; }

  // The accessible name of the item ("Brightness") and its value ("50%").
  virtual void setTitle(const std::string& title) = 0;
  virtual void setToolTip(const std::string& title, const std::string& text) = 0;
};

// The desktop's tray.
//
// Thread: main thread only.
class StatusBar {
 public:
  virtual ~StatusBar() = default;

  // Adds an item with a stable id ("brightness", "volume"). Never fails; the item
  // appears once a tray host is present and again after the host restarts.
  virtual std::unique_ptr<StatusItem> addItem(const std::string& id) = 0;

  // Whether a tray host currently shows items.
  virtual bool hostAvailable() const = 0;
};

}  // namespace nuvlet
