#include "nuvlet/platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

namespace nuvlet::files {
namespace {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Removes what writes of `path` killed between creating their temporary and renaming it
// left behind: regular files of ours named "<name>.tmp-" and mkostemp's six characters.
// Only those a minute older than `fresh` (the temporary just made, so the file system's
// own clock decides): a live writer's is written, synced and renamed within a second.
void removeStaleTemporaries(const std::filesystem::path& path, const struct stat& fresh) {
  const std::string prefix = path.filename().string() + ".tmp-";
  const std::string dir = path.has_parent_path() ? path.parent_path().string() : ".";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* entry = ::readdir(d)) {
    const std::string_view name = entry->d_name;
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix) ||
        !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; })) {
      continue;
    }
    struct stat st {};
    if (::fstatat(::dirfd(d), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == fresh.st_uid &&
        st.st_mtim.tv_sec + 60 < fresh.st_mtim.tv_sec) {
      ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
  }
  ::closedir(d);
}

}  // namespace

bool ensureDirectory(const std::filesystem::path& dir, unsigned mode) {
  if (dir.empty()) return false;
  std::vector<std::filesystem::path> missing;
  std::error_code ec;
  for (auto p = dir; !p.empty() && !std::filesystem::exists(p, ec); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) break;
  }
  std::reverse(missing.begin(), missing.end());  // outermost first
  for (const auto& p : missing) {
    if (::mkdir(p.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) return false;
  }
  return std::filesystem::is_directory(dir, ec);
}

std::optional<std::string> readFile(const std::filesystem::path& path, std::size_t maxBytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<std::size_t>(st.st_size) > maxBytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == text.size()) {
      // The file may have grown since fstat; never read past the limit.
      if (text.size() >= maxBytes) break;
      text.resize(std::min(maxBytes, text.size() + 4096));
    }
    ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(got);
  return text;
}

bool writeAtomically(const std::filesystem::path& path, std::string_view bytes, unsigned mode) {
  std::string tmp = path.string() + ".tmp-XXXXXX";
  int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  struct stat fresh {};
  bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 && writeAll(fd, bytes) &&
            ::fsync(fd) == 0 && ::fstat(fd, &fresh) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmp.c_str(), path.c_str()) == 0) {
    removeStaleTemporaries(path, fresh);
    return true;
  }
  ::unlink(tmp.c_str());
  return false;
}

bool moveAside(const std::filesystem::path& path, double unixSeconds) {
  // Clamped so that any clock reading converts (a double past 2^63 would not).
  const auto stamp = std::isfinite(unixSeconds)
                         ? static_cast<long long>(std::clamp(std::floor(unixSeconds), -1e15, 1e15))
                         : 0LL;
  std::string target = path.string() + ".corrupt-" + std::to_string(stamp);
  // Never overwrite an earlier copy: add a counter when the name is taken.
  std::string candidate = target;
  struct stat st {};
  for (int i = 1; ::lstat(candidate.c_str(), &st) == 0; ++i) {
    candidate = target + "-" + std::to_string(i);
  }
  return ::rename(path.c_str(), candidate.c_str()) == 0;
}

}  // namespace nuvlet::files
