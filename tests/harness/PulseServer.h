#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A private PulseAudio server with one null sink ("testsink"), listening on a socket
// in its own directory. stop() and start() keep the socket path, so a client can be
// shown the server dying and coming back.
class PulseServer {
 public:
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Starts the server and waits until it answers; false when it did not.
  bool start();
  void stop();
  bool running() const { return process_ != nullptr; }

  // For PULSE_SERVER or pa_context_connect.
  std::string address() const;

  // Runs pactl against this server: an independent client.
  ChildProcess::Result pactl(std::vector<std::string> args) const;
  // The raw volume of each of `sink`'s channels, as pactl reports them.
  std::vector<long> sinkVolumes(const std::string& sink) const;

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace nuvlet::test
