#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/platform/StatusBar.h"

namespace nuvlet::sim {

// What one tray item was told, and a way to play the user at it. It outlives the
// item it records; `removed` says the item is gone.
struct RecordedItem {
  std::string id;
  bool removed = false;
  // Only the last of each is kept, as a host shows only that: the level's item is
  // redrawn at every change, and a simulated week of every icon took gigabytes.
  std::optional<std::vector<Pixmap>> lastIcon;  // the last setIcon
  std::string lastTitle;                        // the last setTitle
  std::string iconName;                         // the last setIconName
  struct ToolTip {
    std::string title;
    std::string text;
  };
  ToolTip lastToolTip;  // the last setToolTip
  StatusItem::Callbacks callbacks;

  const std::vector<Pixmap>* icon() const { return lastIcon ? &*lastIcon : nullptr; }
  std::string title() const { return lastTitle; }
  ToolTip toolTip() const { return lastToolTip; }

  // The user's input, delivered as the tray adapter would: nothing reaches a removed
  // item, and zero or non-finite scroll deltas are dropped. Each returns whether a
  // callback ran.
  bool scroll(double delta);
  bool activate();
  bool secondaryActivate();
  bool contextMenu();

  // The menu the host would show; nothing when the item is removed or has no menu.
  std::optional<Menu> openMenu(bool alternate = false);
};

// Finds an entry by its labels from the top level down ({"Calibration", "Reset"}).
const MenuItem* findEntry(const Menu& menu, const std::vector<std::string>& labelPath);

// Clicks an entry as a host would: only an enabled action entry with an action runs.
bool clickEntry(const Menu& menu, const std::vector<std::string>& labelPath);

// An in-memory tray for tests and the simulation: records what every item shows and
// lets the test fire the callbacks.
class RecordingStatusBar final : public StatusBar {
 public:
  std::unique_ptr<StatusItem> addItem(const std::string& id) override;
  bool hostAvailable() const override { return hostAvailable_; }

  void setHostAvailable(bool available) { hostAvailable_ = available; }

  // The newest item added under id (live or removed); nullptr when none was.
  RecordedItem* item(const std::string& id);
  // How many items were ever added under id.
  int addCount(const std::string& id) const;
  // Ids of the items that are live now.
  std::vector<std::string> liveItems() const;

 private:
  bool hostAvailable_ = true;
  std::map<std::string, std::vector<std::shared_ptr<RecordedItem>>> items_;
};

}  // namespace nuvlet::sim
