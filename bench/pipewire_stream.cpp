// The PipeWire stream (the ScreenCast portal's frames), in one run, against a private
// PipeWire daemon and the tests' producer, which sends memfd frames as a compositor does
// and runs in a process of its own, as a compositor would:
//  1. reduction of a frame held in a mapped PipeWire buffer against a plain read of the
//     same kind of buffer through the same take(), 1080p to 4K; goal <= 1.3x, once the
//     reducer has chosen its row kernel by timing them; and with each kernel forced.
//  2. the sampler's CPU at 10 Hz through the stream at 1080p, on a static screen and on
//     one that changes every 100 ms; goals <= 0.1% and <= 1% of a core. The producer's
//     own share (painting and sending frames, a compositor's part) and the daemon's are
//     printed beside it.
//
//   build/bench/bench_pipewire_stream [seconds per sampler phase, default 20]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/SamplerCost.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/PipeWireFrameStream.h"
#include "platform/sim/VirtualRunLoop.h"
#include "tests/harness/PipeWire.h"
#include "tests/support/TempDir.h"

namespace {

using nuvlet::bench::threadSeconds;

using Steady = std::chrono::steady_clock;
using nuvlet::bench::ownCpuSeconds;
using nuvlet::bench::statCpuSeconds;
using nuvlet::bench::StillCapture;
using nuvlet::linux_platform::PipeWireFrameStream;
using nuvlet::test::PipeWireDaemon;
using nuvlet::test::PipeWireProducer;
using nuvlet::test::PixelOrder;

PipeWireDaemon* pipewire = nullptr;
nuvlet::bench::KernelChoices choices;  // for BGRx frames

double daemonCpuSeconds() {
  double total = 0;
  for (pid_t pid : pipewire->pids())
    total += statCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
  return total;
}

template <typename F>
bool pollUntil(F done, double seconds = 10) {
  const auto deadline = Steady::now() + std::chrono::duration<double>(seconds);
  while (Steady::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return done();
}

// The tests' producer in a process of its own, driven over a pipe by lines: "open W H
// ORDER" (answers "node N"), "paint R G B", "quiet" (answers seconds), "cpu" (answers its
// CPU seconds so far), "close" (answers "closed"). Forked before this process has threads.
class ProducerProcess {
 public:
  explicit ProducerProcess(const PipeWireDaemon& daemon) {
    int down[2], up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(down[1]);
      ::close(up[0]);
      serve(daemon, down[0], up[1]);
      ::_exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = down[1];
    from_ = up[0];
  }
  ~ProducerProcess() {
    ::close(to_);
    ::waitpid(pid_, nullptr, 0);
    ::close(from_);
  }
  ProducerProcess(const ProducerProcess&) = delete;
  ProducerProcess& operator=(const ProducerProcess&) = delete;

  std::uint32_t open(int width, int height, PixelOrder order) {
    return static_cast<std::uint32_t>(ask("open " + std::to_string(width) + " " +
                                          std::to_string(height) + " " +
                                          std::to_string(static_cast<int>(order))));
  }
  void paint(int r, int g, int b) {
    send("paint " + std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b));
  }
  double quietSeconds() { return ask("quiet"); }
  double cpuSeconds() { return ask("cpu"); }
  void close() { ask("close"); }

 private:
  static std::optional<std::string> readLine(int fd, std::string& buffer) {
    for (;;) {
      if (const auto end = buffer.find('\n'); end != std::string::npos) {
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        return line;
      }
      char chunk[256];
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  static void write(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
  }
  void send(const std::string& line) { write(to_, line); }
  double ask(const std::string& line) {
    send(line);
    const auto answer = readLine(from_, buffer_);
    if (!answer) std::abort();
    return std::atof(answer->c_str());
  }

  static void serve(const PipeWireDaemon& daemon, int in, int out) {
    std::unique_ptr<PipeWireProducer> producer;
    std::string buffer;
    while (const auto line = readLine(in, buffer)) {
      std::istringstream words(*line);
      std::string command;
      words >> command;
      if (command == "open") {
        int width = 0, height = 0, order = 0;
        words >> width >> height >> order;
        producer = std::make_unique<PipeWireProducer>(daemon, width, height,
                                                      static_cast<PixelOrder>(order));
        producer->paint(255, 255, 255);
        write(out, std::to_string(producer->node()));
      } else if (command == "paint" && producer) {
        int r = 0, g = 0, b = 0;
        words >> r >> g >> b;
        producer->paint(static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g),
                        static_cast<std::uint8_t>(b));
      } else if (command == "quiet") {
        write(out, std::to_string(producer ? producer->quietSeconds() : 1.0));
      } else if (command == "cpu") {
        char text[32];
        std::snprintf(text, sizeof text, "%.6f", ownCpuSeconds(RUSAGE_SELF));
        write(out, text);
      } else if (command == "close") {
        producer.reset();
        write(out, "0");
      }
    }
  }

  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string buffer_;
};

ProducerProcess* producer = nullptr;

// ---- 1. reduction from a mapped PipeWire buffer ------------------------------------

// The floor: every byte of each band read once.
class ReadSink final : public nuvlet::FrameSink {
 public:
  void begin(int, int) override {}
  void rows(const nuvlet::FrameView& band) override {
    const std::size_t rowBytes = 4 * static_cast<std::size_t>(band.width);
    if (band.stride == static_cast<std::ptrdiff_t>(rowBytes)) {
      sum += nuvlet::bench::sumBytes(band.data, rowBytes * static_cast<std::size_t>(band.height));
      return;
    }
    for (int y = 0; y < band.height; ++y) sum += nuvlet::bench::sumBytes(band.row(y), rowBytes);
  }
  std::uint64_t sum = 0;
};

// A frame of a new colour from the producer, held by the stream and not yet taken.
bool nextFrame(PipeWireFrameStream& stream, std::uint8_t& grey) {
  const auto frames = stream.status().frames;
  grey = static_cast<std::uint8_t>(grey + 37);
  producer->paint(grey, 255 - grey, 90);
  return pollUntil([&] { return stream.status().frames > frames; });
}

// Read and reduction alternate, each from a frame the producer has just written.
// Arguments: width, height, kernel (nuvlet::bench::kChosenKernel or forced), order.
void reduceAgainstRead(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const auto order = static_cast<PixelOrder>(state.range(3));
  const std::uint32_t node = producer->open(width, height, order);
  auto stream = nuvlet::linux_platform::openPipeWireFrameStream(pipewire->connect(), node);
  ReadSink read;
  nuvlet::FrameReducer reducer;
  // The first frame says the link is up.
  if (!pollUntil([&] { return stream->take(read) == nuvlet::ScreenCapture::Result::Captured; })) {
    state.SkipWithError(("no frame: " + stream->status().problem).c_str());
    stream.reset();
    producer->close();
    return;
  }
  std::uint8_t grey = 0;
  nuvlet::bench::readyReducer(reducer, state, [&](nuvlet::FrameReducer& r) {
    return nextFrame(*stream, grey) && stream->take(r) == nuvlet::ScreenCapture::Result::Captured;
  });
  if (order == PixelOrder::BGRx && state.range(2) == nuvlet::bench::kChosenKernel) {
    choices.add(width, reducer.chooser());
  }
  double readSeconds = 0, reduceSeconds = 0;
  for (auto _ : state) {
    if (!nextFrame(*stream, grey)) {
      state.SkipWithError("the producer stalled");
      stream.reset();
      producer->close();
      return;
    }
    const double t0 = threadSeconds();
    stream->take(read);
    const double t1 = threadSeconds();
    if (!nextFrame(*stream, grey)) {
      state.SkipWithError("the producer stalled");
      stream.reset();
      producer->close();
      return;
    }
    const double t2 = threadSeconds();
    stream->take(reducer);
    benchmark::DoNotOptimize(reducer.finish());
    const double t3 = threadSeconds();
    readSeconds += t1 - t0;
    reduceSeconds += t3 - t2;
  }
  benchmark::DoNotOptimize(read.sum);
  const double n = static_cast<double>(state.iterations());
  state.counters["read_ms"] = readSeconds / n * 1e3;
  state.counters["reduce_ms"] = reduceSeconds / n * 1e3;
  stream.reset();
  producer->close();
}

// ---- 2. the sampler through the stream ---------------------------------------------

// The stream as the sampler's capture. A stream reports every change itself, so
// "unchanged" holds for as long as no frame comes.
class StreamCapture final : public nuvlet::ScreenCapture {
 public:
  explicit StreamCapture(PipeWireFrameStream& stream) : stream_(stream) {}
  Result capture(nuvlet::DisplayID, nuvlet::FrameSink& sink, bool allowUnchanged) override {
    const Result r = stream_.take(sink);
    return r == Result::Unchanged && !allowUnchanged ? Result::Unavailable : r;
  }

 private:
  PipeWireFrameStream& stream_;
};

// Has the producer paint a new colour every 100 ms, from a thread of its own.
class Repainter {
 public:
  Repainter()
      : thread_([this] {
          int grey = 0;
          for (auto next = Steady::now(); !stop_; next += std::chrono::milliseconds(100)) {
            grey = (grey + 29) % 256;
            producer->paint(grey, grey, 255 - grey);
            cpu_ = ownCpuSeconds(RUSAGE_THREAD);
            std::this_thread::sleep_until(next);
          }
        }) {}
  ~Repainter() {
    stop_ = true;
    thread_.join();
  }
  double cpuSeconds() const { return cpu_.load(); }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<double> cpu_{0};
  std::thread thread_;
};

struct Cost {
  double own, producer, daemon;  // shares of one core
  int samples;
  std::uint64_t frames;
};

Cost sampleFor(double seconds, nuvlet::ContentSampler& sampler, const PipeWireFrameStream* stream,
               nuvlet::sim::VirtualRunLoop& loop, int& delivered, const Repainter* repainter) {
  const double own0 = ownCpuSeconds(RUSAGE_SELF), producer0 = producer->cpuSeconds();
  const double daemon0 = daemonCpuSeconds();
  const double painter0 = repainter != nullptr ? repainter->cpuSeconds() : 0;
  const auto frames0 = stream != nullptr ? stream->status().frames : 0;
  const int first = delivered;
  const double wall = nuvlet::bench::runSamplerInRealTime(seconds, sampler, loop, delivered);
  // The thread driving the producer lives in this process but is not the sampler.
  const double painter = repainter != nullptr ? repainter->cpuSeconds() - painter0 : 0;
  return {(ownCpuSeconds(RUSAGE_SELF) - own0 - painter) / wall,
          (producer->cpuSeconds() - producer0) / wall, (daemonCpuSeconds() - daemon0) / wall,
          delivered - first, (stream != nullptr ? stream->status().frames : 0) - frames0};
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = nuvlet::bench::takeSecondsArgument(argc, argv, 20);
  nuvlet::test::TempDir dir;
  std::string why;
  auto owned = PipeWireDaemon::start(dir.path(), &why);
  if (!owned) {
    std::fprintf(stderr, "no PipeWire daemon: %s\n", why.c_str());
    return 1;
  }
  pipewire = owned.get();
  ProducerProcess producerProcess(*pipewire);  // before this process has any thread
  producer = &producerProcess;

  // Each kernel forced on fewer frames: each frame is a round trip through the producer.
  const std::vector<nuvlet::bench::FrameSize> sizes = {{1920, 1080}, {2560, 1440}, {3840, 2160}};
  const nuvlet::bench::PerKernel runs{.name = "reduceAgainstRead",
                                      .chosenRepetitions = 5,
                                      .forcedIterations = 10,
                                      .chosenIterations = 20,
                                      .extraArgs = {static_cast<int>(PixelOrder::BGRx)}};
  runs.registerFor(sizes, reduceAgainstRead);
  // Other orders go through a conversion on the way.
  const nuvlet::bench::PerKernel converted{.name = "reduceAgainstRead",
                                           .chosenIterations = 20,
                                           .extraArgs = {static_cast<int>(PixelOrder::RGBx)}};
  const nuvlet::bench::FrameSize convertedSize{1920, 1080};
  benchmark::RegisterBenchmark("reduceAgainstReadAsChosen", reduceAgainstRead)
      ->Args({convertedSize.width, convertedSize.height, nuvlet::bench::kChosenKernel,
              static_cast<int>(PixelOrder::RGBx)})
      ->Unit(benchmark::kMillisecond)
      ->Iterations(20)
      ->Repetitions(5);
  benchmark::Initialize(&argc, argv);
  nuvlet::bench::RatioReporter reporter(nuvlet::bench::RatioReporter::Time::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  Cost idle{}, changing{}, still{};
  {
    const std::uint32_t node = producer->open(1920, 1080, PixelOrder::BGRx);
    auto stream = nuvlet::linux_platform::openPipeWireFrameStream(pipewire->connect(), node);
    nuvlet::sim::VirtualRunLoop loop;
    nuvlet::ThreadWorkQueue queue;
    nuvlet::ContentSampler sampler(1, std::make_shared<StreamCapture>(*stream), loop, queue);
    int delivered = 0;
    sampler.onSample = [&](double) { ++delivered; };
    // Streaming, and the producer done with its first frames.
    pollUntil([&] { return stream->status().frames > 0 && producer->quietSeconds() > 0.1; });
    idle = sampleFor(seconds, sampler, stream.get(), loop, delivered, nullptr);
    {
      Repainter repainter;
      changing = sampleFor(seconds, sampler, stream.get(), loop, delivered, &repainter);
    }
    if (stream->status().state == nuvlet::linux_platform::PipeWireStreamState::Failed) {
      std::fprintf(stderr, "the stream failed: %s\n", stream->status().problem.c_str());
    }
    stream.reset();
    producer->close();
  }
  {
    nuvlet::sim::VirtualRunLoop loop;
    nuvlet::ThreadWorkQueue queue;
    nuvlet::ContentSampler bare(1, std::make_shared<StillCapture>(), loop, queue);
    int delivered = 0;
    bare.onSample = [&](double) { ++delivered; };
    still = sampleFor(seconds, bare, nullptr, loop, delivered, nullptr);
  }

  std::printf(
      "\nReduction from a mapped PipeWire buffer against a read of the same kind of buffer, "
      "both through take():\n");
  std::printf("Processor: %s\n", nuvlet::bench::processorLine().c_str());
  runs.print(reporter, sizes, "reduce_ms", "read_ms", 1.3, &choices);
  // Its own read goes through the conversion too, so it is no floor: the floor is the
  // read of a BGRx frame of the same size.
  const double reduce =
      reporter.counter(converted.key(convertedSize, nuvlet::bench::kChosenKernel), "reduce_ms");
  const double read =
      reporter.counter(runs.key(convertedSize, nuvlet::bench::kChosenKernel), "read_ms");
  if (reduce > 0 && read > 0) {
    std::printf("%-38s %8.3f ms against %8.3f ms: %5.2fx  (the BGRx read; no goal)\n",
                (convertedSize.name() + " RGBx as chosen").c_str(), reduce, read, reduce / read);
  }
  std::printf("\nSampler at 10 Hz through the PipeWire stream at 1920x1080, %.0f s a phase:\n",
              seconds);
  std::printf(
      "  static screen:   %6.3f%% of a core (goal <= 0.1%%); producer %6.3f%%, daemon + "
      "session manager %6.3f%%; %d samples, %llu frames\n",
      idle.own * 100, idle.producer * 100, idle.daemon * 100, idle.samples,
      static_cast<unsigned long long>(idle.frames));
  std::printf(
      "  static screen floor, the sampler over a capture that is never asked for anything: "
      "%6.3f%% of a core\n",
      still.own * 100);
  std::printf(
      "  changing screen: %6.3f%% of a core (goal <= 1%%);   producer %6.3f%%, daemon + "
      "session manager %6.3f%%; %d samples, %llu frames\n",
      changing.own * 100, changing.producer * 100, changing.daemon * 100, changing.samples,
      static_cast<unsigned long long>(changing.frames));
  const double readMs =
      reporter.counter(runs.key(sizes[0], nuvlet::bench::kChosenKernel), "read_ms");
  if (readMs > 0 && changing.frames > 0) {
    const double floor = static_cast<double>(changing.frames) / seconds * readMs / 1e3;
    std::printf(
        "  changing screen floor, one plain read of each frame received: %6.3f%% of a core; "
        "the sampler is %.2fx that\n",
        floor * 100, changing.own / floor);
  }
  benchmark::Shutdown();
  return 0;
}
