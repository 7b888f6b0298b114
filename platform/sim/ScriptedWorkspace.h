#pragma once

#include <optional>

#include "nuvlet/platform/Workspace.h"

namespace nuvlet::sim {

// A workspace whose frontmost application the test sets.
class ScriptedWorkspace final : public Workspace {
 public:
  std::optional<FrontmostApplication> frontmostApplication() const override { return frontmost; }

  std::optional<FrontmostApplication> frontmost;
};

}  // namespace nuvlet::sim
