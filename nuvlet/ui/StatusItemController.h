#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/control/ExternalBrightnessController.h"
#include "nuvlet/control/VolumeController.h"
#include "nuvlet/platform/ColorScheme.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/StatusBar.h"
#include "nuvlet/platform/Workspace.h"
#include "nuvlet/records/DailyStats.h"
#include "nuvlet/records/TelemetryRecorder.h"
#include "nuvlet/sensing/DisplayRouter.h"
#include "nuvlet/ui/DisplayKind.h"
#include "nuvlet/ui/LoginToggle.h"
#include "nuvlet/ui/ScrollableStatusView.h"

namespace nuvlet {

// The tray face of the system: the brightness item (always) and the volume item (when
// the user wants it), what scrolling and clicking them does, and their menu.
//
// Components arrive in two stages: the built-in backlight at construction, the rest
// through setRecorder() and enableFullFeatures(). Until then, and for whatever stays
// absent, the items keep working with what there is: without a router the target is
// the main display, without an external controller every display is driven through
// the built-in backlight, and the entries of absent components do nothing.
//
// Thread: main thread only. Everything it is given is borrowed and must outlive it
// (or be withdrawn by passing nullptr again). Nothing here fails visibly.
class StatusItemController {
 public:
  static constexpr std::string_view kShowVolumeKey = "showVolumeInMenuBar";
  // Only the menu's check mark reads it.
  static constexpr std::string_view kShowDebugKey = "showCompensationDebug";
  // The display chosen under "Scroll Adjusts", as DisplayChoice::toJson().
  static constexpr std::string_view kScrollDisplayKey = "scrollDisplay";

  enum class Origin { Brightness, Volume };

  // The desktop around the items.
  struct Platform {
    StatusBar& statusBar;
    Defaults& defaults;
    ColorScheme& colorScheme;
    const DisplayTopology& topology;
    Workspace& workspace;
    const Paths& paths;
    LoginToggle& loginItem;
  };

  // Adds the brightness item and takes over the colour scheme's change notification
  // (the glyphs are redrawn in the new colour).
  StatusItemController(BrightnessController& brightness, Platform platform);
  ~StatusItemController();
  StatusItemController(const StatusItemController&) = delete;
  StatusItemController& operator=(const StatusItemController&) = delete;

  void setRecorder(TelemetryRecorder* recorder) { recorder_ = recorder; }

  // The second stage: any of them may be null. Sets the silhouette from the current
  // target and adds the volume item when the setting allows.
  void enableFullFeatures(ExternalBrightnessController* external, DisplayRouter* router,
                          VolumeController* volume, CompensationLoop* loop, DailyStats* dailyStats);

  // From the shell's poll.
  void updateBrightness(double level);
  void updateVolume(double level);

  // After the active display changed: the glyph shows a laptop or a monitor.
  void refreshSilhouette();

  // Runs when the user chooses Quit; the shell ends the process.
  std::function<void()> onQuit;

  // The menu for the item the host opened it on; `alternate` (Alt or Shift held)
  // adds the calibration and recording entries. Empty for the volume item when
  // there is none.
  Menu menu(Origin origin, bool alternate);

  // The menu's actions.
  void toggleShowVolume();
  void toggleAuto();
  void toggleDebug();
  void toggleKeepCorrections();
  void toggleRecording();
  void revealData();
  // An unknown raw value changes nothing.
  void setIconStyle(std::string_view rawValue);
  void toggleLoginItem();
  void resetAllCalibration();
  void resetEverything();
  void toggleMute();
  // "Scroll Adjusts": remembered, and the glyph follows.
  void chooseScrollDisplay(const DisplayChoice& choice);

  // Views are exposed for the shell's and the tests' reading; volumeView() is null
  // while there is no volume item.
  const ScrollableStatusView& brightnessView() const { return *brightnessView_; }
  const ScrollableStatusView* volumeView() const { return volumeView_.get(); }
  DisplayKind displayKind() const { return displayKind_; }
  bool showVolumeInMenuBar() const;

 private:
  // One display's scroll burst: scrolls arriving while the monitor is read add up,
  // and while the controller is still writing, the level last asked for is the base
  // (a read would answer a level about to be overwritten).
  struct ExternalScroll {
    bool reading = false;
    double pendingStep = 0;
    std::optional<double> requested;
  };

  std::unique_ptr<ScrollableStatusView> makeView(const std::string& id, const std::string& label);
  void addVolumeItem();
  void removeVolumeItem();
  void scrollBrightness(double delta);
  void scrollExternal(DisplayID target, double step);
  void applyExternal(DisplayID target, double level);
  void scrollVolume(double delta);
  std::optional<DisplayID> target() const;
  void redrawAll();
  Menu buildCalibrationSubmenu();
  // Shown only where there is no pointer to follow and more than one display.
  bool offersScrollChoice() const;
  Menu buildScrollChoiceSubmenu();
  // Wraps a member action so that a menu outliving the controller does nothing.
  std::function<void()> action(void (StatusItemController::*fn)());

  BrightnessController& brightness_;
  Platform platform_;
  ExternalBrightnessController* external_ = nullptr;
  DisplayRouter* router_ = nullptr;
  VolumeController* volume_ = nullptr;
  CompensationLoop* loop_ = nullptr;
  DailyStats* dailyStats_ = nullptr;
  TelemetryRecorder* recorder_ = nullptr;
  DisplayKind displayKind_ = DisplayKind::BuiltIn;
  std::map<DisplayID, ExternalScroll> externalScrolls_;
  // The level the last scroll asked of the backlight and the step it landed on.
  std::optional<double> scrollAsked_;
  double scrollHeld_ = -1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<ScrollableStatusView> brightnessView_;
  std::unique_ptr<ScrollableStatusView> volumeView_;
};

}  // namespace nuvlet
