#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/ChildProcess.h"
#include "tests/harness/Servers.h"

namespace nuvlet::test {

// A private PipeWire daemon with WirePlumber (which links a consumer's stream to the node
// it asks for) and a private session bus for WirePlumber, everything under `dir`; all of
// it ends on destruction, or when the thread that started it ends. Works as root.
class PipeWireDaemon {
 public:
  // Nothing when a program is missing or does not come up; `why` says which.
  static std::unique_ptr<PipeWireDaemon> start(const std::filesystem::path& dir,
                                               std::string* why = nullptr);
  ~PipeWireDaemon();
  PipeWireDaemon(const PipeWireDaemon&) = delete;
  PipeWireDaemon& operator=(const PipeWireDaemon&) = delete;

  // A new socket connected to the daemon (what a ScreenCast portal hands out), or -1.
  int connect() const;
  const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
  // PipeWire's own log and WirePlumber's, for a failing test to show.
  std::string logs() const;
  // Ends the daemon at once (SIGKILL), as a crash would.
  void kill();
  // The daemon's and the session manager's, for a benchmark to read their CPU time.
  std::vector<pid_t> pids() const;
  // One daemon the tests of a process share, started by the first to ask and ended at
  // exit; nothing, with `why` said, when it cannot start.
  static PipeWireDaemon* shared(std::string* why);

 private:
  PipeWireDaemon() = default;

  std::filesystem::path dir_;
  std::filesystem::path runtimeDir_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> daemon_;
  std::unique_ptr<ChildProcess> sessionManager_;
};

// Memory orders of 8-bit RGB pixels a producer can send; `x` is padding.
enum class PixelOrder { BGRx, BGRA, RGBx, RGBA, xRGB, ARGB, xBGR, ABGR };

// A video source node on a PipeWire daemon, as a screen-casting compositor makes one: a
// driver that allocates its own memfd buffers and sends a frame only when its picture
// changes, and for a quarter second after streaming (re)starts. The picture is one colour.
class PipeWireProducer {
 public:
  // `stridePadding` bytes after each row are filled with 0xff, which a consumer that
  // read them as pixels would see.
  PipeWireProducer(const PipeWireDaemon& daemon, int width, int height,
                   PixelOrder order = PixelOrder::BGRx, int stridePadding = 0);
  ~PipeWireProducer();
  PipeWireProducer(const PipeWireProducer&) = delete;
  PipeWireProducer& operator=(const PipeWireProducer&) = delete;

  // The node id, once the daemon has given one (waits a few seconds at most); 0 if not.
  std::uint32_t node();
  // Frames of this colour from now on: one is sent now (once a consumer streams).
  void paint(std::uint8_t r, std::uint8_t g, std::uint8_t b);
  // A new size: the format is agreed again, then the picture is sent in it.
  void resize(int width, int height);
  // One frame a consumer must not use, holding another colour than the picture.
  enum class BadFrame {
    Empty,            // chunk size 0
    Corrupted,        // the chunk's corrupted flag
    CorruptedHeader,  // the header meta's corrupted flag
    Truncated,        // chunk size one byte short of the frame
    PastTheEnd,       // chunk offset and size reaching past the buffer's memory
  };
  void sendBad(BadFrame kind);
  // Frames this producer has handed to PipeWire, the empty and corrupted ones included.
  std::uint64_t framesSent() const;
  // How long since the last frame when nothing more is to be sent until the picture
  // changes; 0 while there is.
  double quietSeconds() const;
  // The highest frame rate of the agreed format (this producer offers up to 60); 0 before.
  double agreedMaxFramesPerSecond() const;
  // Destroys the stream: the producer vanishing.
  void stop();

  struct Impl;

 private:
  template <typename F>
  auto locked(F read) const;  // read(*impl_) under the loop's lock

  std::unique_ptr<Impl> impl_;
};

}  // namespace nuvlet::test
