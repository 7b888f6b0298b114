#pragma once

#include <filesystem>
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

}  // namespace nuvlet::test
