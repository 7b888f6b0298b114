#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "nuvlet/platform/ScreenCapture.h"

namespace nuvlet::linux_platform {

// What a PipeWire video stream is doing, for `nuvlet devices` and the verbose log.
enum class PipeWireStreamState {
  Connecting,  // the remote is being joined or the format agreed
  NoFrameYet,  // linked and agreed, no usable frame so far (a static screen may send none)
  Streaming,   // at least one frame came
  Failed,      // see `problem`: the daemon or the producer went away, or no format fits
};
const char* pipeWireStreamStateName(PipeWireStreamState state);

struct PipeWireStreamStatus {
  PipeWireStreamState state = PipeWireStreamState::Connecting;
  std::string problem;          // why it failed; empty otherwise
  int width = 0, height = 0;    // of the agreed format, once agreed
  std::uint64_t frames = 0;     // usable frames received
  std::uint64_t dropped = 0;    // buffers dropped: empty, corrupted or unreadable
};

struct PipeWireStreamOptions {
  // Highest frame rate asked of the producer; frames come only when the screen changes.
  int maxFramesPerSecond = 10;
};

// Consumes one video node of a PipeWire daemon (the ScreenCast portal's, or any
// producer's) on a PipeWire thread of its own, and reduces the newest frame straight
// from the mapped buffer when asked.
//
// It asks for raw 8-bit RGB orders in memfd or shared-memory buffers; a format change
// (a new resolution) mid-stream is followed. Buffers that are empty or marked corrupted
// are dropped. The buffer of the newest frame is kept (not given back) until take()
// has reduced it or a newer one replaces it.
//
// Thread: take() from one thread at a time; status() from any. The daemon or the
// producer going away gives Failed for good: make a new stream to try again.
class PipeWireFrameStream {
 public:
  virtual ~PipeWireFrameStream() = default;

  // Captured: the newest frame not yet taken went to `sink`. Unchanged: no frame came
  // since the last one taken (the caller's last reduction still holds). Unavailable:
  // no frame has come yet, or the stream failed.
  virtual ScreenCapture::Result take(FrameSink& sink) = 0;
  virtual PipeWireStreamStatus status() const = 0;
};

// Joins the daemon over `fd` (a connected socket, as the ScreenCast portal's
// OpenPipeWireRemote hands out; ownership passes to the stream, also on failure) and
// links to node `node`. Never blocks long; failures show in status().
std::unique_ptr<PipeWireFrameStream> openPipeWireFrameStream(int fd, std::uint32_t node,
                                                             PipeWireStreamOptions options = {});

}  // namespace nuvlet::linux_platform
