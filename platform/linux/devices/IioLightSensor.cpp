#include "platform/linux/devices/IioLightSensor.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <regex>
#include <system_error>
#include <vector>

namespace nuvlet::linux_platform {
namespace {

namespace fs = std::filesystem;

// A sysfs attribute is one short line. Its reported size is a page whatever it holds,
// so it is read as far as it goes rather than by its size.
std::optional<std::string> readAttribute(const fs::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::string text(4096, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
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

// A sysfs attribute holds one number and a line feed.
std::optional<double> readNumber(const fs::path& file) {
  auto text = readAttribute(file);
  if (!text) return std::nullopt;
  std::string_view s = *text;
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// Per-channel attributes win over the ones shared by every channel of the type.
fs::path attribute(const fs::path& dir, const std::string& index, const std::string& what) {
  fs::path own = dir / ("in_illuminance" + index + "_" + what);
  if (isFile(own)) return own;
  fs::path shared = dir / ("in_illuminance_" + what);
  return isFile(shared) ? shared : fs::path();
}

}  // namespace

std::optional<IioIlluminance> findIioIlluminance(const fs::path& root, std::string* why) {
  std::error_code ec;
  std::vector<fs::path> devices;
  for (const auto& entry : fs::directory_iterator(root, ec)) devices.push_back(entry.path());
  std::sort(devices.begin(), devices.end());
  std::string intensityOnly;
  static const std::regex channel(R"(in_illuminance(\d*)_(input|raw))");
  for (const auto& dir : devices) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::optional<IioIlluminance> found;
    for (const auto& name : names) {
      std::smatch m;
      if (!std::regex_match(name, m, channel)) continue;
      IioIlluminance c;
      c.device = dir;
      c.name = readAttribute(dir / "name").value_or("");
      while (!c.name.empty() && (c.name.back() == '\n' || c.name.back() == ' ')) c.name.pop_back();
      const std::string index = m[1];
      c.input = attribute(dir, index, "input");
      if (c.input.empty()) {
        c.raw = dir / name;
        c.offset = attribute(dir, index, "offset");
        c.scale = attribute(dir, index, "scale");
      }
      // A processed reading beats raw counts on any channel.
      if (!found || (found->input.empty() && !c.input.empty())) found = c;
    }
    if (found) return found;
    if (intensityOnly.empty() && std::any_of(names.begin(), names.end(), [](const auto& n) {
          return n.rfind("in_intensity", 0) == 0;
        })) {
      intensityOnly = dir.filename().string();
    }
  }
  if (why != nullptr) {
    *why = !intensityOnly.empty() ? intensityOnly + " reports light intensity only, not lux"
                                  : "no IIO illuminance channel under " + root.string();
  }
  return std::nullopt;
}

std::optional<double> readIioLux(const IioIlluminance& c) {
  std::optional<double> lux;
  if (!c.input.empty()) {
    lux = readNumber(c.input);
  } else {
    auto raw = readNumber(c.raw);
    if (!raw) return std::nullopt;
    double offset = 0, scale = 1;
    if (!c.offset.empty()) {
      auto o = readNumber(c.offset);
      if (!o) return std::nullopt;
      offset = *o;
    }
    if (!c.scale.empty()) {
      auto s = readNumber(c.scale);
      if (!s) return std::nullopt;
      scale = *s;
    }
    lux = (*raw + offset) * scale;
  }
  if (!lux || !std::isfinite(*lux) || *lux < 0) return std::nullopt;
  return lux;
}

namespace {

struct Reading {
  std::optional<double> lux;
  bool inFlight = false;
};

class IioLightSensor final : public LightSensorDevice {
 public:
  IioLightSensor(RunLoop& loop, WorkQueue& worker, std::optional<IioIlluminance> channel,
                 std::string why, double interval)
      : loop_(loop), worker_(worker), channel_(std::move(channel)), why_(std::move(why)) {
    if (!channel_) return;
    readSoon();
    timer_ = loop_.scheduleRepeating(interval, [this] { readSoon(); });
  }
  ~IioLightSensor() override {
    if (timer_) loop_.cancel(*timer_);
  }
  IioLightSensor(const IioLightSensor&) = delete;
  IioLightSensor& operator=(const IioLightSensor&) = delete;

  bool isAvailable() const override { return channel_.has_value(); }
  std::optional<double> lux() const override { return reading_->lux; }
  std::string describe() const override {
    if (!channel_) return why_;
    const auto& c = *channel_;
    std::string source = c.input.empty()
                             ? c.raw.filename().string() + (c.scale.empty() ? "" : " × scale")
                             : c.input.filename().string();
    return "IIO " + c.device.filename().string() + (c.name.empty() ? "" : " (" + c.name + ")") +
           ", " + source;
  }

 private:
  void readSoon() {
    // A slow sensor must not pile up reads behind each other.
    if (reading_->inFlight) return;
    reading_->inFlight = true;
    std::weak_ptr<Reading> weak = reading_;
    RunLoop* loop = &loop_;
    IioIlluminance channel = *channel_;
    worker_.async([weak, loop, channel] {
      auto lux = readIioLux(channel);
      loop->post([weak, lux] {
        if (auto reading = weak.lock()) {
          reading->lux = lux;
          reading->inFlight = false;
        }
      });
    });
  }

  RunLoop& loop_;
  WorkQueue& worker_;
  std::optional<IioIlluminance> channel_;
  std::string why_;
  std::shared_ptr<Reading> reading_ = std::make_shared<Reading>();
  std::optional<RunLoop::TimerId> timer_;
};

}  // namespace

std::unique_ptr<LightSensorDevice> makeIioLightSensor(RunLoop& loop, WorkQueue& worker,
                                                      const fs::path& root, double interval) {
  std::string why;
  auto channel = findIioIlluminance(root, &why);
  return std::make_unique<IioLightSensor>(loop, worker, std::move(channel), std::move(why),
                                          interval);
}

}  // namespace nuvlet::linux_platform
