#include "platform/sim/RecordingStatusBar.h"

#include <cmath>
#include <functional>
#include <utility>

namespace nuvlet::sim {
namespace {

class RecordingItem final : public StatusItem {
 public:
  explicit RecordingItem(std::shared_ptr<RecordedItem> record) : record_(std::move(record)) {}
  ~RecordingItem() override {
    record_->removed = true;
    record_->callbacks = {};
  }

  void setCallbacks(Callbacks callbacks) override { record_->callbacks = std::move(callbacks); }
  void setIcon(std::vector<Pixmap> sizes) override { record_->lastIcon = std::move(sizes); }
  void setIconName(const std::string& name) override { record_->iconName = name; }
  void setTitle(const std::string& title) override { record_->lastTitle = title; }
  void setToolTip(const std::string& title, const std::string& text) override {
    record_->lastToolTip = {title, text};
  }

 private:
  std::shared_ptr<RecordedItem> record_;
};

// Copies the callback first: it may remove the item, and with it the stored function.
template <typename... Args>
bool fire(const RecordedItem& item, const std::function<void(Args...)>& callback, Args... args) {
  if (item.removed || !callback) return false;
  auto copy = callback;
  copy(args...);
  return true;
}

}  // namespace

bool RecordedItem::scroll(double delta) {
  if (delta == 0 || !std::isfinite(delta)) return false;
  return fire(*this, callbacks.onScroll, delta);
}

bool RecordedItem::activate() {
  if (removed || !callbacks.onActivate) return false;
  auto copy = callbacks.onActivate;
  return copy();
}
bool RecordedItem::secondaryActivate() { return fire(*this, callbacks.onSecondaryActivate); }
bool RecordedItem::contextMenu() { return fire(*this, callbacks.onContextMenu); }

std::optional<Menu> RecordedItem::openMenu(bool alternate) {
  if (removed || !callbacks.menu) return std::nullopt;
  auto build = callbacks.menu;
  return build(alternate);
}

const MenuItem* findEntry(const Menu& menu, const std::vector<std::string>& labelPath) {
  const Menu* level = &menu;
  const MenuItem* found = nullptr;
  for (const std::string& label : labelPath) {
    if (level == nullptr) return nullptr;
    found = nullptr;
    for (const MenuItem& entry : *level) {
      if (entry.kind != MenuItem::Kind::Separator && entry.label == label) {
        found = &entry;
        break;
      }
    }
    if (found == nullptr) return nullptr;
    level = found->kind == MenuItem::Kind::Submenu ? &found->children : nullptr;
  }
  return found;
}

bool clickEntry(const Menu& menu, const std::vector<std::string>& labelPath) {
  const MenuItem* entry = findEntry(menu, labelPath);
  if (entry == nullptr || entry->kind != MenuItem::Kind::Action || !entry->enabled ||
      !entry->activate) {
    return false;
  }
  auto action = entry->activate;
  action();
  return true;
}

std::unique_ptr<StatusItem> RecordingStatusBar::addItem(const std::string& id) {
  auto record = std::make_shared<RecordedItem>();
  record->id = id;
  items_[id].push_back(record);
  return std::make_unique<RecordingItem>(std::move(record));
}

RecordedItem* RecordingStatusBar::item(const std::string& id) {
  auto it = items_.find(id);
  return it == items_.end() ? nullptr : it->second.back().get();
}

int RecordingStatusBar::addCount(const std::string& id) const {
  auto it = items_.find(id);
  return it == items_.end() ? 0 : static_cast<int>(it->second.size());
}

std::vector<std::string> RecordingStatusBar::liveItems() const {
  std::vector<std::string> ids;
  for (const auto& [id, records] : items_) {
    for (const auto& record : records) {
      if (!record->removed) ids.push_back(id);
    }
  }
  return ids;
}

}  // namespace nuvlet::sim
