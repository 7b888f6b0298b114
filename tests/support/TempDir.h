#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace nuvlet::test {

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  // Writes a file (creating parent directories) and returns its path.
  std::filesystem::path write(const std::string& relative, const std::string& contents) const;

 private:
  std::filesystem::path path_;
};

// The variables that make `home` a program's home: HOME and the XDG config, data,
// state and cache directories below it.
std::map<std::string, std::string> homeEnvironment(const std::filesystem::path& home);

// The contents of a file, or "" when it cannot be read.
std::string readText(const std::filesystem::path& file);
// The lines of a text or a file, without their line feeds.
std::vector<std::string> splitLines(const std::string& text);
std::vector<std::string> readLines(const std::filesystem::path& file);

}  // namespace nuvlet::test
