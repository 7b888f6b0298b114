#include "nuvlet/ui/StatusItemController.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "nuvlet/platform/Files.h"
#include "nuvlet/ui/CalibrationSummary.h"
#include "nuvlet/ui/IconRenderer.h"
#include "nuvlet/ui/IconStyle.h"

namespace nuvlet {
namespace {

// A wheel notch is 10 units and should move a level by 0.05; scrolling down lowers it.
constexpr double kDeltaPerLevel = -200.0;

constexpr const char* kAutoTitle = "Deruzorar!";
constexpr const char* kKeepTitle = "Keep My Corrections";
constexpr const char* kAutoToolTip =
    "Continuously samples on-screen luminance and trims the backlight so the light it emits "
    "stays even. A bright page will not blast you, a dark editor will not strain. Learns the "
    "levels you prefer for different content and sharpens over a few days.";
constexpr const char* kAutoDescription =
    "Samples on-screen luminance and adjusts the backlight to hold emitted light (backlight "
    "times content) roughly constant across content.";

MenuItem entry(std::string label, std::function<void()> activate) {
  MenuItem item;
  item.label = std::move(label);
  item.activate = std::move(activate);
  return item;
}

MenuItem checkEntry(std::string label, bool checked, std::function<void()> activate) {
  MenuItem item = entry(std::move(label), std::move(activate));
  item.toggle = MenuItem::Toggle::Check;
  item.checked = checked;
  return item;
}

MenuItem infoEntry(std::string label) {
  MenuItem item;
  item.label = std::move(label);
  item.enabled = false;
  return item;
}

MenuItem submenu(std::string label, Menu children) {
  MenuItem item;
  item.kind = MenuItem::Kind::Submenu;
  item.label = std::move(label);
  item.children = std::move(children);
  return item;
}

}  // namespace

StatusItemController::StatusItemController(BrightnessController& brightness, Platform platform)
    : brightness_(brightness), platform_(platform) {
  brightnessView_ = makeView("brightness", "Brightness");
  brightnessView_->render = [this](double level) {
    return IconRenderer::brightnessImage(level, displayKind_, currentIconStyle(platform_.defaults));
  };
  brightnessView_->onScroll = [this](double delta) { scrollBrightness(delta); };
  brightnessView_->menu = [this](bool alternate) { return menu(Origin::Brightness, alternate); };
  // Left clicks need nothing: the host opens the menu itself. A right click on the
  // brightness item does nothing.
  // Until the first poll the glyph would otherwise claim full brightness.
  brightnessView_->setLevel(brightness_.read().value_or(brightnessView_->level()));
  platform_.colorScheme.setOnChange([this] { redrawAll(); });
}

StatusItemController::~StatusItemController() { platform_.colorScheme.setOnChange({}); }

std::unique_ptr<ScrollableStatusView> StatusItemController::makeView(const std::string& id,
                                                                     const std::string& label) {
  auto view = std::make_unique<ScrollableStatusView>(platform_.statusBar.addItem(id),
                                                     platform_.defaults, platform_.colorScheme);
  view->setAccessibilityLabel(label);
  return view;
}

void StatusItemController::enableFullFeatures(ExternalBrightnessController* external,
                                              DisplayRouter* router, VolumeController* volume,
                                              CompensationLoop* loop, DailyStats* dailyStats) {
  if (external != external_) externalScrolls_.clear();
  external_ = external;
  router_ = router;
  volume_ = volume;
  loop_ = loop;
  dailyStats_ = dailyStats;
  if (router_ && !platform_.topology.tracksPointer()) {
    if (auto stored = platform_.defaults.value(kScrollDisplayKey)) {
      router_->setScrollChoice(DisplayChoice::fromJson(*stored));
    }
  }
  refreshSilhouette();
  if (volume_) {
    addVolumeItem();
  } else {
    removeVolumeItem();
  }
}

void StatusItemController::updateBrightness(double level) { brightnessView_->setLevel(level); }

void StatusItemController::updateVolume(double level) {
  if (volumeView_) volumeView_->setLevel(level);
}

std::optional<DisplayID> StatusItemController::target() const {
  // 0 is no output at all: no display server, nothing to route to.
  const DisplayID id =
      router_ ? router_->currentTarget() : platform_.topology.mainDisplay().value_or(0);
  if (id == 0) return std::nullopt;
  return id;
}

void StatusItemController::refreshSilhouette() {
  const auto display = target();
  displayKind_ = display && !platform_.topology.isBuiltIn(*display) ? DisplayKind::External
                                                                    : DisplayKind::BuiltIn;
  brightnessView_->redraw();
}

bool StatusItemController::showVolumeInMenuBar() const {
  return platform_.defaults.boolOr(kShowVolumeKey, true);
}

void StatusItemController::redrawAll() {
  brightnessView_->redraw();
  if (volumeView_) volumeView_->redraw();
}

// --- Scrolling ---------------------------------------------------------------------

void StatusItemController::scrollBrightness(double delta) {
  const double step = delta / kDeltaPerLevel;
  const auto display = target();
  if (display && external_ && !platform_.topology.isBuiltIn(*display)) {
    scrollExternal(*display, step);
    return;
  }
  // A backlight that cannot be read is not a dark one: stepping from 0 would black
  // the screen out. Step from what the glyph shows instead.
  double current = brightness_.read().value_or(brightnessView_->level());
  if (!std::isfinite(current)) return;
  // On a device with coarse steps a notch smaller than a step would be rounded away
  // every time: while the hardware holds the step the last scroll left, go on from the
  // level that scroll asked for.
  if (scrollAsked_ && current == scrollHeld_) current = *scrollAsked_;
  const double asked = std::clamp(current + step, 0.0, 1.0);
  const double level = brightness_.set(asked);
  scrollAsked_ = asked;
  scrollHeld_ = level;
  displayKind_ = DisplayKind::BuiltIn;
  brightnessView_->setLevel(level);
  if (loop_) loop_->onManualChange(level, "scroll");
}

void StatusItemController::scrollExternal(DisplayID display, double step) {
  ExternalScroll& scroll = externalScrolls_[display];
  if (scroll.reading) {
    scroll.pendingStep += step;
    return;
  }
  if (scroll.requested && external_->busy()) {
    applyExternal(display, *scroll.requested + step);
    return;
  }
  scroll.requested.reset();
  scroll.reading = true;
  scroll.pendingStep = step;
  std::weak_ptr<bool> alive = alive_;
  ExternalBrightnessController* asked = external_;
  external_->get(display, [this, alive, asked, display](std::optional<double> current) {
    if (alive.expired()) return;
    ExternalScroll& burst = externalScrolls_[display];
    burst.reading = false;
    const double steps = std::exchange(burst.pendingStep, 0.0);
    if (asked != external_) return;
    // A monitor that does not answer is taken to be where the glyph is.
    applyExternal(display, current.value_or(brightnessView_->level()) + steps);
  });
}

void StatusItemController::applyExternal(DisplayID display, double level) {
  if (!std::isfinite(level)) return;
  level = std::clamp(level, 0.0, 1.0);
  externalScrolls_[display].requested = level;
  // A failed write is not reported: the glyph shows what the user asked for.
  external_->set(display, level);
  displayKind_ = DisplayKind::External;
  brightnessView_->setLevel(level);
}

void StatusItemController::scrollVolume(double delta) {
  if (!volume_ || !volumeView_) return;
  const double level = volume_->adjust(delta / kDeltaPerLevel);
  if (level > 0 && volume_->isMuted()) volume_->setMuted(false);
  volumeView_->setLevel(level);
}

// --- Items -------------------------------------------------------------------------

void StatusItemController::addVolumeItem() {
  if (volumeView_ || !volume_ || !showVolumeInMenuBar()) return;
  auto view = makeView("volume", "Volume");
  view->render = [this](double level) {
    return IconRenderer::volumeImage(level, volume_ && volume_->isMuted(),
                                     currentIconStyle(platform_.defaults));
  };
  view->onScroll = [this](double delta) { scrollVolume(delta); };
  // Middle click (and a host's context-menu request): the only input every host
  // passes on besides the menu.
  view->onRightClick = [this] { toggleMute(); };
  view->menu = [this](bool alternate) { return menu(Origin::Volume, alternate); };
  view->setLevel(volume_->get());
  volumeView_ = std::move(view);
}

void StatusItemController::removeVolumeItem() { volumeView_.reset(); }

// --- Menus -------------------------------------------------------------------------

std::function<void()> StatusItemController::action(void (StatusItemController::*fn)()) {
  std::weak_ptr<bool> alive = alive_;
  return [this, alive, fn] {
    if (!alive.expired()) (this->*fn)();
  };
}

Menu StatusItemController::menu(Origin origin, bool alternate) {
  if (origin == Origin::Volume && !volumeView_) return {};
  Menu menu;
  if (origin == Origin::Volume && volume_) {
    menu.push_back(
        checkEntry("Mute", volume_->isMuted(), action(&StatusItemController::toggleMute)));
  }
  if (volume_) {
    menu.push_back(checkEntry("Show Volume in Menu Bar", showVolumeInMenuBar(),
                              action(&StatusItemController::toggleShowVolume)));
  }
  menu.push_back(MenuItem::separator());

  MenuItem autoEntry =
      checkEntry(kAutoTitle, loop_ && loop_->enabled(), action(&StatusItemController::toggleAuto));
  autoEntry.toolTip = kAutoToolTip;
  menu.push_back(std::move(autoEntry));
  menu.push_back(infoEntry(kAutoDescription));
  if (offersScrollChoice()) {
    menu.push_back(submenu("Scroll Adjusts", buildScrollChoiceSubmenu()));
  }

  if (alternate) {
    menu.push_back(checkEntry("Show Compensation Debug",
                              platform_.defaults.boolOr(kShowDebugKey, false),
                              action(&StatusItemController::toggleDebug)));
    menu.push_back(submenu("Calibration\u2026", buildCalibrationSubmenu()));
    if (recorder_) {
      menu.push_back(MenuItem::separator());
      menu.push_back(checkEntry("Record Brightness Data", recorder_->isRecording(),
                                action(&StatusItemController::toggleRecording)));
      menu.push_back(
          entry("Reveal Data in File Manager", action(&StatusItemController::revealData)));
    }
  }
  menu.push_back(MenuItem::separator());

  Menu styles;
  const IconStyle current = currentIconStyle(platform_.defaults);
  for (IconStyle style : allIconStyles) {
    std::weak_ptr<bool> alive = alive_;
    MenuItem item =
        entry(std::string(displayName(style)), [this, alive, raw = std::string(rawValue(style))] {
          if (!alive.expired()) setIconStyle(raw);
        });
    item.toggle = MenuItem::Toggle::Radio;
    item.checked = style == current;
    styles.push_back(std::move(item));
  }
  menu.push_back(submenu("Icon Style", std::move(styles)));
  menu.push_back(MenuItem::separator());

  menu.push_back(checkEntry("Start at Login", platform_.loginItem.isEnabled(),
                            action(&StatusItemController::toggleLoginItem)));
  menu.push_back(MenuItem::separator());

  menu.push_back(infoEntry("Nuvlet " NUVLET_VERSION));
  std::weak_ptr<bool> alive = alive_;
  MenuItem quit = entry("Quit Nuvlet", [this, alive] {
    if (alive.expired()) return;
    if (auto onQuitNow = onQuit) onQuitNow();
  });
  quit.shortcut = "q";
  menu.push_back(std::move(quit));
  return menu;
}

bool StatusItemController::offersScrollChoice() const {
  return router_ && !platform_.topology.tracksPointer() && platform_.topology.screens().size() >= 2;
}

Menu StatusItemController::buildScrollChoiceSubmenu() {
  Menu menu;
  const auto current = target();
  for (const Screen& screen : platform_.topology.screens()) {
    std::string label = screen.builtIn               ? "Built-in Display"
                        : screen.description.empty() ? screen.name
                                                     : screen.description;
    if (label != screen.name && !screen.name.empty()) label += " (" + screen.name + ")";
    std::weak_ptr<bool> alive = alive_;
    // The entry keeps the display's EDID and connector, not its id: chosen after an
    // unplug while the menu was open, it falls back like any gone display.
    MenuItem item = entry(std::move(label), [this, alive, choice = DisplayChoice::of(screen)] {
      if (!alive.expired()) chooseScrollDisplay(choice);
    });
    item.toggle = MenuItem::Toggle::Radio;
    item.checked = screen.id && screen.id == current;
    menu.push_back(std::move(item));
  }
  return menu;
}

void StatusItemController::chooseScrollDisplay(const DisplayChoice& choice) {
  platform_.defaults.setValue(kScrollDisplayKey, choice.toJson());
  if (router_) router_->setScrollChoice(choice);
  refreshSilhouette();
}

Menu StatusItemController::buildCalibrationSubmenu() {
  Menu menu;
  const BrightnessModel* model = loop_ ? &loop_->model() : nullptr;
  for (std::string& line : calibrationSummary(model, dailyStats_)) {
    menu.push_back(line.empty() ? MenuItem::separator() : infoEntry(std::move(line)));
  }
  menu.push_back(MenuItem::separator());
  if (loop_) {
    menu.push_back(checkEntry(kKeepTitle, loop_->keepsCorrections(),
                              action(&StatusItemController::toggleKeepCorrections)));
  }
  menu.push_back(
      entry("Reset learned brightness", action(&StatusItemController::resetAllCalibration)));
  menu.push_back(entry("Reset everything", action(&StatusItemController::resetEverything)));
  return menu;
}

// --- Actions -----------------------------------------------------------------------

void StatusItemController::toggleShowVolume() {
  platform_.defaults.setValue(kShowVolumeKey, !showVolumeInMenuBar());
  if (showVolumeInMenuBar()) {
    addVolumeItem();
  } else {
    removeVolumeItem();
  }
}

void StatusItemController::toggleAuto() {
  if (loop_) loop_->setEnabled(!loop_->enabled());
}

void StatusItemController::toggleKeepCorrections() {
  if (loop_) loop_->setKeepsCorrections(!loop_->keepsCorrections());
}

void StatusItemController::toggleDebug() {
  platform_.defaults.setValue(kShowDebugKey, !platform_.defaults.boolOr(kShowDebugKey, false));
}

void StatusItemController::toggleRecording() {
  if (recorder_) recorder_->toggleRecording();
}

void StatusItemController::revealData() {
  if (!recorder_) return;
  // The user may have deleted it; the file manager cannot show what is not there.
  files::ensureDirectory(recorder_->directory());
  platform_.workspace.openFolder(recorder_->directory());
}

void StatusItemController::setIconStyle(std::string_view raw) {
  const auto style = iconStyleFromRawValue(raw);
  if (!style) return;
  setCurrentIconStyle(platform_.defaults, *style);
  redrawAll();
}

void StatusItemController::toggleLoginItem() { platform_.loginItem.toggle(); }

void StatusItemController::resetAllCalibration() {
  std::error_code ignored;
  std::filesystem::remove(platform_.paths.modelFile(), ignored);
  if (loop_) loop_->setModel(BrightnessModel::empty());
}

void StatusItemController::resetEverything() {
  resetAllCalibration();
  if (loop_) loop_->resetTarget();
}

void StatusItemController::toggleMute() {
  if (!volume_) return;
  volume_->setMuted(!volume_->isMuted());
  if (volumeView_) volumeView_->redraw();
}

}  // namespace nuvlet
