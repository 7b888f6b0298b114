#pragma once

#include <optional>
#include <string>

namespace nuvlet {

// The application the user is working in.
struct FrontmostApplication {
  // A stable identifier: the desktop application id, else the window class, else the
  // executable name. Empty when the platform has none.
  std::string bundleId;
  // A name for people (the window class).
  std::string name;
};

// The desktop session around the system.
//
// Thread: main thread only. Queries answer from what the adapter already knows and
// never block; a failed query yields nothing.
class Workspace {
 public:
  virtual ~Workspace() = default;

  // The application that owns the active window, or nothing when there is none.
  virtual std::optional<FrontmostApplication> frontmostApplication() const = 0;
};

}  // namespace nuvlet
