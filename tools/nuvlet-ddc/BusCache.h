#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace nuvlet::ddc {

// Which I2C bus carried which monitor (keyed by the output's name and the EDID key) when
// last seen, for outputs whose connector does not name its bus: a run goes to that bus
// and detects only when the monitor there is another. Kept in
// $XDG_CACHE_HOME/nuvlet/ddc-buses.json, newest first, a few entries at most. A
// missing or damaged file is an empty cache; a failed save is ignored (the next
// run detects again).
class BusCache {
 public:
  static constexpr std::size_t kMaxEntries = 16;

  explicit BusCache(std::filesystem::path file);

  std::optional<int> busFor(const std::string& edidKey) const;
  // One monitor per bus: an entry for another monitor on the same bus goes.
  void remember(const std::string& edidKey, int bus);
  void forget(const std::string& edidKey);
  // Writes the file atomically (0600, directory 0700) when something changed.
  bool save();

 private:
  std::filesystem::path file_;
  std::vector<std::pair<std::string, int>> entries_;
  bool dirty_ = false;
};

}  // namespace nuvlet::ddc
