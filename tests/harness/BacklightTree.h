#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A fake sysfs: <root>/class/backlight/<name>/{type,max_brightness,brightness}.
class BacklightTree {
 public:
  void add(const std::string& name, const std::string& type, const std::string& max,
           const std::string& brightness) const {
    dir.write(rel(name, "type"), type + "\n");
    dir.write(rel(name, "max_brightness"), max);
    dir.write(rel(name, "brightness"), brightness);
  }
  void set(const std::string& name, const std::string& file, const std::string& text) const {
    dir.write(rel(name, file), text);
  }
  std::string read(const std::string& name, const std::string& file = "brightness") const {
    return readText(dir.path() / rel(name, file));
  }
  const std::filesystem::path& root() const { return dir.path(); }

  TempDir dir;

 private:
  static std::string rel(const std::string& name, const std::string& file) {
    return "class/backlight/" + name + "/" + file;
  }
};

// A raw backlight device "panel" in the sysfs tree at `sysfs` (a fake one, or the
// overlay SimulatedMonitors lays over /sys), at `level` of `max`, and the level it holds.
inline void writeBacklight(const std::filesystem::path& sysfs, int level, int max = 100) {
  const auto dir = sysfs / "class/backlight/panel";
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "type") << "raw\n";
  std::ofstream(dir / "max_brightness") << max << "\n";
  std::ofstream(dir / "brightness") << level << "\n";
}
inline void writeBacklight(const TempDir& sysfs, int level, int max = 100) {
  writeBacklight(sysfs.path(), level, max);
}
inline std::optional<int> backlightLevel(const TempDir& sysfs) {
  std::ifstream in(sysfs / "class/backlight/panel/brightness");
  int level = 0;
  if (in >> level) return level;
  return std::nullopt;
}

}  // namespace nuvlet::test
