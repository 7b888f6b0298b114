// Preloaded into a program that speaks DDC/CI (LD_PRELOAD), it plays the monitors on
// the /dev/i2c-N files a SimulatedMonitors namespace lays out: those files are plain
// files holding a MonitorState, and this library answers the i2c-dev calls made on
// them (I2C_FUNCS, I2C_SLAVE, I2C_SLAVE_FORCE, I2C_RDWR, read, write) as the kernel
// and the monitor would. It also lets the tree of the namespace pass for sysfs: udev
// refuses a device whose directory is not on sysfs. Every other call goes through.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tests/harness/ddc/DdcMonitor.h"

namespace {

using nuvlet::test::simddc::DdcMonitor;
using nuvlet::test::simddc::MonitorState;

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

struct Bus {
  std::uint16_t address = 0;
  bool i2c = false;  // until an i2c-dev call, the file reads and writes as the text it is
  DdcMonitor monitor;
};

// With NUVLET_SIM_DDC_TRACE naming a file, each message is appended to it, as
// "1234.567 w 37: 51 82 01 10 ac", seconds of the monotonic clock first (programs that speak DDC/CI
// often silence their stderr).
void trace(char dir, std::uint16_t address, const std::uint8_t* bytes, std::size_t n, bool ok) {
  static const char* file = std::getenv("NUVLET_SIM_DDC_TRACE");
  if (file == nullptr) return;
  char hex[40];
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  std::snprintf(hex, sizeof hex, "%ld.%03ld %c %02x:", static_cast<long>(ts.tv_sec % 10000),
                ts.tv_nsec / 1000000, dir, address);
  std::string line = std::string(hex) + (ok ? "" : " NAK");
  for (std::size_t i = 0; ok && i < std::min<std::size_t>(n, 48); ++i) {
    std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
    line += hex;
  }
  line += n > 48 && ok ? " ...\n" : "\n";
  int fd = static_cast<int>(
      ::syscall(SYS_openat, AT_FDCWD, file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd < 0) return;
  ::syscall(SYS_write, fd, line.data(), line.size());
  ::syscall(SYS_close, fd);
}

constexpr int kMaxFd = 4096;
std::array<std::atomic<bool>, kMaxFd> simulated{};  // constant-initialised: safe before main

std::mutex& busLock() {
  static auto* m = new std::mutex;  // never destroyed: calls may come during exit
  return *m;
}
std::map<int, Bus>& buses() {
  static auto* m = new std::map<int, Bus>;
  return *m;
}

bool isSimulated(int fd) { return fd >= 0 && fd < kMaxFd && simulated[fd].load(); }

// Whether calls on `fd` go to the monitor: it is a bus file used through i2c-dev.
bool speaksI2c(int fd) {
  if (!isSimulated(fd)) return false;
  std::lock_guard lock(busLock());
  auto it = buses().find(fd);
  return it != buses().end() && it->second.i2c;
}

bool isI2cDevice(const char* path) {
  if (path == nullptr || std::strncmp(path, "/dev/i2c-", 9) != 0 || path[9] == '\0') return false;
  for (const char* p = path + 9; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

int track(int fd, const char* path) {
  if (fd >= 0 && fd < kMaxFd && isI2cDevice(path)) {
    std::lock_guard lock(busLock());
    buses()[fd] = Bus{};
    simulated[fd] = true;
  }
  return fd;
}

double now() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One transaction on the monitor behind `fd`: its file is read, `fn` runs, and what
// changed is written back, under a lock on the file, so that a test or a person may
// change the monitor between two transactions.
template <typename Fn>
bool transact(int fd, Fn fn) {
  std::lock_guard lock(busLock());
  auto it = buses().find(fd);
  if (it == buses().end()) return false;
  ::flock(fd, LOCK_EX);
  std::string text;
  char chunk[65536];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    at += n;
  }
  auto state = nuvlet::test::simddc::parseState(text);
  bool ok = state && fn(it->second, *state);
  if (state) {
    std::string after = nuvlet::test::simddc::formatState(*state);
    if (after != text && ::ftruncate(fd, 0) == 0) {
      [[maybe_unused]] auto n = ::pwrite(fd, after.data(), after.size(), 0);
    }
  }
  ::flock(fd, LOCK_UN);
  return ok;
}

int rdwr(int fd, i2c_rdwr_ioctl_data* data) {
  if (data == nullptr || data->msgs == nullptr) return errno = EINVAL, -1;
  bool ok = transact(fd, [&](Bus& bus, MonitorState& s) {
    for (unsigned i = 0; i < data->nmsgs; ++i) {
      const i2c_msg& m = data->msgs[i];
      std::span<std::uint8_t> buf(m.buf, m.len);
      bool reading = (m.flags & I2C_M_RD) != 0;
      bool acked = reading ? bus.monitor.read(s, m.addr, buf, now())
                           : bus.monitor.write(s, m.addr, buf, now());
      trace(reading ? 'r' : 'w', m.addr, m.buf, m.len, acked);
      if (!acked) return false;
    }
    return true;
  });
  if (!ok) return errno = ENXIO, -1;
  return static_cast<int>(data->nmsgs);
}

}  // namespace

// open() and its kin carry a mode only when they may create the file; it can only be
// read in the variadic function itself.
#define READ_MODE(flags, mode)                  \
  mode_t mode = 0;                              \
  if (((flags) & (O_CREAT | O_TMPFILE)) != 0) { \
    va_list ap;                                 \
    va_start(ap, flags);                        \
    mode = va_arg(ap, mode_t);                  \
    va_end(ap);                                 \
  }

extern "C" {

int open(const char* path, int flags, ...) {
  READ_MODE(flags, mode);
  static auto real = next<int (*)(const char*, int, ...)>("open");
  return track(real(path, flags, mode), path);
}

int open64(const char* path, int flags, ...) {
  READ_MODE(flags, mode);
  static auto real = next<int (*)(const char*, int, ...)>("open64");
  return track(real(path, flags, mode), path);
}

int openat(int dir, const char* path, int flags, ...) {
  READ_MODE(flags, mode);
  static auto real = next<int (*)(int, const char*, int, ...)>("openat");
  return track(real(dir, path, flags, mode), path);
}

int openat64(int dir, const char* path, int flags, ...) {
  READ_MODE(flags, mode);
  static auto real = next<int (*)(int, const char*, int, ...)>("openat64");
  return track(real(dir, path, flags, mode), path);
}

// What _FORTIFY_SOURCE turns open() into when the flags are not known when compiling.
int __open_2(const char* path, int flags) {
  static auto real = next<int (*)(const char*, int)>("__open_2");
  return track(real(path, flags), path);
}

int __open64_2(const char* path, int flags) {
  static auto real = next<int (*)(const char*, int)>("__open64_2");
  return track(real(path, flags), path);
}

int close(int fd) {
  if (isSimulated(fd)) {
    std::lock_guard lock(busLock());
    simulated[fd] = false;
    buses().erase(fd);
  }
  static auto real = next<int (*)(int)>("close");
  return real(fd);
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (isSimulated(fd)) {
    {
      std::lock_guard lock(busLock());
      buses()[fd].i2c = true;
    }
    switch (request) {
      case I2C_FUNCS:
        *static_cast<unsigned long*>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
        return 0;
      case I2C_SLAVE:
      case I2C_SLAVE_FORCE: {
        std::lock_guard lock(busLock());
        buses()[fd].address = static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(arg));
        return 0;
      }
      case I2C_RDWR:
        return rdwr(fd, static_cast<i2c_rdwr_ioctl_data*>(arg));
      case I2C_TIMEOUT:
      case I2C_RETRIES:
        return 0;
      default:
        errno = ENOTTY;
        return -1;
    }
  }
  static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
  return real(fd, request, arg);
}

ssize_t read(int fd, void* buf, size_t count) {
  if (speaksI2c(fd)) {
    std::span<std::uint8_t> out(static_cast<std::uint8_t*>(buf), count);
    bool ok = transact(fd, [&](Bus& bus, MonitorState& s) {
      bool acked = bus.monitor.read(s, bus.address, out, now());
      trace('r', bus.address, out.data(), count, acked);
      return acked;
    });
    return ok ? static_cast<ssize_t>(count) : (errno = ENXIO, -1);
  }
  static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
  return real(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
  if (speaksI2c(fd)) {
    std::span<const std::uint8_t> in(static_cast<const std::uint8_t*>(buf), count);
    bool ok = transact(fd, [&](Bus& bus, MonitorState& s) {
      bool acked = bus.monitor.write(s, bus.address, in, now());
      trace('w', bus.address, in.data(), count, acked);
      return acked;
    });
    return ok ? static_cast<ssize_t>(count) : (errno = ENXIO, -1);
  }
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  return real(fd, buf, count);
}

int fstatfs(int fd, struct statfs* buf) {
  static auto real = next<int (*)(int, struct statfs*)>("fstatfs");
  int rc = real(fd, buf);
  if (rc == 0 && buf->f_type == OVERLAYFS_SUPER_MAGIC) {
    char link[64], target[16] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n >= 5 && std::strncmp(target, "/sys/", 5) == 0) buf->f_type = SYSFS_MAGIC;
  }
  return rc;
}

int fstatfs64(int fd, struct statfs64* buf) {
  static_assert(sizeof(struct statfs64) == sizeof(struct statfs));
  return fstatfs(fd, reinterpret_cast<struct statfs*>(buf));
}

}  // extern "C"
