// The PipeWire frame stream against a private PipeWire daemon and a producer of the
// tests' own that sends what a compositor could: other pixel orders, padded rows, a new
// size, empty and corrupted buffers, and that vanishes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/PipeWireFrameStream.h"
#include "tests/harness/PipeWire.h"
#include "tests/linux_capture/SizedReducer.h"
#include "tests/support/PollUntil.h"
#include "tests/support/TempDir.h"

namespace nuvlet::linux_platform {
namespace {

using test::pollUntil;
using test::SizedReducer;

using Result = ScreenCapture::Result;
using test::PipeWireDaemon;
using test::PipeWireProducer;
using test::PixelOrder;

// What the reducers make of a frame of one colour in B, G, R, X order.
double luminanceOf(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  Frame frame(8, 8);
  frame.fill(r, g, b);
  FrameReducer reducer;
  reducer.begin(8, 8);
  reducer.rows(frame.view());
  return reducer.finish()->luminance;
}

class PipeWireStream : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    daemon_ = PipeWireDaemon::shared(&why);
    ASSERT_NE(daemon_, nullptr) << why;
  }
  void TearDown() override {
    if (HasFailure() && daemon_ != nullptr) std::fprintf(stderr, "%s", daemon_->logs().c_str());
  }

  static std::unique_ptr<PipeWireFrameStream> open(const PipeWireDaemon& daemon,
                                                   PipeWireProducer& producer) {
    const std::uint32_t node = producer.node();
    EXPECT_NE(node, 0u);
    return openPipeWireFrameStream(daemon.connect(), node);
  }

  // Takes frames until one is captured (of luminance `want`, if given); the last one's
  // luminance, or nothing at the deadline.
  std::optional<double> nextFrame(PipeWireFrameStream& stream,
                                  std::optional<double> want = std::nullopt) {
    std::optional<double> last;
    pollUntil([&] {
      if (stream.take(sink) == Result::Captured) last = sink.luminance();
      return last && (!want || last == want);
    });
    return last;
  }

  // Waits until the producer has nothing more to send and what it sent has arrived (or
  // been lost while the link was set up), then takes what came.
  void drain(PipeWireFrameStream& stream, const PipeWireProducer& producer) {
    ASSERT_TRUE(pollUntil([&] {
      const double quiet = producer.quietSeconds();
      return quiet > 0 && (stream.status().frames == producer.framesSent() || quiet > 0.2);
    }));
    stream.take(sink);
  }

  PipeWireDaemon* daemon_ = nullptr;
  SizedReducer sink;
};

TEST_F(PipeWireStream, ReadsThePaintedColourExactlyInEveryOrderAndStride) {
  const struct {
    const char* name;
    PixelOrder order;
    int padding;
    std::uint8_t r, g, b;
    int width, height;
  } cases[] = {
      {"white at 1080p", PixelOrder::BGRx, 0, 255, 255, 255, 1920, 1080},
      {"orange BGRx", PixelOrder::BGRx, 0, 200, 100, 30, 320, 200},
      {"orange BGRA", PixelOrder::BGRA, 0, 200, 100, 30, 320, 200},
      {"orange RGBx", PixelOrder::RGBx, 0, 200, 100, 30, 320, 200},
      {"orange RGBA", PixelOrder::RGBA, 0, 200, 100, 30, 320, 200},
      {"orange xRGB", PixelOrder::xRGB, 0, 200, 100, 30, 320, 200},
      {"orange ARGB", PixelOrder::ARGB, 0, 200, 100, 30, 320, 200},
      {"orange xBGR", PixelOrder::xBGR, 0, 200, 100, 30, 321, 37},
      {"orange ABGR", PixelOrder::ABGR, 0, 200, 100, 30, 320, 200},
      // Padding bytes are 0xff: read as pixels they would brighten the frame.
      {"#404040 BGRx, padded rows", PixelOrder::BGRx, 64, 64, 64, 64, 320, 200},
      {"orange RGBx, padded rows", PixelOrder::RGBx, 8, 200, 100, 30, 100, 50},
      {"orange xRGB, padded rows", PixelOrder::xRGB, 12, 200, 100, 30, 333, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PipeWireProducer producer(*daemon_, c.width, c.height, c.order, c.padding);
    producer.paint(c.r, c.g, c.b);
    auto stream = open(*daemon_, producer);
    const double want = luminanceOf(c.r, c.g, c.b);
    EXPECT_EQ(nextFrame(*stream), want) << stream->status().problem;
    EXPECT_EQ(std::pair(sink.width(), sink.height()), std::pair(c.width, c.height));
    const auto s = stream->status();  // streaming, at the width sent, nothing dropped
    EXPECT_EQ(std::tuple(s.state, s.width, s.dropped),
              std::tuple(PipeWireStreamState::Streaming, c.width, 0u));
  }
}

TEST_F(PipeWireStream, AsksForNoMoreFramesThanTheSamplerTakes) {
  for (int rate : {10, 4}) {
    SCOPED_TRACE(rate);
    PipeWireProducer producer(*daemon_, 64, 64);
    PipeWireStreamOptions options;
    options.maxFramesPerSecond = rate;
    auto stream = openPipeWireFrameStream(daemon_->connect(), producer.node(), options);
    ASSERT_TRUE(pollUntil([&] { return producer.agreedMaxFramesPerSecond() > 0; }));
    EXPECT_EQ(producer.agreedMaxFramesPerSecond(), rate);
  }
}

TEST_F(PipeWireStream, FollowsAResolutionChangeMidStream) {
  PipeWireProducer producer(*daemon_, 320, 200);
  producer.paint(255, 255, 255);
  auto stream = open(*daemon_, producer);
  ASSERT_EQ(nextFrame(*stream), 1.0);
  const struct {
    int width, height;
    std::uint8_t grey;
  } sizes[] = {{160, 90, 64}, {640, 480, 255}, {33, 7, 64}};
  for (const auto& s : sizes) {
    SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
    // A frame held and not taken when the buffers go: its memory goes with them.
    const auto frames = stream->status().frames;
    producer.paint(10, 200, 10);
    ASSERT_TRUE(pollUntil([&] { return stream->status().frames > frames; }));
    producer.resize(s.width, s.height);
    producer.paint(s.grey, s.grey, s.grey);
    EXPECT_TRUE(pollUntil([&] {
      const auto status = stream->status();
      // Until the new size is agreed, the held frame may still be taken.
      if (status.width != s.width || status.height != s.height) return false;
      return stream->take(sink) == Result::Captured && sink.width() == s.width &&
             sink.height() == s.height && sink.luminance() == s.grey / 255.0;
    })) << sink.width()
        << "x" << sink.height() << " state " << pipeWireStreamStateName(stream->status().state)
        << " " << stream->status().problem << " frames " << stream->status().frames << " dropped "
        << stream->status().dropped << " sent " << producer.framesSent() << " agreed "
        << stream->status().width << "x" << stream->status().height;
    EXPECT_EQ(stream->status().state, PipeWireStreamState::Streaming);
  }
}

TEST_F(PipeWireStream, DropsUnusableBuffersAndTheLastGoodFrameStands) {
  using Bad = PipeWireProducer::BadFrame;
  const struct {
    const char* name;
    Bad kind;
  } cases[] = {{"empty", Bad::Empty},
               {"corrupted chunk", Bad::Corrupted},
               {"corrupted header", Bad::CorruptedHeader},
               {"short of a frame", Bad::Truncated},
               {"past the buffer's end", Bad::PastTheEnd}};
  PipeWireProducer producer(*daemon_, 320, 200);
  producer.paint(255, 255, 255);
  auto stream = open(*daemon_, producer);
  // Nothing came yet: no waiting for it either.
  EXPECT_EQ(stream->take(sink), Result::Unavailable);
  ASSERT_EQ(nextFrame(*stream), 1.0);
  drain(*stream, producer);
  // Under load a producer may find no free buffer and skip a frame: send again until
  // the stream has dropped one more.
  auto deliver = [&](const std::function<void()>& send, const std::function<bool()>& arrived) {
    for (int attempt = 0; attempt < 5; ++attempt) {
      send();
      if (pollUntil(arrived, 2)) return true;
    }
    return false;
  };
  auto deliverBad = [&](Bad kind, std::uint64_t dropped) {
    return deliver([&] { producer.sendBad(kind); },
                   [&] { return stream->status().dropped >= dropped; }) &&
           stream->status().dropped == dropped;
  };
  std::uint8_t grey = 64;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Taken already: the bad one brings nothing new.
    const auto before = stream->status();
    ASSERT_TRUE(deliverBad(c.kind, before.dropped + 1));
    EXPECT_EQ(stream->take(sink), Result::Unchanged);
    EXPECT_EQ(stream->status().frames, before.frames);

    // Not taken yet: the good one before the bad one is what take() gives.
    grey = grey == 64 ? 255 : 64;
    ASSERT_TRUE(deliver([&] { producer.paint(grey, grey, grey); },
                        [&] { return stream->status().frames > before.frames; }));
    ASSERT_TRUE(deliverBad(c.kind, before.dropped + 2));
    EXPECT_EQ(stream->take(sink), Result::Captured);
    EXPECT_EQ(sink.luminance(), grey / 255.0);
    EXPECT_EQ(stream->take(sink), Result::Unchanged);
    EXPECT_EQ(stream->status().state, PipeWireStreamState::Streaming);
  }
}

TEST_F(PipeWireStream, ClosesWhileFramesAreArriving) {
  // A frame reaches the stream's loop thread as a call queued with the stream's
  // address; closing with one queued must not leave it to run on freed memory (which
  // the sanitizer build reports, and which crashed the benchmark now and then).
  PipeWireProducer producer(*daemon_, 640, 400);
  producer.paint(255, 255, 255);
  for (int i = 0; i < 12; ++i) {
    auto stream = open(*daemon_, producer);
    ASSERT_TRUE(nextFrame(*stream).has_value()) << stream->status().problem;
    for (int k = 0; k < 4; ++k) {
      const auto grey = static_cast<std::uint8_t>(20 * i + k);
      producer.paint(grey, grey, grey);
    }
  }
  // The producer serves the next one as ever.
  producer.paint(64, 64, 64);
  auto stream = open(*daemon_, producer);
  EXPECT_EQ(nextFrame(*stream, 64.0 / 255), 64.0 / 255);
}

TEST_F(PipeWireStream, LosingTheProducerTheNodeOrTheDaemonFailsTheStreamAndSaysWhy) {
  test::TempDir dir;
  std::string why;
  auto doomed = PipeWireDaemon::start(dir.path(), &why);  // killed below: the others keep theirs
  ASSERT_NE(doomed, nullptr) << why;
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ::close(pair[1]);
  enum class Loss { None, Producer, Daemon };
  const struct Case {
    const char* name;
    PipeWireDaemon* daemon;
    Loss loss;
    int fd;  // without a daemon
    std::uint32_t node;
  } cases[] = {
      {"the producer vanishes", daemon_, Loss::Producer, -1, 0},
      {"PipeWire killed while streaming", doomed.get(), Loss::Daemon, -1, 0},
      {"a node that is not there", daemon_, Loss::None, -1, 999999},
      {"node 0", daemon_, Loss::None, -1, 0},
      {"a socket nobody answers on", nullptr, Loss::None, pair[0], 42},
      {"no socket", nullptr, Loss::None, -1, 42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<PipeWireProducer> producer;
    std::unique_ptr<PipeWireFrameStream> stream;
    if (c.loss == Loss::None) {
      stream = openPipeWireFrameStream(c.daemon ? c.daemon->connect() : c.fd, c.node);
    } else {
      producer = std::make_unique<PipeWireProducer>(*c.daemon, 320, 200);
      producer->paint(255, 255, 255);
      stream = open(*c.daemon, *producer);
      ASSERT_EQ(nextFrame(*stream), 1.0);
      c.loss == Loss::Producer ? producer->stop() : c.daemon->kill();
    }
    EXPECT_TRUE(pollUntil([&] { return stream->status().state == PipeWireStreamState::Failed; }));
    EXPECT_NE(stream->status().problem, "");
    EXPECT_EQ(stream->take(sink), Result::Unavailable);
  }  // neither the producer nor the stream hangs on a dead connection as they go
}

}  // namespace
}  // namespace nuvlet::linux_platform
