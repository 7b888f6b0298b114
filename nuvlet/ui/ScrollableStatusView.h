#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "nuvlet/platform/ColorScheme.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/StatusBar.h"
#include "nuvlet/ui/IconRenderer.h"

namespace nuvlet {

// The glyph and the input of one tray item. It shows render(level) in the glyph
// colour and passes the user's input on as plain calls; what the level means and what
// the input does is its owner's business.
//
// Events from the tray: a scroll reaches onScroll with the delta the tray reports
// (already normalised: 10 per wheel notch, down positive); a left click calls
// onClick; a middle click or an explicit context-menu request calls onRightClick;
// the host asks `menu` for the menu each time it opens it.
//
// Thread: main thread only. The view owns its tray item: destroying the view removes
// the item. A callback may destroy the view.
class ScrollableStatusView {
 public:
  // Sizes the glyph is sent in; hosts scale the nearest one.
  static constexpr std::array<int, 5> iconSizes{16, 22, 24, 32, 48};

  ScrollableStatusView(std::unique_ptr<StatusItem> item, const Defaults& defaults,
                       const ColorScheme& colorScheme);
  ~ScrollableStatusView();
  ScrollableStatusView(const ScrollableStatusView&) = delete;
  ScrollableStatusView& operator=(const ScrollableStatusView&) = delete;

  std::function<void(double delta)> onScroll;
  std::function<void()> onClick;
  std::function<void()> onRightClick;
  std::function<IconImage(double level)> render;
  std::function<Menu(bool alternate)> menu;

  double level() const { return level_; }
  // Stores the level (not clamped) and redraws, even when it did not change.
  void setLevel(double level);

  // Renders the glyph afresh in the current glyph colour. The tray is sent the icon
  // only when it differs from the one it shows. Without `render` the icon is empty
  // (fully transparent).
  void redraw();

  // The name read out for the item ("Brightness"); shown as the item's title and
  // tooltip heading.
  void setAccessibilityLabel(std::string label);
  const std::string& accessibilityLabel() const { return label_; }

  // The level as a whole percentage, "50%"; halves round away from zero. A level that
  // is not finite reads "?".
  std::string accessibilityValue() const;

 private:
  void updateToolTip();

  const Defaults& defaults_;
  const ColorScheme& colorScheme_;
  double level_ = 1.0;
  std::string label_;
  std::vector<Pixmap> shownIcon_;
  bool iconSent_ = false;
  std::string shownToolTip_;
  bool toolTipSent_ = false;
  // Last, so it goes first: the tray stops calling in before the callbacks die.
  std::unique_ptr<StatusItem> item_;
};

}  // namespace nuvlet
