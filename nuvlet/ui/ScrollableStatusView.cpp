#include "nuvlet/ui/ScrollableStatusView.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "nuvlet/ui/GlyphColor.h"
#include "nuvlet/ui/SymbolicIcon.h"

namespace nuvlet {

namespace {

bool samePixels(const std::vector<Pixmap>& a, const std::vector<Pixmap>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].width != b[i].width || a[i].height != b[i].height || a[i].argb != b[i].argb) {
      return false;
    }
  }
  return true;
}

}  // namespace

ScrollableStatusView::ScrollableStatusView(std::unique_ptr<StatusItem> item,
                                           const Defaults& defaults, const ColorScheme& colorScheme)
    : defaults_(defaults), colorScheme_(colorScheme), item_(std::move(item)) {
  // Each forwarder copies the callback before calling it, so a callback that destroys
  // the view does not destroy the function it is running in.
  StatusItem::Callbacks callbacks;
  callbacks.onScroll = [this](double delta) {
    if (auto f = onScroll) f(delta);
  };
  callbacks.onActivate = [this] {
    auto f = onClick;
    if (!f) return false;
    f();
    return true;
  };
  callbacks.onSecondaryActivate = [this] {
    if (auto f = onRightClick) f();
  };
  callbacks.onContextMenu = callbacks.onSecondaryActivate;
  callbacks.menu = [this](bool alternate) {
    auto f = menu;
    return f ? f(alternate) : Menu{};
  };
  item_->setCallbacks(std::move(callbacks));
  redraw();
  updateToolTip();
}

ScrollableStatusView::~ScrollableStatusView() = default;

void ScrollableStatusView::setLevel(double level) {
  level_ = level;
  redraw();
  updateToolTip();
}

void ScrollableStatusView::redraw() {
  std::vector<Pixmap> icon;
  icon.reserve(iconSizes.size());
  if (render) {
    const IconImage image = render(level_);
    const std::uint32_t rgb = glyphRgb(glyphTone(defaults_, colorScheme_));
    for (int size : iconSizes) icon.push_back(tint(image.rasterize(size), rgb));
    item_->setIconName(SymbolicIcon::name(image));
  } else {
    for (int size : iconSizes) {
      icon.push_back(Pixmap{size, size, std::vector<std::uint32_t>(std::size_t(size) * size, 0)});
    }
  }
  // The tray is polled four times a second; an unchanged icon would only make every
  // host fetch the same pixels again.
  if (iconSent_ && samePixels(icon, shownIcon_)) return;
  shownIcon_ = icon;
  iconSent_ = true;
  item_->setIcon(std::move(icon));
}

void ScrollableStatusView::setAccessibilityLabel(std::string label) {
  label_ = std::move(label);
  item_->setTitle(label_);
  toolTipSent_ = false;
  updateToolTip();
}

std::string ScrollableStatusView::accessibilityValue() const {
  if (!std::isfinite(level_)) return "?";
  // Adding 0.0 turns the -0 of small negative levels into 0.
  const double percent = std::round(level_ * 100.0) + 0.0;
  char text[400];
  std::snprintf(text, sizeof text, "%.0f%%", percent);
  return text;
}

void ScrollableStatusView::updateToolTip() {
  std::string value = accessibilityValue();
  if (toolTipSent_ && value == shownToolTip_) return;
  shownToolTip_ = value;
  toolTipSent_ = true;
  item_->setToolTip(label_, shownToolTip_);
}

}  // namespace nuvlet
