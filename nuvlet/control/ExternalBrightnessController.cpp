#include "nuvlet/control/ExternalBrightnessController.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <utility>

#include "nuvlet/platform/Text.h"

namespace nuvlet {
namespace {

constexpr std::size_t kMaxToolOutput = std::size_t{64} << 10;

bool isExecutableFile(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(p.c_str(), X_OK) == 0;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

ExternalBrightnessController::ExternalBrightnessController(
    RunLoop& loop, std::optional<std::filesystem::path> toolPath, Options options)
    : loop_(loop), toolPath_(std::move(toolPath)), options_(options) {}

ExternalBrightnessController::~ExternalBrightnessController() {
  alive_.reset();
  for (auto& [id, display] : displays_) {
    if (display.trailingTimer) loop_.cancel(*display.trailingTimer);
  }
  displays_.clear();  // stops and reaps whatever still runs
}

std::vector<std::string> ExternalBrightnessController::readArguments(DisplayID display) {
  return {"display", "id=" + std::to_string(display), "get", "luminance"};
}

std::vector<std::string> ExternalBrightnessController::writeArguments(DisplayID display,
                                                                      int percent) {
  return {"display", "id=" + std::to_string(display), "set", "luminance", std::to_string(percent)};
}

int ExternalBrightnessController::percentFor(double brightness) {
  if (std::isnan(brightness)) return 0;
  return static_cast<int>(std::clamp(std::round(brightness * 100.0), 0.0, 100.0));
}

std::optional<double> ExternalBrightnessController::parseLevel(std::string_view output) {
  while (!output.empty() && isBlank(output.front())) output.remove_prefix(1);
  while (!output.empty() && isBlank(output.back())) output.remove_suffix(1);
  if (output.empty()) return std::nullopt;
  // from_chars takes a leading '-' but not a '+', and must not see a second sign.
  bool plus = output.front() == '+';
  std::string_view digits = plus ? output.substr(1) : output;
  std::size_t first = !plus && digits.front() == '-' ? 1 : 0;
  if (digits.size() <= first || digits[first] < '0' || digits[first] > '9') return std::nullopt;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return static_cast<double>(std::clamp<std::int64_t>(value, 0, 100)) / 100.0;
}

std::optional<std::filesystem::path> ExternalBrightnessController::locateTool(
    const Defaults& defaults, const std::filesystem::path& executable) {
  if (auto setting = defaults.value("monitorToolPath");
      setting && setting->is_string() && !setting->get<std::string>().empty()) {
    std::filesystem::path chosen = setting->get<std::string>();
    if (chosen.is_absolute() && isExecutableFile(chosen)) return chosen;
    return std::nullopt;  // a path the user chose is never silently replaced
  }
  auto dir = executable.parent_path();
  for (const char* relative : {"../libexec/nuvlet/nuvlet-ddc", "../tools/nuvlet-ddc/nuvlet-ddc"}) {
    auto candidate = (dir / relative).lexically_normal();
    if (isExecutableFile(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> ExternalBrightnessController::locateTool(
    const Defaults& defaults) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) self.clear();
  return locateTool(defaults, self);
}

void ExternalBrightnessController::get(DisplayID display,
                                       std::function<void(std::optional<double>)> done) {
  Job job{false, readArguments(display), {}};
  job.waiters.push_back([done = std::move(done)](std::optional<std::string> out) {
    if (done) done(out ? parseLevel(*out) : std::nullopt);
  });
  enqueue(display, std::move(job));
}

void ExternalBrightnessController::probe(DisplayID display, std::function<void(bool)> done) {
  Job job{false, readArguments(display), {}};
  job.waiters.push_back([done = std::move(done)](std::optional<std::string> out) {
    if (done) done(out.has_value());
  });
  enqueue(display, std::move(job));
}

void ExternalBrightnessController::set(DisplayID display, double brightness,
                                       std::function<void(bool)> done) {
  auto answer = [this, &done](bool value) {
    if (done) later([done = std::move(done), value] { done(value); });
  };
  if (std::isnan(brightness)) return answer(false);
  // The monotonic clock: a wall clock stepped back would otherwise hold every
  // write back for as long as the step.
  double now = loop_.clock().monotonic();
  auto& d = displays_[display];
  if (d.lastWriteStart && now - *d.lastWriteStart < kMinWriteInterval) {
    d.pending = brightness;
    if (!d.trailingTimer) {
      double elapsed = loop_.clock().monotonic() - *d.lastWriteStart;
      scheduleTrailingWrite(
          display, std::clamp(kMinWriteInterval - elapsed, kMinTrailingDelay, kMinWriteInterval));
    }
    return answer(false);
  }
  writeNow(display, brightness, now, std::move(done));
}

void ExternalBrightnessController::writeNow(DisplayID display, double brightness, double at,
                                            std::function<void(bool)> done) {
  auto& d = displays_[display];
  // Before the tool runs, so that a failed write still counts for the rate limit.
  d.lastWriteStart = at;
  d.pending.reset();
  Job job{true, writeArguments(display, percentFor(brightness)), {}};
  if (done) {
    job.waiters.push_back(
        [done = std::move(done)](std::optional<std::string> out) { done(out.has_value()); });
  }
  enqueue(display, std::move(job));
}

void ExternalBrightnessController::scheduleTrailingWrite(DisplayID display, double delay) {
  std::weak_ptr<bool> alive = alive_;
  displays_[display].trailingTimer = loop_.scheduleAfter(delay, [this, alive, display] {
    if (!alive.lock()) return;
    auto& d = displays_[display];
    d.trailingTimer.reset();
    // An immediate write may have taken the value meanwhile; then there is nothing to do.
    if (d.pending) writeNow(display, *d.pending, loop_.clock().monotonic(), {});
  });
}

void ExternalBrightnessController::enqueue(DisplayID display, Job job) {
  auto failAll = [this](std::vector<Waiter> waiters) {
    later([waiters = std::move(waiters)] {
      for (const auto& w : waiters) w(std::nullopt);
    });
  };
  if (!toolPath_) return failAll(std::move(job.waiters));
  auto& d = displays_[display];
  if (!d.queue.empty() && d.queue.back().write == job.write) {
    Job& tail = d.queue.back();
    if (job.write) {
      // The waiting write never reaches the monitor: the newer value replaces it.
      auto superseded = std::move(tail.waiters);
      tail = std::move(job);
      return failAll(std::move(superseded));
    }
    if (tail.args == job.args) {
      // One read answers every reader that asked while it waited.
      for (auto& w : job.waiters) tail.waiters.push_back(std::move(w));
      return;
    }
  }
  if (d.queue.size() >= options_.maxQueuedRuns) return failAll(std::move(job.waiters));
  d.queue.push_back(std::move(job));
  startNext(display);
}

void ExternalBrightnessController::startNext(DisplayID display) {
  auto& d = displays_[display];
  if (d.running || d.queue.empty()) return;
  Job job = std::move(d.queue.front());
  d.queue.pop_front();
  std::vector<std::string> argv{toolPath_->string()};
  argv.insert(argv.end(), job.args.begin(), job.args.end());
  Subprocess::Options runOptions{options_.subprocessTimeout, options_.killGrace, kMaxToolOutput};
  std::weak_ptr<bool> alive = alive_;
  d.running = Subprocess::start(
      loop_, argv, runOptions,
      [this, alive, display, waiters = std::move(job.waiters)](SubprocessResult result) {
        std::optional<std::string> out;
        // Output that is not UTF-8 is no answer.
        if (result.succeeded() && text::repairUtf8(result.out) == result.out) {
          out = std::move(result.out);
        }
        displays_[display].running.reset();
        startNext(display);
        for (const auto& w : waiters) {
          w(out);
          if (!alive.lock()) return;  // a caller let the controller go
        }
      });
}

void ExternalBrightnessController::later(std::function<void()> fn) {
  std::weak_ptr<bool> alive = alive_;
  loop_.post([alive, fn = std::move(fn)] {
    if (alive.lock()) fn();
  });
}

bool ExternalBrightnessController::busy() const {
  return std::any_of(displays_.begin(), displays_.end(), [](const auto& entry) {
    const Display& d = entry.second;
    return d.running || !d.queue.empty() || d.trailingTimer;
  });
}

}  // namespace nuvlet
