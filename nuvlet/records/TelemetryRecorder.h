#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/Paths.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/records/TelemetrySnapshot.h"

namespace nuvlet {

// While recording is on, appends one JSON object per line to
// $XDG_STATE_HOME/nuvlet/telemetry/telemetry-<local day>.jsonl: a "start" row per
// session, a "tick" row every half second when something changed (or ten seconds
// passed), and the events the shell reports.
//
// Main thread only. Never fails: rows that cannot be written are dropped silently
// and each later row tries to open the day file again.
class TelemetryRecorder {
 public:
  static constexpr std::string_view kSettingKey = "telemetryRecording";
  static constexpr int kSchema = 2;
  static constexpr double kTickInterval = 0.5;

  using SnapshotProvider = std::function<TelemetrySnapshot()>;

  // Creates the telemetry directory (0700) and reads the stored switch (absent: off).
  // The loop, its clock and the defaults must outlive the recorder.
  TelemetryRecorder(const Paths& paths, Defaults& defaults, RunLoop& loop);
  ~TelemetryRecorder();
  TelemetryRecorder(const TelemetryRecorder&) = delete;
  TelemetryRecorder& operator=(const TelemetryRecorder&) = delete;

  // Without a provider neither the tick nor events write anything.
  void setSnapshotProvider(SnapshotProvider provider) { snapshotProvider_ = std::move(provider); }
  // Called with the new value after every switch.
  void setOnRecordingChange(std::function<void(bool)> fn) { onRecordingChange_ = std::move(fn); }

  // Begins a session when the stored switch is on. Called once at start-up, after the
  // provider is installed; a second call while a session runs does nothing.
  void startIfEnabled();
  void toggleRecording();
  void setRecording(bool on);

  // An event row ("brightness_change", "app_switch") with a fresh snapshot; ignored
  // while recording is off.
  void recordEvent(std::string_view event, std::optional<std::string_view> source = std::nullopt,
                   std::optional<double> bBefore = std::nullopt,
                   std::optional<double> bAfter = std::nullopt);

  bool isRecording() const { return isRecording_; }
  const std::filesystem::path& directory() const { return directory_; }

  // The row writeRow would produce, without its line feed (exposed for tests).
  static std::string formatRow(std::string_view trigger, std::optional<std::string_view> event,
                               std::optional<std::string_view> source,
                               std::optional<double> bBefore, std::optional<double> bAfter,
                               const TelemetrySnapshot& snap, double now);

 private:
  void beginSession();
  void endSession();
  void tick();
  void writeRow(std::string_view trigger, std::optional<std::string_view> event,
                std::optional<std::string_view> source, std::optional<double> bBefore,
                std::optional<double> bAfter, const TelemetrySnapshot* given = nullptr);
  bool rotateIfNeeded(double now);
  void closeFile();

  std::filesystem::path directory_;
  Defaults& defaults_;
  RunLoop& loop_;

  int fd_ = -1;
  std::string currentDay_;
  // The file does not end in a line feed (a row cut short by a crash or a full disk):
  // the next row starts with one so that it is not glued to the broken line.
  bool needsLineFeed_ = false;
  std::optional<RunLoop::TimerId> tickTimer_;
  SnapshotProvider snapshotProvider_;
  std::function<void(bool)> onRecordingChange_;

  double lastBrightness_ = -1.0;
  std::optional<std::string> lastApp_;
  double lastLumSlow_ = -1.0;
  std::optional<double> lastWrite_;  // monotonic seconds; nothing = the distant past
  bool isRecording_ = false;
};

}  // namespace nuvlet
