#pragma once
// Plays a small disk that fills up or turns read-only: a 256 KiB tmpfs, mounted in a
// private mount namespace of the test process, so it vanishes with the process whatever
// happens.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

namespace nuvlet::test {

class SmallDisk {
 public:
  ~SmallDisk() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }

  // Mounts the disk at `at` (created); why that is impossible here, or "".
  std::string mount(const std::filesystem::path& at) {
    if (::geteuid() != 0) return "needs root to mount a small file system";
    if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      return std::string("private mounts: ") + std::strerror(errno);
    }
    std::filesystem::create_directories(at);
    if (::mount("tmpfs", at.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0) {
      return std::string("tmpfs: ") + std::strerror(errno);
    }
    at_ = at;
    mounted_ = true;
    return "";
  }

  // A read-only view over the disk (a bind mount), or the disk writable again; why it
  // failed, or "".
  std::string readOnly(bool on) {
    const char* at = at_.c_str();
    if (!on) return ::umount2(at, 0) == 0 ? "" : std::strerror(errno);
    if (::mount(at, at, nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, at, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
      return std::strerror(errno);
    }
    return "";
  }

  // Fills the disk to the last byte with `file`; false when it never filled.
  static bool fill(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string block(4096, 'x');
    for (int i = 0; i < 1000; ++i) {
      if (::write(fd, block.data(), block.size()) < 0) break;
    }
    for (int i = 0; i < 4096; ++i) {
      if (::write(fd, "x", 1) < 0) break;
    }
    const bool full = ::write(fd, "x", 1) < 0 && errno == ENOSPC;
    ::close(fd);
    return full;
  }

 private:
  std::filesystem::path at_;
  bool mounted_ = false;
};

}  // namespace nuvlet::test
