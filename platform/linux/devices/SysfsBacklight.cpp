#include "platform/linux/devices/SysfsBacklight.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "nuvlet/platform/Text.h"
#include "platform/linux/session/BusConnection.h"

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kLogindName = "org.freedesktop.login1";
constexpr const char* kSessionPath = "/org/freedesktop/login1/session/auto";
constexpr const char* kSessionInterface = "org.freedesktop.login1.Session";

// The text of a small attribute file, or why not. sysfs reports 4096 bytes for
// every attribute, so the size is not asked.
struct SmallRead {
  std::string text;
  int error = 0;
};

SmallRead readSmallFile(const fs::path& path) {
  SmallRead r;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    r.error = errno;
    return r;
  }
  char buf[128];
  std::size_t got = 0;
  for (;;) {
    ssize_t n = ::read(fd, buf + got, sizeof buf - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      break;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
    if (got == sizeof buf) break;
  }
  ::close(fd);
  r.text.assign(buf, got);
  return r;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) {
    s.remove_suffix(1);
  }
  return s;
}

// A non-negative decimal integer filling the whole (trimmed) text.
std::optional<std::int64_t> parseCount(std::string_view text) {
  text = trim(text);
  if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
  std::int64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

// A diagnosis line from text we do not control: valid UTF-8, one line, not too long.
std::string oneLine(std::string_view text) {
  std::string s = text::repairUtf8(text.substr(0, 240));
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return s;
}

std::string inQuotes(std::string_view s) { return "\"" + oneLine(s) + "\""; }

struct RawReading {
  std::optional<std::int64_t> value;
  std::string problem;
};

RawReading readCount(const fs::path& file, std::string_view what) {
  RawReading r;
  auto read = readSmallFile(file);
  if (read.error != 0) {
    r.problem = std::string(what) + " unreadable: " + std::strerror(read.error);
    return r;
  }
  r.value = parseCount(read.text);
  if (!r.value) r.problem = std::string(what) + " holds " + inQuotes(trim(read.text));
  return r;
}

int kindRank(std::string_view kind) {
  if (kind == "firmware") return 0;
  if (kind == "platform") return 1;
  if (kind == "raw") return 2;
  return 3;
}

// A device name is one path component.
bool validName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

std::string describeBusError(GError* error) {
  if (error == nullptr) return "unknown error";
  if (g_dbus_error_is_remote_error(error)) {
    char* remote = g_dbus_error_get_remote_error(error);
    ErrorPtr copy(g_error_copy(error));
    g_dbus_error_strip_remote_error(copy.get());
    std::string line = std::string(remote != nullptr ? remote : "") + ": " + copy->message;
    g_free(remote);
    return oneLine(line);
  }
  return oneLine(error->message);
}

class SysfsBacklight final : public BacklightDevice {
 public:
  explicit SysfsBacklight(SysfsBacklightOptions options) : options_(std::move(options)) {
    chooseDevice();
    if (!name_.empty()) chooseWritePath();
  }

  ~SysfsBacklight() override {
    if (bus_ != nullptr) {
      g_dbus_connection_close_sync(bus_, nullptr, nullptr);
      g_object_unref(bus_);
    }
  }

  SysfsBacklight(const SysfsBacklight&) = delete;
  SysfsBacklight& operator=(const SysfsBacklight&) = delete;

  std::optional<double> read() override {
    if (name_.empty()) return std::nullopt;
    auto max = readMax();
    if (!max) return std::nullopt;
    auto raw = readCount(dir_ / "brightness", "brightness");
    if (!raw.value) return readFailed(std::move(raw.problem));
    if (*raw.value > *max) {
      return readFailed("brightness " + std::to_string(*raw.value) + " is above max_brightness " +
                        std::to_string(*max));
    }
    readFailure_.clear();
    return static_cast<double>(*raw.value) / static_cast<double>(*max);
  }

  bool write(double level) override {
    if (!(level >= 0 && level <= 1)) return false;
    if (writePath_ == BacklightWritePath::None || name_.empty()) return false;
    auto max = readMax();
    if (!max) return writeFailed("no write: " + readFailure_);
    const std::int64_t raw = rawFor(level, *max);
    bool ok = writePath_ == BacklightWritePath::Sysfs ? writeSysfs(raw) : writeLogind(raw);
    if (ok) writeFailure_.clear();
    return ok;
  }

  double nearestStep(double level) const override {
    if (!(level >= 0 && level <= 1) || lastMax_ <= 0) return level;
    return static_cast<double>(rawFor(level, lastMax_)) / static_cast<double>(lastMax_);
  }

  BacklightInfo info() const override {
    BacklightInfo info;
    info.name = name_;
    info.kind = kind_;
    if (!name_.empty()) info.maxRaw = readCount(dir_ / "max_brightness", "").value.value_or(0);
    info.writePath = writePath_;
    info.problem = !writeFailure_.empty()  ? writeFailure_
                   : !readFailure_.empty() ? readFailure_
                                           : startupNote_;
    return info;
  }

 private:
  void chooseDevice() {
    const auto candidates = listBacklights(options_.sysfsRoot);
    const BacklightCandidate* chosen = nullptr;
    if (!options_.deviceName.empty()) {
      if (!validName(options_.deviceName)) {
        startupNote_ = "backlightDevice " + inQuotes(options_.deviceName) + " is not a device name";
      } else {
        for (const auto& c : candidates) {
          if (c.name == options_.deviceName) chosen = &c;
        }
        if (chosen == nullptr) {
          startupNote_ = "backlightDevice " + inQuotes(options_.deviceName) + " not found";
        }
      }
    }
    if (chosen == nullptr && !candidates.empty()) chosen = &candidates.front();
    if (chosen == nullptr) {
      if (startupNote_.empty()) {
        startupNote_ = "no device in " + (options_.sysfsRoot / "class/backlight").string();
      }
      return;
    }
    if (!startupNote_.empty()) startupNote_ += "; using " + chosen->name;
    name_ = chosen->name;
    kind_ = chosen->kind;
    dir_ = options_.sysfsRoot / "class/backlight" / name_;
  }

  void chooseWritePath() {
    const auto file = dir_ / "brightness";
    const bool writable = ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0;
    if (options_.write == BacklightWriteChoice::Sysfs ||
        (options_.write == BacklightWriteChoice::Automatic && writable)) {
      writePath_ = BacklightWritePath::Sysfs;
      if (!writable) startupNote_ = "brightness is not writable for this user";
      return;
    }
    std::string why = connectToLogind();
    if (why.empty()) {
      writePath_ = BacklightWritePath::Logind;
      return;
    }
    startupNote_ = options_.write == BacklightWriteChoice::Logind
                       ? why
                       : "cannot write: brightness is not writable and " + why;
  }

  // Empty on success, else why logind cannot be used.
  std::string connectToLogind() {
    GError* raw = nullptr;
    char* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &raw);
    ErrorPtr error(raw);
    if (address == nullptr) return "no system bus: " + describeBusError(error.get());
    raw = nullptr;
    bus_ = connectToBus(address, nullptr, &raw);
    g_free(address);
    error.reset(raw);
    if (bus_ == nullptr) return "no system bus: " + describeBusError(error.get());
    raw = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", kLogindName), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, options_.busTimeoutMs, nullptr, &raw);
    error.reset(raw);
    if (reply == nullptr) return "system bus did not answer: " + describeBusError(error.get());
    gboolean owned = FALSE;
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
    if (!owned) return std::string("logind (") + kLogindName + ") is not on the system bus";
    return {};
  }

  // Never 0: some panels switch off there, and a dark screen is not a level to land on
  // by rounding.
  static std::int64_t rawFor(double level, std::int64_t max) {
    return std::clamp<std::int64_t>(std::llround(level * static_cast<double>(max)), 1, max);
  }

  std::optional<std::int64_t> readMax() {
    auto max = readCount(dir_ / "max_brightness", "max_brightness");
    if (!max.value) {
      readFailed(std::move(max.problem));
      return std::nullopt;
    }
    if (*max.value <= 0) {
      readFailed("max_brightness is 0");
      return std::nullopt;
    }
    lastMax_ = *max.value;
    return max.value;
  }

  std::nullopt_t readFailed(std::string problem) {
    readFailure_ = std::move(problem);
    return std::nullopt;
  }

  bool writeFailed(std::string problem) {
    writeFailure_ = std::move(problem);
    return false;
  }

  bool writeSysfs(std::int64_t raw) {
    const auto file = dir_ / "brightness";
    int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return writeFailed(std::string("cannot open brightness: ") + std::strerror(errno));
    const std::string text = std::to_string(raw) + "\n";
    ssize_t n;
    do {
      n = ::write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (n != static_cast<ssize_t>(text.size())) {
      return writeFailed(std::string("writing brightness failed: ") +
                         (n < 0 ? std::strerror(writeErrno) : "short write"));
    }
    if (!closed) return writeFailed("writing brightness failed on close");
    return true;
  }

  bool writeLogind(std::int64_t raw) {
    if (raw > std::numeric_limits<guint32>::max()) return writeFailed("level too large for logind");
    GError* rawError = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, kLogindName, kSessionPath, kSessionInterface, "SetBrightness",
        g_variant_new("(ssu)", "backlight", name_.c_str(), static_cast<guint32>(raw)), nullptr,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, options_.busTimeoutMs, nullptr, &rawError);
    ErrorPtr error(rawError);
    if (reply == nullptr) {
      if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_TIMED_OUT)) {
        return writeFailed("logind did not answer SetBrightness within " +
                           std::to_string(options_.busTimeoutMs) + " ms");
      }
      return writeFailed("logind refused SetBrightness: " + describeBusError(error.get()));
    }
    g_variant_unref(reply);
    return true;
  }

  SysfsBacklightOptions options_;
  std::string name_;
  std::string kind_;
  fs::path dir_;
  BacklightWritePath writePath_ = BacklightWritePath::None;
  GDBusConnection* bus_ = nullptr;
  std::string startupNote_;
  std::string readFailure_;
  std::int64_t lastMax_ = 0;  // the range at the last read or write
  std::string writeFailure_;
};

}  // namespace

std::vector<BacklightCandidate> listBacklights(const fs::path& sysfsRoot) {
  std::vector<BacklightCandidate> found;
  std::error_code ec;
  for (fs::directory_iterator it(sysfsRoot / "class/backlight", ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code dirError;
    if (!validName(name) || !fs::is_directory(it->path(), dirError)) continue;
    BacklightCandidate c;
    c.name = name;
    auto type = readSmallFile(it->path() / "type");
    if (type.error == 0) c.kind = oneLine(trim(type.text));
    auto max = readCount(it->path() / "max_brightness", "");
    if (max.value && *max.value > 0) c.maxRaw = max.value;
    found.push_back(std::move(c));
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return std::tuple(!a.maxRaw.has_value(), kindRank(a.kind), a.name) <
           std::tuple(!b.maxRaw.has_value(), kindRank(b.kind), b.name);
  });
  return found;
}

std::unique_ptr<BacklightDevice> makeSysfsBacklight(SysfsBacklightOptions options) {
  return std::make_unique<SysfsBacklight>(std::move(options));
}

}  // namespace nuvlet::linux_platform
