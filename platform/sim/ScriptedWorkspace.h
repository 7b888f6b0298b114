#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "nuvlet/platform/ListenerList.h"
#include "nuvlet/platform/Workspace.h"

namespace nuvlet::sim {

// A workspace whose frontmost application the test sets and whose notifications the
// test sends.
class ScriptedWorkspace final : public Workspace {
 public:
  std::optional<FrontmostApplication> frontmostApplication() const override { return frontmost; }

  ListenerId addDidActivateListener(std::function<void()> fn) override {
    return activated_.add(std::move(fn));
  }
  ListenerId addWillSleepListener(std::function<void()> fn) override {
    return willSleep_.add(std::move(fn));
  }
  ListenerId addDidWakeListener(std::function<void()> fn) override {
    return didWake_.add(std::move(fn));
  }
  void removeListener(ListenerId id) override {
    activated_.remove(id);
    willSleep_.remove(id);
    didWake_.remove(id);
  }
  bool openFolder(const std::filesystem::path& folder) override {
    openedFolders.push_back(folder);
    return canOpenFolders;
  }

  // Makes app frontmost and tells the listeners.
  void activate(FrontmostApplication app) {
    frontmost = std::move(app);
    activated_.notify();
  }
  void sleep() { willSleep_.notify(); }
  void wake() { didWake_.notify(); }

  std::optional<FrontmostApplication> frontmost;
  bool canOpenFolders = true;
  std::vector<std::filesystem::path> openedFolders;

 private:
  ListenerList<> activated_;
  ListenerList<> willSleep_;
  ListenerList<> didWake_;
};

}  // namespace nuvlet::sim
