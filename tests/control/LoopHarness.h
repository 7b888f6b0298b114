#pragma once

#include <memory>

#include "nuvlet/control/BrightnessController.h"
#include "nuvlet/control/CompensationLoop.h"
#include "nuvlet/platform/Defaults.h"
#include "nuvlet/records/AdjustmentLogger.h"
#include "nuvlet/records/DailyStats.h"
#include "platform/sim/MemoryBacklight.h"
#include "platform/sim/ScriptedDisplayTopology.h"
#include "platform/sim/ScriptedWorkspace.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A model that prefers exactly `level` for every kind of content.
inline BrightnessModel flatModel(double level) {
  BrightnessModel m = BrightnessModel::empty();
  m.prior.bByLumBin.assign(1, level);
  return m;
}

// The loop on real records in a temporary directory, a backlight in memory, a
// scripted built-in main display and virtual time.
struct LoopHarness {
  explicit LoopHarness(double hardware = 0.5, bool enabled = true)
      : backlight(hardware),
        paths(Paths::under(dir.path())),
        logger(paths, clock, workspace),
        stats(paths, clock),
        brightness(backlight) {
    if (enabled) defaults.setValue(CompensationLoop::kEnabledKey, true);
    loop = std::make_unique<CompensationLoop>(brightness, stats, logger, defaults, topology, clock);
  }

  // Consumes the fresh start so the next tick acts.
  void settle(double L = 0.5) { loop->onLuminanceUpdate(L, L); }

  TempDir dir;
  sim::VirtualRunLoop clock;
  sim::ScriptedWorkspace workspace;
  sim::ScriptedDisplayTopology topology;
  sim::MemoryBacklight backlight;
  MemoryDefaults defaults;
  Paths paths;
  AdjustmentLogger logger;
  DailyStats stats;
  BrightnessController brightness;
  std::unique_ptr<CompensationLoop> loop;
};

}  // namespace nuvlet::test
