#include "nuvlet/platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>

namespace nuvlet::log {
namespace {

std::mutex sinkMutex;
std::function<void(std::string_view)> customSink;
std::atomic<bool> verboseFlag{false};

void emit(std::string_view line) {
  std::string text = "Nuvlet: ";
  text.append(line);
  std::lock_guard lock(sinkMutex);
  if (customSink) {
    customSink(text);
    return;
  }
  text.push_back('\n');
  // One write, so lines from several threads never interleave.
  [[maybe_unused]] auto written = ::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

void info(std::string_view line) { emit(line); }

void debug(std::string_view line) {
  if (verboseFlag.load(std::memory_order_relaxed)) emit(line);
}

void setVerbose(bool verbose) { verboseFlag.store(verbose, std::memory_order_relaxed); }
bool verbose() { return verboseFlag.load(std::memory_order_relaxed); }

void setSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(sinkMutex);
  customSink = std::move(sink);
}

}  // namespace nuvlet::log
