#include "tests/harness/SimulatedMonitors.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace nuvlet::test {

namespace fs = std::filesystem;

namespace {

const fs::path kCard = "/sys/devices/simulated-gpu";

std::string failed(const std::string& what) { return what + ": " + std::strerror(errno); }

void put(const fs::path& file, const std::string& contents) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
}

void link(const fs::path& target, const fs::path& at) {
  std::error_code ec;
  fs::create_directories(at.parent_path());
  fs::remove(at, ec);
  fs::create_directory_symlink(target, at, ec);
}

// Rewrites a bus file in place under its lock, as the shim expects.
void writeLocked(const fs::path& file, const std::string& text) {
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;
  ::flock(fd, LOCK_EX);
  if (::ftruncate(fd, 0) == 0) {
    [[maybe_unused]] auto n = ::pwrite(fd, text.data(), text.size(), 0);
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
}

}  // namespace

SimulatedMonitors::SimulatedMonitors() {
  if (::geteuid() != 0) {
    whyNot_ = "needs root to mount the simulated /sys and /dev";
    return;
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    whyNot_ = failed("unshare");
    return;
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    whyNot_ = failed("private mounts");
    return;
  }
  const fs::path s = staging_.path();
  if (::mount("tmpfs", s.c_str(), "tmpfs", 0, "mode=0755") != 0) {
    whyNot_ = failed("tmpfs");
    return;
  }
  for (const char* d : {"sys/up", "sys/work", "dev/up", "dev/work", "keep/shm", "keep/pts"}) {
    fs::create_directories(s / d);
  }
  auto overlay = [&](const char* name) {
    std::string options = std::string("lowerdir=/") + name +
                          ",upperdir=" + (s / name / "up").string() +
                          ",workdir=" + (s / name / "work").string();
    return ::mount("overlay", (std::string("/") + name).c_str(), "overlay", 0, options.c_str()) ==
           0;
  };
  if (!(mountedSys_ = overlay("sys"))) {
    whyNot_ = failed("overlay on /sys");
    return;
  }
  // The overlay hides what is mounted below /dev; the sessions of the tests need these.
  std::vector<std::string> kept;
  for (const char* sub : {"shm", "pts"}) {
    auto from = fs::path("/dev") / sub;
    if (::mount(from.c_str(), (s / "keep" / sub).c_str(), nullptr, MS_BIND | MS_REC, nullptr) ==
        0) {
      kept.push_back(sub);
    }
  }
  if (!(mountedDev_ = overlay("dev"))) {
    whyNot_ = failed("overlay on /dev");
    return;
  }
  for (const auto& sub : kept) {
    ::mount((s / "keep" / sub).c_str(), (fs::path("/dev") / sub).c_str(), nullptr, MS_MOVE,
            nullptr);
  }
  put(kCard / "uevent", "");
  put(kCard / "drm/card0/uevent", "MAJOR=226\nMINOR=0\nDEVNAME=dri/card0\nDEVTYPE=drm_minor\n");
  put(kCard / "drm/card0/dev", "226:0\n");
  link("/sys/class/drm", kCard / "drm/card0/subsystem");
  link(kCard / "drm/card0", "/sys/class/drm/card0");
}

SimulatedMonitors::~SimulatedMonitors() {
  if (mountedDev_) ::umount2("/dev", MNT_DETACH);
  if (mountedSys_) ::umount2("/sys", MNT_DETACH);
  ::umount2(staging_.path().c_str(), MNT_DETACH);
}

fs::path SimulatedMonitors::busDir(int bus) const { return kCard / ("i2c-" + std::to_string(bus)); }

void SimulatedMonitors::layBus(int bus, const std::string& name) {
  const std::string id = "i2c-" + std::to_string(bus);
  const fs::path dir = busDir(bus);
  put(dir / "name", name + "\n");
  put(dir / "uevent", "DEVTYPE=i2c_adapter\n");
  link("/sys/bus/i2c", dir / "subsystem");
  put(dir / "i2c-dev" / id / "name", name + "\n");
  put(dir / "i2c-dev" / id / "dev", "89:" + std::to_string(bus) + "\n");
  put(dir / "i2c-dev" / id / "uevent",
      "MAJOR=89\nMINOR=" + std::to_string(bus) + "\nDEVNAME=" + id + "\n");
  link("/sys/class/i2c-dev", dir / "i2c-dev" / id / "subsystem");
  link(dir, dir / "i2c-dev" / id / "device");
  link(dir, fs::path("/sys/bus/i2c/devices") / id);
  link(dir / "i2c-dev" / id, fs::path("/sys/class/i2c-dev") / id);
}

void SimulatedMonitors::addBus(int bus, const std::string& name,
                               const simddc::MonitorState& state) {
  layBus(bus, name);
  setState(bus, state);
}

void SimulatedMonitors::plug(const std::string& connector, int bus,
                             const simddc::MonitorState& state,
                             std::optional<std::string> sysfsEdid, bool linked) {
  layBus(bus, "simulated ddc " + connector);
  const fs::path dir = kCard / "drm/card0" / ("card0-" + connector);
  put(dir / "status", "connected\n");
  put(dir / "enabled", "enabled\n");
  put(dir / "dpms", "On\n");
  put(dir / "uevent", "");
  put(dir / "edid", sysfsEdid.value_or(std::string(state.edid.begin(), state.edid.end())));
  link("/sys/class/drm", dir / "subsystem");
  std::error_code ec;
  fs::remove(dir / "ddc", ec);
  if (linked) link(busDir(bus), dir / "ddc");
  link(dir, fs::path("/sys/class/drm") / ("card0-" + connector));
  setState(bus, state);
}

void SimulatedMonitors::unplug(const std::string& connector, int bus) {
  const fs::path dir = kCard / "drm/card0" / ("card0-" + connector);
  put(dir / "status", "disconnected\n");
  put(dir / "enabled", "disabled\n");
  put(dir / "edid", "");
  simddc::MonitorState nobody;
  nobody.fault = simddc::Fault::Nak;
  setState(bus, nobody);
}

std::optional<simddc::MonitorState> SimulatedMonitors::state(int bus) const {
  return simddc::parseState(readText("/dev/i2c-" + std::to_string(bus)));
}

void SimulatedMonitors::setState(int bus, const simddc::MonitorState& state) {
  writeLocked("/dev/i2c-" + std::to_string(bus), simddc::formatState(state));
}

void SimulatedMonitors::change(int bus, const std::function<void(simddc::MonitorState&)>& fn) {
  auto s = state(bus);
  if (!s) return;
  fn(*s);
  setState(bus, *s);
}

std::map<std::string, std::string> SimulatedMonitors::environment() const {
  return {{"LD_PRELOAD", shim().string()}, {"NUVLET_SYSFS_ROOT", "/sys"}};
}

fs::path SimulatedMonitors::shim() { return NUVLET_DDC_SHIM; }

}  // namespace nuvlet::test
