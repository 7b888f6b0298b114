#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>

namespace nuvlet::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "nuvlet-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make files read-only on purpose; give write access back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& relative,
                                     const std::string& contents) const {
  auto file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << contents;
  return file;
}

std::string readText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
  return splitLines(readText(file));
}

std::map<std::string, std::string> homeEnvironment(const std::filesystem::path& home) {
  return {{"HOME", home.string()},
          {"XDG_CONFIG_HOME", (home / "config").string()},
          {"XDG_DATA_HOME", (home / "data").string()},
          {"XDG_STATE_HOME", (home / "state").string()},
          {"XDG_CACHE_HOME", (home / "cache").string()}};
}

}  // namespace nuvlet::test
