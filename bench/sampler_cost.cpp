// CPU cost of the content sampler at 10 Hz on a 1080p Xvfb screen, as a share of one
// core (getrusage over the run), for an idle screen and for one that changes every
// frame. Goals: under 0.3% idle and under 2% changing, for our process; the X server's
// share is printed beside it.
//
//   build/bench/bench_sampler_cost [seconds per phase, default 30]

#include <sys/resource.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/SamplerCost.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/sim/VirtualRunLoop.h"

namespace {

using Steady = std::chrono::steady_clock;
using nuvlet::bench::ownCpuSeconds;
using nuvlet::bench::processCpuSeconds;

// Another client that repaints most of the screen with a new colour every 100 ms.
class Repainter {
 public:
  explicit Repainter(const std::string& display) : thread_([this, display] { run(display); }) {}
  ~Repainter() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run(const std::string& display) {
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    xcb_screen_t* s = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    std::uint32_t colour = 0x102030;
    for (auto next = Steady::now(); !stop_; next += std::chrono::milliseconds(100)) {
      colour = colour * 1103515245u + 12345u;
      const std::uint32_t pixel = colour & 0xffffff;
      xcb_change_window_attributes(c, s->root, XCB_CW_BACK_PIXEL, &pixel);
      xcb_clear_area(c, 0, s->root, 0, 0, 0, 0);
      xcb_flush(c);
      std::this_thread::sleep_until(next);
    }
    xcb_disconnect(c);
  }
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Cost {
  double own, server;  // shares of one core
  int samples;
};

Cost sampleFor(double seconds, nuvlet::ContentSampler& sampler, nuvlet::sim::VirtualRunLoop& loop,
               pid_t server, int& delivered) {
  const double own0 = ownCpuSeconds(), server0 = processCpuSeconds(server);
  const int first = delivered;
  const double wall = nuvlet::bench::runSamplerInRealTime(seconds, sampler, loop, delivered);
  return {(ownCpuSeconds() - own0) / wall, (processCpuSeconds(server) - server0) / wall,
          delivered - first};
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
  nuvlet::bench::Xvfb xvfb("1920x1080x24");
  if (xvfb.display().empty()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  const auto output = nuvlet::linux_platform::x11MainOutput(xvfb.display());
  if (!output) {
    std::fprintf(stderr, "no output on the Xvfb screen\n");
    return 1;
  }
  nuvlet::SystemClock clock;
  nuvlet::linux_platform::X11CaptureOptions options;
  options.display = xvfb.display();
  nuvlet::sim::VirtualRunLoop loop;
  nuvlet::ThreadWorkQueue queue;
  nuvlet::ContentSampler sampler(
      *output, nuvlet::linux_platform::makeX11ScreenCapture(clock, options), loop, queue);
  int delivered = 0;
  sampler.onSample = [&](double) { ++delivered; };

  std::printf("Sampler at 10 Hz on a 1920x1080 Xvfb screen, %.0f s per phase:\n", seconds);
  const Cost idle = sampleFor(seconds, sampler, loop, xvfb.pid(), delivered);
  std::printf("  idle screen:     %5.2f%% of a core (goal < 0.3%%), X server %5.2f%%, %d samples\n",
              idle.own * 100, idle.server * 100, idle.samples);
  Cost changing{};
  {
    Repainter repainter(xvfb.display());
    changing = sampleFor(seconds, sampler, loop, xvfb.pid(), delivered);
  }
  std::printf("  changing screen: %5.2f%% of a core (goal < 2%%),   X server %5.2f%%, %d samples\n",
              changing.own * 100, changing.server * 100, changing.samples);
  return 0;
}
