#pragma once

#include <algorithm>
#include <optional>
#include <vector>

#include "nuvlet/platform/DisplayTopology.h"

namespace nuvlet::sim {

// Displays the test describes.
class ScriptedDisplayTopology final : public DisplayTopology {
 public:
  std::optional<DisplayID> mainDisplay() const override { return main; }
  bool isBuiltIn(DisplayID id) const override {
    return std::find(builtIn.begin(), builtIn.end(), id) != builtIn.end();
  }
  std::vector<DisplayID> onlineDisplays() const override { return online; }

  std::optional<DisplayID> main = 1;
  std::vector<DisplayID> builtIn{1};
  std::vector<DisplayID> online{1};
};

}  // namespace nuvlet::sim
