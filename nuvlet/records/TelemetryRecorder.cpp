#include "nuvlet/records/TelemetryRecorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/LocalTime.h"
#include "nuvlet/platform/Text.h"

namespace nuvlet {
namespace {

// Rounds to `decimals` places, halves away from zero. Nothing finite to write (the
// value, or its rounding, is infinite or not a number) becomes 0, as JSON has no
// such numbers.
double rounded(double v, int decimals) {
  static constexpr double kScale[] = {1, 10, 100, 1000, 10000};
  const double scale = kScale[decimals];
  const double r = std::round(v * scale) / scale;
  if (!std::isfinite(r) || r == 0) return 0;  // also turns -0 into 0
  return r;
}

void appendNumber(std::string& out, double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, ec == std::errc() ? end : buf);
}

void appendString(std::string& out, std::string_view raw) {
  const std::string s = text::repairUtf8(raw);
  out += '"';
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", u);
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

class RowWriter {
 public:
  void key(std::string_view name) {
    out_ += out_.empty() ? '{' : ',';
    out_ += '"';
    out_ += name;
    out_ += "\":";
  }
  void number(std::string_view name, double v, int decimals) {
    key(name);
    appendNumber(out_, rounded(v, decimals));
  }
  void number(std::string_view name, const std::optional<double>& v, int decimals) {
    if (v) number(name, *v, decimals);
  }
  void integer(std::string_view name, long long v) {
    key(name);
    out_ += std::to_string(v);
  }
  void boolean(std::string_view name, bool v) {
    key(name);
    out_ += v ? "true" : "false";
  }
  void string(std::string_view name, std::optional<std::string_view> v) {
    if (!v) return;
    key(name);
    appendString(out_, *v);
  }
  std::string finish() { return std::move(out_) + '}'; }
  std::string& raw() { return out_; }

 private:
  std::string out_;
};

std::optional<std::string_view> view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

}  // namespace

TelemetryRecorder::TelemetryRecorder(const Paths& paths, Defaults& defaults, RunLoop& loop)
    : directory_(paths.telemetryDir()), defaults_(defaults), loop_(loop) {
  files::ensureDirectory(directory_);
  isRecording_ = defaults_.boolOr(kSettingKey, false);
}

TelemetryRecorder::~TelemetryRecorder() {
  if (tickTimer_) loop_.cancel(*tickTimer_);
  closeFile();
}

void TelemetryRecorder::startIfEnabled() {
  if (isRecording_ && !tickTimer_) beginSession();
}

void TelemetryRecorder::toggleRecording() { setRecording(!isRecording_); }

void TelemetryRecorder::setRecording(bool on) {
  if (on == isRecording_) return;
  isRecording_ = on;
  defaults_.setValue(kSettingKey, on);
  if (on) {
    beginSession();
  } else {
    endSession();
  }
  if (onRecordingChange_) onRecordingChange_(on);
}

void TelemetryRecorder::recordEvent(std::string_view event, std::optional<std::string_view> source,
                                    std::optional<double> bBefore, std::optional<double> bAfter) {
  if (!isRecording_) return;
  writeRow(event, event, source, bBefore, bAfter);
}

void TelemetryRecorder::beginSession() {
  writeRow("start", "session_start", std::nullopt, std::nullopt, std::nullopt);
  // The recorder cancels the timer before it goes away, so `this` stays valid.
  tickTimer_ = loop_.scheduleRepeating(kTickInterval, [this] { tick(); });
}

void TelemetryRecorder::endSession() {
  if (tickTimer_) loop_.cancel(*tickTimer_);
  tickTimer_.reset();
  closeFile();
  currentDay_.clear();
  lastBrightness_ = -1.0;
  lastApp_.reset();
  lastLumSlow_ = -1.0;
  lastWrite_.reset();
}

void TelemetryRecorder::tick() {
  if (!snapshotProvider_) return;
  const TelemetrySnapshot s = snapshotProvider_();
  const double elapsed = lastWrite_ ? loop_.clock().monotonic() - *lastWrite_ : INFINITY;
  const bool changed = std::fabs(s.brightness - lastBrightness_) > 0.003 || lastBrightness_ < 0 ||
                       (s.lumSlow && std::fabs(*s.lumSlow - lastLumSlow_) > 0.015) ||
                       s.appID != lastApp_ || elapsed > 10.0;
  if (changed) writeRow("tick", std::nullopt, std::nullopt, std::nullopt, std::nullopt, &s);
}

std::string TelemetryRecorder::formatRow(std::string_view trigger,
                                         std::optional<std::string_view> event,
                                         std::optional<std::string_view> source,
                                         std::optional<double> bBefore,
                                         std::optional<double> bAfter,
                                         const TelemetrySnapshot& snap, double now) {
  RowWriter w;
  w.integer("schema", kSchema);
  w.string("ts", localtime::isoUtcMillis(now));
  w.number("t", now, 3);
  w.string("trigger", trigger);
  w.number("brightness", snap.brightness, 4);
  w.boolean("amb_avail", snap.ambAvailable);
  w.boolean("builtin", snap.builtin);
  w.integer("display_id", snap.displayID);
  w.boolean("auto_on", snap.autoOn);
  w.integer("hour", localtime::hour(now));
  w.integer("weekday", localtime::weekday(now));
  w.string("event", event);
  w.string("source", source);
  w.number("b_before", bBefore, 4);
  w.number("b_after", bAfter, 4);
  w.number("lum_raw", snap.lumRaw, 4);
  w.number("lum_slow", snap.lumSlow, 4);
  w.number("lum_fast", snap.lumFast, 4);
  if (!snap.lumGrid.empty()) {
    w.key("lum_grid");
    std::string& out = w.raw();
    out += '[';
    for (std::size_t i = 0; i < snap.lumGrid.size(); ++i) {
      if (i > 0) out += ',';
      appendNumber(out, rounded(snap.lumGrid[i], 3));
    }
    out += ']';
  }
  w.number("sig_dark", snap.sigDark, 4);
  w.number("sig_bright", snap.sigBright, 4);
  w.number("chroma", snap.chroma, 4);
  w.number("warm_cool", snap.warmCool, 4);
  w.number("amb_lux", snap.ambLux, 1);
  w.number("amb_norm", snap.ambNorm, 4);
  w.string("app_id", view(snap.appID));
  w.string("app_name", view(snap.appName));
  w.number("b_target", snap.bTarget, 4);
  w.number("b_loop", snap.bLoop, 4);
  return w.finish();
}

void TelemetryRecorder::writeRow(std::string_view trigger, std::optional<std::string_view> event,
                                 std::optional<std::string_view> source,
                                 std::optional<double> bBefore, std::optional<double> bAfter,
                                 const TelemetrySnapshot* given) {
  if (!given && !snapshotProvider_) return;
  const TelemetrySnapshot snap = given ? *given : snapshotProvider_();
  const double now = loop_.clock().now();
  if (!rotateIfNeeded(now)) return;

  std::string line = needsLineFeed_ ? "\n" : "";
  line += formatRow(trigger, event, source, bBefore, bAfter, snap, now);
  line += '\n';
  // One write per row: a crash can cut a row short but never glue two together.
  ssize_t n;
  do {
    n = ::write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) {
    needsLineFeed_ = false;
  } else if (n > 0) {
    needsLineFeed_ = true;
  }

  lastBrightness_ = snap.brightness;
  lastApp_ = snap.appID;
  if (snap.lumSlow) lastLumSlow_ = *snap.lumSlow;
  lastWrite_ = loop_.clock().monotonic();
}

bool TelemetryRecorder::rotateIfNeeded(double now) {
  const auto day = localtime::dayKey(now);
  if (!day) return false;
  if (*day == currentDay_ && fd_ >= 0) {
    // Rows written to a file that was removed (with its directory) would reach nobody.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_nlink > 0) return true;
  }
  closeFile();
  currentDay_ = *day;
  const auto file = directory_ / ("telemetry-" + *day + ".jsonl");
  // The directory may have been removed since start-up.
  files::ensureDirectory(directory_);
  fd_ =
      ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd_ < 0) return false;
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    closeFile();
    return false;
  }
  needsLineFeed_ = false;
  if (st.st_size > 0) {
    char last = '\n';
    int rfd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (rfd >= 0) {
      if (::pread(rfd, &last, 1, st.st_size - 1) == 1) needsLineFeed_ = last != '\n';
      ::close(rfd);
    }
  }
  return true;
}

void TelemetryRecorder::closeFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace nuvlet
