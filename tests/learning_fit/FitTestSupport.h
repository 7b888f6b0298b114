#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "nuvlet/learning/ModelFitter.h"
#include "tests/support/PinnedZone.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A records tree (telemetry directory and adjustment log) in a temporary directory.
struct Records {
  TempDir dir;
  FitSources sources{dir / "telemetry", dir / "adjustments.csv"};

  void telemetry(const std::string& name, const std::string& text) const {
    dir.write("telemetry/" + name, text);
  }
  void log(const std::string& text) const { dir.write("adjustments.csv", text); }
  FitResult fit(FitCache* cache = nullptr) const {
    return ModelFitter::fit(sources, 1796558400.0, cache);
  }
};

inline constexpr const char* kHeader =
    "timestamp_iso,event_type,B_before,B_after,L_filtered,target,frontmost_app,"
    "sig_dark,sig_bright,chroma,warm_cool,amb_norm\n";

}  // namespace nuvlet::test
