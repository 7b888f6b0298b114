#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nuvlet/app/LoginItem.h"
#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/control/VolumeController.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "nuvlet/records/TelemetryRecorder.h"
#include "nuvlet/ui/StatusItemController.h"
#include "platform/sim/MemoryBacklight.h"
#include "platform/sim/MemoryLoginService.h"
#include "platform/sim/RecordingStatusBar.h"
#include "platform/sim/ScriptedAudioMixer.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// The controller over a recording tray and in-memory devices, with every component
// of the second stage at hand for the test to give or withhold.
class ControllerTest : public ::testing::Test {
 protected:
  void start() {
    controller = std::make_unique<StatusItemController>(
        brightness, StatusItemController::Platform{bar, defaults, scheme, topology, workspace,
                                                   paths, loginItem});
  }
  // The second stage with the in-memory components; no external controller or router.
  void startFully() {
    start();
    controller->enableFullFeatures(nullptr, nullptr, &volume, &compensation, &stats);
  }

  sim::RecordedItem& brightnessItem() { return *bar.item("brightness"); }

  TempDir dir;
  Paths paths = Paths::under(dir.path());
  sim::VirtualRunLoop loop;
  MemoryDefaults defaults;
  sim::ScriptedColorScheme scheme{ColorScheme::Preference::Dark};
  sim::ScriptedDisplayTopology topology;
  sim::ScriptedWorkspace workspace;
  sim::MemoryLoginService loginService;
  LoginItem loginItem{loginService, defaults};
  sim::RecordingStatusBar bar;
  sim::MemoryBacklight backlight{0.5};
  BrightnessController brightness{backlight};
  sim::ScriptedAudioMixer mixer;
  VolumeController volume{mixer};
  DailyStats stats{paths, loop};
  AdjustmentLogger logger{paths, loop, workspace};
  CompensationLoop compensation{brightness, stats, logger, defaults, topology, loop};
  std::unique_ptr<StatusItemController> controller;
};

}  // namespace nuvlet::test
