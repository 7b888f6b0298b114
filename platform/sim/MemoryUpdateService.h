#pragma once

#include <string>
#include <utility>

#include "nuvlet/platform/UpdateService.h"

namespace nuvlet::sim {

// An update service the test drives: it counts starts and checks, and offers an
// update ready at quit when the test says so.
class MemoryUpdateService final : public UpdateService {
 public:
  void start(ReadyAtQuit readyAtQuit) override {
    ++starts;
    readyAtQuit_ = std::move(readyAtQuit);
  }
  void checkForUpdates() override { ++checks; }
  std::string describe() const override { return "in-memory update service"; }

  // Offers an update ready at quit; returns what the delegate answered (false when
  // the service was never started). `installs` counts the installations made.
  bool offerUpdateReadyAtQuit() {
    if (!readyAtQuit_) return false;
    return readyAtQuit_([this] { ++installs; });
  }

  int starts = 0;
  int checks = 0;
  int installs = 0;

 private:
  ReadyAtQuit readyAtQuit_;
};

}  // namespace nuvlet::sim
