#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "nuvlet/app/LoginItem.h"
#include "nuvlet/control/VolumeController.h"
#include "nuvlet/ui/StatusItemController.h"
#include "platform/sim/MemoryLoginService.h"
#include "platform/sim/RecordingStatusBar.h"
#include "platform/sim/ScriptedAudioMixer.h"
#include "platform/sim/ScriptedColorScheme.h"
#include "tests/control/LoopHarness.h"

namespace nuvlet::test {

// The controller over a recording tray and in-memory devices, with every component
// of the second stage at hand for the test to give or withhold. The loop starts off.
class ControllerTest : public ::testing::Test, public LoopHarness {
 protected:
  ControllerTest() : LoopHarness(0.5, false) {}
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

  sim::ScriptedColorScheme scheme{ColorScheme::Preference::Dark};
  sim::MemoryLoginService loginService;
  LoginItem loginItem{loginService, defaults};
  sim::RecordingStatusBar bar;
  sim::ScriptedAudioMixer mixer;
  VolumeController volume{mixer};
  CompensationLoop& compensation = *loop;
  std::unique_ptr<StatusItemController> controller;
};

}  // namespace nuvlet::test
