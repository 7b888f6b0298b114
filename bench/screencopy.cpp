// The screencopy route, in one run:
//  1. reduction of a frame in a mapped wl_shm buffer (memfd, as the capture maps it)
//     against the single-thread read of the same buffer, 1080p to 4K; goal <= 1.3x;
//     with each row kernel forced, then as the reducer chooses by timing.
//  2. the sampler's CPU at 10 Hz through screencopy from a headless sway at 1080p, on a
//     static screen and on one a client repaints every 100 ms; goals <= 0.1% and <= 1%
//     of a core. sway's own share is printed beside it.
//
//   build/bench/bench_screencopy [seconds per sampler phase, default 20]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/SamplerCost.h"
#include "nuvlet/platform/ThreadWorkQueue.h"
#include "nuvlet/sensing/ContentSampler.h"
#include "nuvlet/sensing/FrameReducer.h"
#include "platform/linux/capture/ScreencopyCapture.h"
#include "platform/linux/display/DrmConnectors.h"
#include "platform/sim/VirtualRunLoop.h"
#include "xdg-shell-client-protocol.h"

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;
using nuvlet::bench::ownCpuSeconds;
using nuvlet::bench::processCpuSeconds;
using nuvlet::bench::StillCapture;

// ---- 1. reduction from mapped shared memory ----------------------------------------

using nuvlet::bench::FrameSize;

const std::vector<FrameSize> kSizes = {{1920, 1080}, {2560, 1440}, {3840, 2160}};
constexpr std::size_t kPoolBytes = std::size_t{256} << 20;  // more than any cache

// Frames in memfd mappings, as the capture maps them, filled with screen-like runs of
// flat colour.
const std::vector<nuvlet::FrameView>& pool(int width, int height) {
  static std::map<std::pair<int, int>, std::vector<nuvlet::FrameView>> pools;
  auto& frames = pools[{width, height}];
  if (!frames.empty()) return frames;
  const std::ptrdiff_t stride = 4 * static_cast<std::ptrdiff_t>(width);
  const std::size_t size = static_cast<std::size_t>(stride) * height;
  const std::size_t count = std::max<std::size_t>(4, kPoolBytes / size);
  std::mt19937 random(7);
  for (std::size_t i = 0; i < count; ++i) {
    const int fd = ::memfd_create("bench-shm", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) std::abort();
    void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) std::abort();
    auto* data = static_cast<std::uint8_t*>(map);
    for (int y = 0; y < height; ++y) {
      std::uint32_t colour = random();
      for (int x = 0; x < width; ++x) {
        if (x % 97 == 0) colour = random();
        std::memcpy(data + y * stride + 4 * x, &colour, 4);
      }
    }
    frames.push_back(nuvlet::FrameView{data, width, height, stride});
  }
  return frames;
}

nuvlet::bench::KernelChoices choices;
const nuvlet::bench::PerKernel runs{.name = "reduceAgainstRead", .chosenMinTime = 0.5};

void reduceAgainstRead(benchmark::State& state) {
  nuvlet::bench::reduceAgainstRead(
      state, pool(static_cast<int>(state.range(0)), static_cast<int>(state.range(1))), choices);
}

// ---- 2. the sampler through a real compositor --------------------------------------

// A headless sway with one 1920x1080 output (as an unprivileged uid when run as root,
// which sway requires). A small copy of the tests' launcher: the test support library
// brings a test main with it.
class Sway {
 public:
  Sway() {
    char pattern[] = "/tmp/bench-sway.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    const auto run = dir_ / "run";
    std::filesystem::create_directories(run);
    ::chmod(run.c_str(), 0700);
    std::ofstream(dir_ / "sway.conf")
        << "xwayland disable\noutput HEADLESS-1 resolution 1920x1080 position 0 0 bg #808080 "
           "solid_color\ndefault_border none\n";
    const bool root = ::geteuid() == 0;
    if (root) {
      for (const auto& p : {dir_, run, dir_ / "sway.conf"}) {
        if (::chown(p.c_str(), 4242, 4242) != 0) return;
      }
    }
    std::vector<std::string> args;
    if (root) args = {"setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "--"};
    for (const std::string& a :
         {std::string("env"), std::string("-i"), std::string("PATH=/usr/bin:/bin"),
          "HOME=" + dir_.string(), "XDG_RUNTIME_DIR=" + run.string(),
          std::string("WLR_BACKENDS=headless"), std::string("WLR_LIBINPUT_NO_DEVICES=1"),
          std::string("WLR_RENDERER=pixman"), std::string("WLR_HEADLESS_OUTPUTS=1"),
          std::string("sway"), std::string("-c"), (dir_ / "sway.conf").string()}) {
      args.push_back(a);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Start-up takes about 0.3 s; the socket appears when it is ready.
    const auto deadline = Steady::now() + std::chrono::seconds(20);
    while (pid_ > 0 && Steady::now() < deadline) {
      if (std::filesystem::exists(run / "wayland-1")) {
        socket_ = (run / "wayland-1").string();
        // The background client draws a moment later.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~Sway() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  Sway(const Sway&) = delete;
  Sway& operator=(const Sway&) = delete;

  const std::string& socket() const { return socket_; }
  pid_t pid() const { return pid_; }

 private:
  std::filesystem::path dir_;
  pid_t pid_ = -1;
  std::string socket_;
};

// A client that shows one window over the whole output and repaints it with a new
// colour every 100 ms. Its own CPU is kept apart from the sampler's.
class Repainter {
 public:
  explicit Repainter(const std::string& socket) : thread_([this, socket] { run(socket); }) {}
  ~Repainter() {
    stop_ = true;
    thread_.join();
  }
  // The CPU this client's thread has used so far, as of its last frame.
  double cpuSeconds() const { return cpu_.load(); }

 private:
  struct Client {
    wl_compositor* compositor = nullptr;
    wl_shm* shm = nullptr;
    xdg_wm_base* wm = nullptr;
    int width = 0, height = 0;
    bool configured = false;
  };

  void run(const std::string& socket) {
    wl_display* d = wl_display_connect(socket.c_str());
    if (d == nullptr) return;
    Client c;
    static const wl_registry_listener registryListener = {
        [](void* data, wl_registry* r, std::uint32_t name, const char* iface, std::uint32_t) {
          auto& client = *static_cast<Client*>(data);
          if (std::strcmp(iface, wl_compositor_interface.name) == 0) {
            client.compositor =
                static_cast<wl_compositor*>(wl_registry_bind(r, name, &wl_compositor_interface, 4));
          } else if (std::strcmp(iface, wl_shm_interface.name) == 0) {
            client.shm = static_cast<wl_shm*>(wl_registry_bind(r, name, &wl_shm_interface, 1));
          } else if (std::strcmp(iface, xdg_wm_base_interface.name) == 0) {
            client.wm =
                static_cast<xdg_wm_base*>(wl_registry_bind(r, name, &xdg_wm_base_interface, 1));
          }
        },
        [](void*, wl_registry*, std::uint32_t) {}};
    wl_registry_add_listener(wl_display_get_registry(d), &registryListener, &c);
    wl_display_roundtrip(d);
    if (c.compositor == nullptr || c.shm == nullptr || c.wm == nullptr) return;
    static const xdg_wm_base_listener wmListener = {
        [](void*, xdg_wm_base* wm, std::uint32_t serial) { xdg_wm_base_pong(wm, serial); }};
    xdg_wm_base_add_listener(c.wm, &wmListener, nullptr);
    wl_surface* surface = wl_compositor_create_surface(c.compositor);
    xdg_surface* xsurface = xdg_wm_base_get_xdg_surface(c.wm, surface);
    static const xdg_surface_listener surfaceListener = {
        [](void* data, xdg_surface* s, std::uint32_t serial) {
          xdg_surface_ack_configure(s, serial);
          static_cast<Client*>(data)->configured = true;
        }};
    xdg_surface_add_listener(xsurface, &surfaceListener, &c);
    xdg_toplevel* toplevel = xdg_surface_get_toplevel(xsurface);
    static const xdg_toplevel_listener toplevelListener = {
        [](void* data, xdg_toplevel*, std::int32_t w, std::int32_t h, wl_array*) {
          auto& client = *static_cast<Client*>(data);
          if (w > 0 && h > 0) {
            client.width = w;
            client.height = h;
          }
        },
        [](void*, xdg_toplevel*) {}, [](void*, xdg_toplevel*, std::int32_t, std::int32_t) {},
        [](void*, xdg_toplevel*, wl_array*) {}};
    xdg_toplevel_add_listener(toplevel, &toplevelListener, &c);
    xdg_toplevel_set_fullscreen(toplevel, nullptr);
    wl_surface_commit(surface);
    while (!c.configured && wl_display_dispatch(d) >= 0) {
    }
    const int w = c.width > 0 ? c.width : 1920, h = c.height > 0 ? c.height : 1080;
    const std::size_t size = std::size_t{4} * w * h;
    const int fd = ::memfd_create("bench-client", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0) return;
    auto* pixels = static_cast<std::uint32_t*>(
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    wl_shm_pool* pool = wl_shm_create_pool(c.shm, fd, static_cast<std::int32_t>(size));
    wl_buffer* buffer = wl_shm_pool_create_buffer(pool, 0, w, h, 4 * w, WL_SHM_FORMAT_XRGB8888);
    std::uint32_t colour = 0x102030;
    for (auto next = Steady::now(); !stop_; next += std::chrono::milliseconds(100)) {
      colour = colour * 1103515245u + 12345u;
      std::fill(pixels, pixels + std::size_t(w) * h, colour & 0xffffff);
      wl_surface_attach(surface, buffer, 0, 0);
      wl_surface_damage(surface, 0, 0, w, h);
      wl_surface_commit(surface);
      wl_display_flush(d);
      while (wl_display_prepare_read(d) != 0) wl_display_dispatch_pending(d);
      pollfd p{wl_display_get_fd(d), POLLIN, 0};
      const auto wait =
          std::chrono::duration_cast<std::chrono::milliseconds>(next - Steady::now()).count();
      if (::poll(&p, 1, static_cast<int>(std::max<long long>(wait, 0))) > 0) {
        wl_display_read_events(d);
        wl_display_dispatch_pending(d);
      } else {
        wl_display_cancel_read(d);
      }
      cpu_ = ownCpuSeconds(RUSAGE_THREAD);
      std::this_thread::sleep_until(next);
    }
    wl_buffer_destroy(buffer);
    wl_shm_pool_destroy(pool);
    ::munmap(pixels, size);
    ::close(fd);
    wl_display_disconnect(d);
  }

  std::atomic<bool> stop_{false};
  std::atomic<double> cpu_{0};
  std::thread thread_;
};

struct Cost {
  double own, server;  // shares of one core
  int samples;
  std::uint64_t copies;
};

Cost sampleFor(double seconds, nuvlet::ContentSampler& sampler,
               const nuvlet::linux_platform::ScreencopyCapture* capture,
               nuvlet::sim::VirtualRunLoop& loop, pid_t server, int& delivered,
               const Repainter* repainter) {
  const double own0 = ownCpuSeconds(RUSAGE_SELF), server0 = processCpuSeconds(server);
  const double painter0 = repainter != nullptr ? repainter->cpuSeconds() : 0;
  const auto copies0 = capture != nullptr ? capture->status().copies : 0;
  const int first = delivered;
  const double wall = nuvlet::bench::runSamplerInRealTime(seconds, sampler, loop, delivered);
  // A repainter in this process is not the sampler's cost.
  const double painter = repainter != nullptr ? repainter->cpuSeconds() - painter0 : 0;
  return {(ownCpuSeconds(RUSAGE_SELF) - own0 - painter) / wall,
          (processCpuSeconds(server) - server0) / wall, delivered - first,
          (capture != nullptr ? capture->status().copies : 0) - copies0};
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = nuvlet::bench::takeSecondsArgument(argc, argv, 20);
  runs.registerFor(kSizes, reduceAgainstRead);
  benchmark::Initialize(&argc, argv);
  nuvlet::bench::RatioReporter reporter(nuvlet::bench::RatioReporter::Time::Cpu);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nProcessor: %s\n", nuvlet::bench::processorLine().c_str());
  std::printf("\nReduction from a mapped wl_shm buffer against the read of the same buffer:\n");
  runs.print(reporter, kSizes, "reduce_ms", "read_ms", 1.3, &choices);
  std::fflush(stdout);

  Sway sway;
  if (sway.socket().empty()) {
    std::fprintf(stderr, "sway did not start\n");
    return 1;
  }
  nuvlet::SystemClock clock;
  nuvlet::linux_platform::ScreencopyOptions options;
  options.display = sway.socket();
  options.sysfsRoot = "/nonexistent";  // ids from the output names alone
  auto owned = nuvlet::linux_platform::makeScreencopyCapture(clock, options);
  auto& capture = *owned;
  nuvlet::sim::VirtualRunLoop loop;
  nuvlet::ThreadWorkQueue queue;
  nuvlet::ContentSampler sampler(nuvlet::linux_platform::waylandDisplayId("HEADLESS-1", {}),
                                 std::shared_ptr<nuvlet::ScreenCapture>(std::move(owned)), loop,
                                 queue);
  int delivered = 0;
  sampler.onSample = [&](double) { ++delivered; };

  const Cost idle = sampleFor(seconds, sampler, &capture, loop, sway.pid(), delivered, nullptr);
  Cost changing{};
  {
    Repainter repainter(sway.socket());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // mapped and drawing
    changing = sampleFor(seconds, sampler, &capture, loop, sway.pid(), delivered, &repainter);
  }
  // The floor of the static screen: this harness and the sampler with no capture at all.
  Cost still{};
  {
    nuvlet::ContentSampler bare(1, std::make_shared<StillCapture>(), loop, queue);
    int bareDelivered = 0;
    bare.onSample = [&](double) { ++bareDelivered; };
    still = sampleFor(seconds, bare, nullptr, loop, sway.pid(), bareDelivered, nullptr);
  }

  std::printf("\nSampler at 10 Hz through screencopy, headless sway 1920x1080, %.0f s a phase:\n",
              seconds);
  std::printf(
      "  static screen:   %6.3f%% of a core (goal <= 0.1%%), sway %6.3f%%, %d samples, "
      "%llu copies\n",
      idle.own * 100, idle.server * 100, idle.samples,
      static_cast<unsigned long long>(idle.copies));
  std::printf(
      "  static screen floor, the sampler over a capture that is never asked for "
      "anything: %6.3f%% of a core\n",
      still.own * 100);
  std::printf(
      "  changing screen: %6.3f%% of a core (goal <= 1%%),   sway %6.3f%%, %d samples, "
      "%llu copies\n",
      changing.own * 100, changing.server * 100, changing.samples,
      static_cast<unsigned long long>(changing.copies));
  // What reading every copied frame once costs, from the 1080p read above: no reduction
  // of whole frames on the processor can cost less.
  const double readMs =
      reporter.counter(runs.key(kSizes[0], nuvlet::bench::kChosenKernel), "read_ms");
  if (readMs > 0) {
    const double floor = static_cast<double>(changing.copies) / seconds * readMs / 1e3;
    std::printf(
        "  changing screen floor, one plain read of each copied frame: %6.3f%% of a core; "
        "the sampler is %.2fx that\n",
        floor * 100, changing.own / floor);
  }
  benchmark::Shutdown();
  return 0;
}
