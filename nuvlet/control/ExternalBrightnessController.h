#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/DisplayTopology.h"
#include "nuvlet/platform/RunLoop.h"
#include "nuvlet/platform/Subprocess.h"

namespace nuvlet {

// Reads and writes the brightness of external monitors by running the monitor tool
// (nuvlet-ddc) as a child process: "display id=N get luminance" answers a percentage
// on stdout, "display id=N set luminance P" writes one. Writes to one display are
// limited to one per 0.1 s; the newest value of a burst is written by a trailing
// timer when the interval has passed.
//
// Runs never block the main thread: results come back through the callbacks, on
// the main thread, from the loop, never inside the call that asked. Runs for one
// display go one at a time, in order (a monitor's bus takes one transaction at a
// time); different displays run side by side. A write waiting behind a running one
// is replaced by a newer write, so a slow monitor never builds a backlog.
//
// Thread: main thread only. Failures are absorbed: a read gives nothing, a write or
// probe false; nothing is logged.
class ExternalBrightnessController {
 public:
  static constexpr double kMinWriteInterval = 0.1;
  static constexpr double kSubprocessTimeout = 1.0;
  static constexpr double kMinTrailingDelay = 0.005;

  struct Options {
    double subprocessTimeout = kSubprocessTimeout;
    double killGrace = 0.2;
    std::size_t maxQueuedRuns = 4;  // per display, besides the one running
  };

  // toolPath: the monitor tool, or nothing when there is none (see locateTool).
  // Nothing is started here.
  ExternalBrightnessController(RunLoop& loop, std::optional<std::filesystem::path> toolPath,
                               Options options);
  ExternalBrightnessController(RunLoop& loop, std::optional<std::filesystem::path> toolPath)
      : ExternalBrightnessController(loop, std::move(toolPath), Options{}) {}
  // Cancels the trailing timers (pending values are dropped unwritten) and stops
  // and reaps any tool still running. No callback runs afterwards.
  ~ExternalBrightnessController();
  ExternalBrightnessController(const ExternalBrightnessController&) = delete;
  ExternalBrightnessController& operator=(const ExternalBrightnessController&) = delete;

  bool isAvailable() const { return toolPath_.has_value(); }
  const std::optional<std::filesystem::path>& toolPath() const { return toolPath_; }

  // The display's brightness from 0 to 1, or nothing.
  void get(DisplayID display, std::function<void(std::optional<double>)> done);

  // Requests a write. `done` (optional) learns true only when the write was made at
  // once and the tool succeeded; false when it was left to the trailing write, was
  // replaced by a newer one before it ran, or failed. A NaN brightness writes
  // nothing and answers false.
  void set(DisplayID display, double brightness, std::function<void(bool)> done = {});

  // True when a read through the tool succeeds, whatever it says.
  void probe(DisplayID display, std::function<void(bool)> done);

  // True while a tool runs or waits to run, or a trailing write is armed.
  bool busy() const;

  // The pieces of the protocol with the tool.
  static std::vector<std::string> readArguments(DisplayID display);
  static std::vector<std::string> writeArguments(DisplayID display, int percent);
  // brightness × 100, halves away from zero, clamped to 0…100 (±inf to the ends).
  static int percentFor(double brightness);
  // The tool's read answer: an optional sign and decimal digits, white space around
  // it, clamped to 0…100 and divided by 100; anything else gives nothing.
  static std::optional<double> parseLevel(std::string_view output);

  // Where the tool is: the setting "monitorToolPath" when it holds a string (an
  // absolute path to an executable, else nothing), otherwise beside the executable
  // as installed (../libexec/nuvlet/nuvlet-ddc) or in the build tree
  // (../tools/nuvlet-ddc/nuvlet-ddc). Nothing when none is an executable file.
  static std::optional<std::filesystem::path> locateTool(const Defaults& defaults,
                                                         const std::filesystem::path& executable);
  // The same for the running executable (/proc/self/exe).
  static std::optional<std::filesystem::path> locateTool(const Defaults& defaults);

 private:
  using Waiter = std::function<void(std::optional<std::string>)>;
  struct Job {
    bool write = false;
    std::vector<std::string> args;
    std::vector<Waiter> waiters;
  };
  struct Display {
    std::optional<double> lastWriteStart;  // monotonic seconds
    std::optional<double> pending;
    std::optional<RunLoop::TimerId> trailingTimer;
    std::unique_ptr<Subprocess> running;
    std::deque<Job> queue;
  };

  void writeNow(DisplayID display, double brightness, double at, std::function<void(bool)> done);
  void scheduleTrailingWrite(DisplayID display, double delay);
  void enqueue(DisplayID display, Job job);
  void startNext(DisplayID display);
  void later(std::function<void()> fn);

  RunLoop& loop_;
  std::optional<std::filesystem::path> toolPath_;
  Options options_;
  std::map<DisplayID, Display> displays_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nuvlet
