#pragma once

#include <chrono>
#include <thread>

namespace nuvlet::test {

// Polls until `done` holds, with a short pause between tries; false at the deadline.
// For waits on another thread or process; never a fixed sleep.
template <typename F>
bool pollUntil(F done, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

}  // namespace nuvlet::test
