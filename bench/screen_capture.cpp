// Capture plus reduction under a private Xvfb at 1080p and 4K, against a whole-output
// MIT-SHM GetImage alone (the floor). Goal: at most 1.5× the floor, with a capture
// buffer of at most 8 MiB at 4K. Real time, since the X server does part of the work;
// the floor, capture + reduction and capture + a plain read of the strips are timed
// in turn within each iteration.
//
// The strips overlap the server's copy with our reduction only when the server has a
// core of its own: on a machine whose cores are busy with other work the scheduler
// runs it on ours, and the ratio rises to about 1 + (reduction time / copy time).
//
// First with each row kernel forced, then as the reducer runs, choosing by timing.
//
//   build/bench/bench_screen_capture [--benchmark_filter=Chosen]

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "nuvlet/platform/Clock.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/X11ScreenCapture.h"

namespace {

using Steady = std::chrono::steady_clock;
using nuvlet::FrameReducer;

using Size = nuvlet::bench::FrameSize;

nuvlet::bench::KernelChoices choices;
const nuvlet::bench::PerKernel runs{.name = "captureAndReduce", .realTime = true};

const std::vector<Size> kSizes = {{1920, 1080}, {3840, 2160}};

// Paints a screen of flat colours and a few windows, like a desktop.
void paint(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  std::uint32_t grey = 0x404040;
  xcb_change_window_attributes(c, s->root, XCB_CW_BACK_PIXEL, &grey);
  xcb_clear_area(c, 0, s->root, 0, 0, 0, 0);
  const std::uint32_t colours[] = {0xffffff, 0x1e1e1e, 0x3366cc, 0xf0f0f0};
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t values[] = {colours[i], 1};
    const xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(
        c, XCB_COPY_FROM_PARENT, w, s->root, static_cast<std::int16_t>(100 + 300 * i),
        static_cast<std::int16_t>(80 + 150 * i), static_cast<std::uint16_t>(s->width_in_pixels / 2),
        static_cast<std::uint16_t>(s->height_in_pixels / 2), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
        s->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c, w);
  }
  std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  xcb_disconnect(c);
}

// The floor: one MIT-SHM GetImage of the whole screen into a segment of its size.
class WholeScreenShm {
 public:
  explicit WholeScreenShm(const std::string& display) {
    c_ = xcb_connect(display.c_str(), nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
    root_ = s->root;
    width_ = s->width_in_pixels;
    height_ = s->height_in_pixels;
    const std::size_t bytes = 4 * static_cast<std::size_t>(width_) * height_;
    id_ = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    addr_ = shmat(id_, nullptr, 0);
    seg_ = xcb_generate_id(c_);
    xcb_shm_attach(c_, seg_, static_cast<std::uint32_t>(id_), 0);
    shmctl(id_, IPC_RMID, nullptr);
  }
  ~WholeScreenShm() {
    shmdt(addr_);
    xcb_disconnect(c_);
  }
  bool grab() {
    auto* reply = xcb_shm_get_image_reply(c_,
                                          xcb_shm_get_image(c_, root_, 0, 0, width_, height_, ~0u,
                                                            XCB_IMAGE_FORMAT_Z_PIXMAP, seg_, 0),
                                          nullptr);
    const bool ok = reply != nullptr;
    std::free(reply);
    return ok;
  }

 private:
  xcb_connection_t* c_;
  xcb_window_t root_;
  std::uint16_t width_, height_;
  int id_;
  void* addr_;
  xcb_shm_seg_t seg_;
};

// Reads every byte of each strip and nothing more: capture plus this is what any
// reduction that looks at every pixel costs at the least.
class ReadSink final : public nuvlet::FrameSink {
 public:
  void begin(int, int) override {}
  void rows(const nuvlet::FrameView& band) override {
    for (int y = 0; y < band.height; ++y) {
      sum_ += nuvlet::bench::sumBytes(band.row(y), 4 * static_cast<std::size_t>(band.width));
    }
  }
  std::uint64_t sum() const { return sum_; }

 private:
  std::uint64_t sum_ = 0;
};

double seconds(Steady::time_point a, Steady::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// The CPU time every thread of a process has had, exact to the nanosecond (the
// scheduler's own account; /proc/PID/stat counts in ticks of 10 ms).
double serverSeconds(pid_t pid) {
  double total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (schedstat >> ns) total += static_cast<double>(ns) * 1e-9;
  }
  return total;
}

// One painted server per size, for every run at that size.
const nuvlet::bench::Xvfb& server(Size size) {
  static std::map<int, std::unique_ptr<nuvlet::bench::Xvfb>> servers;
  auto& xvfb = servers[size.width];
  if (!xvfb) {
    xvfb = std::make_unique<nuvlet::bench::Xvfb>(std::to_string(size.width) + "x" +
                                                 std::to_string(size.height) + "x24");
    if (!xvfb->display().empty()) paint(xvfb->display());
  }
  return *xvfb;
}

void captureAndReduce(benchmark::State& state) {
  const Size size{static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
  const auto& xvfb = server(size);
  if (xvfb.display().empty()) {
    state.SkipWithError("Xvfb did not start");
    return;
  }
  const auto output = nuvlet::linux_platform::x11MainOutput(xvfb.display());
  nuvlet::SystemClock clock;
  nuvlet::linux_platform::X11CaptureOptions options;
  options.display = xvfb.display();
  auto capture = nuvlet::linux_platform::makeX11ScreenCapture(clock, options);
  WholeScreenShm floor(xvfb.display());
  FrameReducer reducer;
  ReadSink reader;
  bool ok = output.has_value() && nuvlet::bench::readyReducer(reducer, state, [&](FrameReducer& r) {
              return capture->capture(*output, r, false) == nuvlet::ScreenCapture::Result::Captured;
            });
  double floorSeconds = 0, captureSeconds = 0, readSeconds = 0;
  double floorCpu = 0, captureCpu = 0;  // this thread's and the server's
  for (auto _ : state) {
    double server = serverSeconds(xvfb.pid());
    double own = nuvlet::bench::threadSeconds();
    const auto t0 = Steady::now();
    ok = floor.grab() && ok;
    const auto t1 = Steady::now();
    double ownAfter = nuvlet::bench::threadSeconds();
    double serverAfter = serverSeconds(xvfb.pid());
    floorCpu += (ownAfter - own) + (serverAfter - server);
    server = serverAfter;
    own = nuvlet::bench::threadSeconds();
    const auto t1b = Steady::now();
    ok = capture->capture(*output, reducer, false) == nuvlet::ScreenCapture::Result::Captured && ok;
    benchmark::DoNotOptimize(reducer.finish());
    const auto t2 = Steady::now();
    ownAfter = nuvlet::bench::threadSeconds();
    captureCpu += (ownAfter - own) + (serverSeconds(xvfb.pid()) - server);
    const auto t2b = Steady::now();
    ok = capture->capture(*output, reader, false) == nuvlet::ScreenCapture::Result::Captured && ok;
    benchmark::DoNotOptimize(reader.sum());
    const auto t3 = Steady::now();
    floorSeconds += seconds(t0, t1);
    captureSeconds += seconds(t1b, t2);
    readSeconds += seconds(t2b, t3);
  }
  if (!ok) state.SkipWithError("capture failed");
  const double n = static_cast<double>(state.iterations());
  state.counters["shm_ms"] = floorSeconds / n * 1e3;
  state.counters["capture_reduce_ms"] = captureSeconds / n * 1e3;
  state.counters["capture_read_ms"] = readSeconds / n * 1e3;
  state.counters["shm_cpu_ms"] = floorCpu / n * 1e3;
  state.counters["capture_reduce_cpu_ms"] = captureCpu / n * 1e3;
  if (state.range(2) == nuvlet::bench::kChosenKernel) {
    choices.add(size.width, reducer.chooser());
  }
}

}  // namespace

int main(int argc, char** argv) {
  runs.registerFor(kSizes, captureAndReduce);
  benchmark::Initialize(&argc, argv);
  nuvlet::bench::RatioReporter reporter(nuvlet::bench::RatioReporter::Time::Real);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nProcessor: %s\n", nuvlet::bench::processorLine().c_str());
  // Each kernel forced and the reducer's own choice, as a ratio of one counter to another.
  const auto printRatios = [&](const char* counter, const char* floor, bool withChoices) {
    runs.print(reporter, kSizes, counter, floor, 1.5, withChoices ? &choices : nullptr);
  };
  std::printf("\nCapture in strips plus reduction against a whole-screen MIT-SHM GetImage:\n");
  printRatios("capture_reduce_ms", "shm_ms", true);
  // On a machine whose cores are busy with other work, wall-clock times mostly measure
  // the wait for a core. The processor time both processes spent does not, though it
  // gives no credit for the overlap of the server's copy with our reduction.
  std::printf(
      "\nThe same in processor time, this thread's and the X server's together (no credit for "
      "overlap):\n");
  printRatios("capture_reduce_cpu_ms", "shm_cpu_ms", false);
  // Where the reduction's own cost ends: the same strips only read. When this is over
  // the goal too, the pipeline or the machine is the limit, not the reduction.
  std::printf("\nCapture in strips plus a plain read of them (no reduction), same floor:\n");
  for (Size s : kSizes) {
    reporter.printCounterRatio(s.name(), runs.key(s, nuvlet::bench::kChosenKernel),
                               "capture_read_ms", "shm_ms", 1.5);
  }
  const nuvlet::linux_platform::X11CaptureOptions defaults;
  std::printf(
      "capture buffer: %.1f MiB at any size (goal <= 8 MiB at 4K; whole 4K frame %.1f MiB)\n",
      2.0 * static_cast<double>(defaults.stripBytes) / (1 << 20), 3840.0 * 2160 * 4 / (1 << 20));
  benchmark::Shutdown();
  return 0;
}
