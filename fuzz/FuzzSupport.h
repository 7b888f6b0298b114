#pragma once

// Shared by the fuzz targets: a property check that stops the run with a message
// (libFuzzer then keeps the input that tripped it), a scratch directory per process
// and a clock that stands still.

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "nuvlet/platform/Clock.h"

namespace nuvlet::fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property does not hold: %s\n", file, line, what);
  std::abort();
}

#define FUZZ_CHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::nuvlet::fuzz::fail(#cond, __FILE__, __LINE__))

// This process's own directory, created on first use and removed at exit.
inline const std::filesystem::path& scratchRoot() {
  static const std::filesystem::path root = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "nuvlet-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp", __FILE__, __LINE__);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratchRoot(), ec);
    });
    return std::filesystem::path(pattern);
  }();
  return root;
}

// The scratch directory, emptied: every input starts from nothing.
inline std::filesystem::path freshScratch() {
  const auto& root = scratchRoot();
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
  }
  return root;
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class FixedClock final : public Clock {
 public:
  explicit FixedClock(double unixSeconds) : t_(unixSeconds) {}
  double now() const override { return t_; }
  double monotonic() const override { return t_; }

 private:
  double t_;
};

}  // namespace nuvlet::fuzz
