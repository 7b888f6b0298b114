#include "tests/harness/PipeWire.h"

#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <vector>

#include "tests/support/PollUntil.h"
#include "tests/support/TempDir.h"

// PipeWire's C API is macros made of GNU statement expressions and compound literals:
// fine for both compilers, only not pedantic C++ (clang says so).
#pragma GCC diagnostic ignored "-Wpedantic"

namespace nuvlet::test {
namespace {

using Steady = std::chrono::steady_clock;

int connectTo(const std::filesystem::path& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = socketPath.string();
  if (path.size() >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

PipeWireDaemon* PipeWireDaemon::shared(std::string* why) {
  // The directory outlives the daemon in it.
  static TempDir dir;
  static std::string failure;
  static const std::unique_ptr<PipeWireDaemon> daemon = start(dir.path(), &failure);
  if (why) *why = failure;
  return daemon.get();
}

std::unique_ptr<PipeWireDaemon> PipeWireDaemon::start(const std::filesystem::path& dir,
                                                      std::string* why) {
  auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return nullptr;
  };
  for (const char* program : {"pipewire", "wireplumber", "dbus-daemon"}) {
    if (!findProgram(program)) return fail(std::string(program) + " is not installed");
  }
  std::unique_ptr<PipeWireDaemon> d(new PipeWireDaemon);
  d->dir_ = dir;
  d->runtimeDir_ = dir / "run";
  std::filesystem::create_directories(d->runtimeDir_);
  ::chmod(d->runtimeDir_.c_str(), 0700);
  // Everything started here dies with the test even when it crashes: a daemon left
  // behind would hold the test's output open. (The signal comes when the thread that
  // started them ends: start from the test's main thread.)
  auto orphanProof = [](std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--pdeathsig", "KILL", "--"});
    return argv;
  };
  // WirePlumber will not run without a session bus.
  const auto busConfig = dir / "bus.conf";
  { std::ofstream(busConfig) << testBusConfig("session", "unix:dir=" + dir.string()); }
  d->bus_ = std::make_unique<ChildProcess>(
      orphanProof({"dbus-daemon", "--config-file=" + busConfig.string(), "--print-address=1",
                   "--nofork", "--nopidfile"}));
  const auto busAddress = d->bus_->readLine(10);
  if (!busAddress || busAddress->empty()) return fail("dbus-daemon did not start");

  auto env = homeEnvironment(dir / "home");
  env["XDG_RUNTIME_DIR"] = d->runtimeDir_.string();
  env["PIPEWIRE_RUNTIME_DIR"] = d->runtimeDir_.string();
  env["PIPEWIRE_REMOTE"] = "pipewire-0";
  env["DBUS_SESSION_BUS_ADDRESS"] = *busAddress;
  // Their complaints about missing devices and services go to files, not the test's output.
  auto logged = [&](const std::string& program) {
    return orphanProof(
        {"sh", "-c", "exec " + program + " 2>>\"$0\"", (dir / (program + ".log")).string()});
  };
  d->daemon_ = std::make_unique<ChildProcess>(logged("pipewire"), env);
  const auto socket = d->runtimeDir_ / "pipewire-0";
  const bool up = pollUntil(
      [&] {
        const int fd = connectTo(socket);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
      },
      10);
  if (!up) return fail("pipewire did not come up: " + readText(dir / "pipewire.log"));
  d->sessionManager_ = std::make_unique<ChildProcess>(logged("wireplumber"), env);
  if (!d->sessionManager_->started()) return fail("wireplumber did not start");
  return d;
}

PipeWireDaemon::~PipeWireDaemon() {
  sessionManager_.reset();
  daemon_.reset();
  bus_.reset();
}

int PipeWireDaemon::connect() const { return connectTo(runtimeDir_ / "pipewire-0"); }

std::string PipeWireDaemon::logs() const {
  return "pipewire:\n" + readText(dir_ / "pipewire.log") + "wireplumber:\n" +
         readText(dir_ / "wireplumber.log");
}

void PipeWireDaemon::kill() {
  if (daemon_ && daemon_->started()) {
    ::kill(daemon_->pid(), SIGKILL);
    daemon_->wait(10);
  }
}

std::vector<pid_t> PipeWireDaemon::pids() const {
  std::vector<pid_t> pids;
  for (const auto* p : {daemon_.get(), sessionManager_.get()}) {
    if (p != nullptr && p->started()) pids.push_back(p->pid());
  }
  return pids;
}

// ---- the producer ----------------------------------------------------------------

namespace {

// Per PixelOrder: its SPA format, and which of a pixel's four bytes in memory hold red,
// green, blue and the padding.
struct Order {
  spa_video_format format;
  int r, g, b, x;
};
constexpr Order kOrders[] = {
    {SPA_VIDEO_FORMAT_BGRx, 2, 1, 0, 3}, {SPA_VIDEO_FORMAT_BGRA, 2, 1, 0, 3},
    {SPA_VIDEO_FORMAT_RGBx, 0, 1, 2, 3}, {SPA_VIDEO_FORMAT_RGBA, 0, 1, 2, 3},
    {SPA_VIDEO_FORMAT_xRGB, 1, 2, 3, 0}, {SPA_VIDEO_FORMAT_ARGB, 1, 2, 3, 0},
    {SPA_VIDEO_FORMAT_xBGR, 3, 2, 1, 0}, {SPA_VIDEO_FORMAT_ABGR, 3, 2, 1, 0},
};
const Order& orderOf(PixelOrder order) { return kOrders[static_cast<int>(order)]; }

// The four bytes of one pixel in memory; the padding byte is 0x80, which a consumer
// that took it for a channel would notice.
std::uint32_t pixelWord(PixelOrder order, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  const Order& o = orderOf(order);
  std::uint8_t p[4];
  p[o.r] = r, p[o.g] = g, p[o.b] = b, p[o.x] = 0x80;
  std::uint32_t word;
  std::memcpy(&word, p, 4);
  return word;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
void addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
  pw_core_add_listener(core, hook, events, data);
}
#pragma GCC diagnostic pop

// A buffer's memory, laid out for the format agreed when it was made.
struct Memory {
  int fd = -1;
  void* data = nullptr;
  std::size_t size = 0;
  int width = 0, height = 0, stride = 0;
};

}  // namespace

struct PipeWireProducer::Impl {
  int width, height;  // asked for
  int agreedWidth = 0, agreedHeight = 0;
  double agreedMaxRate = 0;
  PixelOrder order;
  int padding;
  std::uint8_t r = 0, g = 0, b = 0;
  bool dirty = true;  // the picture is to be sent
  std::optional<BadFrame> special;
  bool streaming = false;
  // Streaming starts on this side before the consumer's side is always ready, and a frame
  // sent in between is lost (so a real static screen may never deliver one): like a
  // compositor that keeps repainting for a moment, the picture goes out again for a
  // little while after each start, also after a new format.
  static constexpr auto kRepeat = std::chrono::milliseconds(250);
  Steady::time_point repeatUntil{};
  std::uint64_t sent = 0;
  Steady::time_point lastSent{};

  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_source* timer = nullptr;
  spa_hook coreListener{};
  spa_hook streamListener{};

  std::vector<const spa_pod*> formatParams(spa_pod_builder& builder) const {
    const spa_rectangle size{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)};
    const spa_fraction anyRate{0, 1}, maxRate{60, 1}, minRate{1, 1};
    return {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(orderOf(order).format), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&anyRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)))};
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* self = static_cast<Impl*>(data);
    self->streaming = state == PW_STREAM_STATE_STREAMING;
    if (self->streaming) {
      self->repeatUntil = Steady::now() + kRepeat;
      self->wake();
    }
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    spa_video_info_raw raw{};
    if (spa_format_video_raw_parse(param, &raw) < 0) return;
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const int stride = 4 * static_cast<int>(raw.size.width) + self->padding;
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * static_cast<int>(raw.size.height)),
        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
    self->agreedWidth = static_cast<int>(raw.size.width);
    self->agreedMaxRate = raw.max_framerate.denom != 0
                              ? static_cast<double>(raw.max_framerate.num) / raw.max_framerate.denom
                              : 0;
    self->agreedHeight = static_cast<int>(raw.size.height);
    pw_stream_update_params(self->stream, params, 2);
    self->dirty = true;
  }

  // Our own memory, as a compositor gives its frames: memfd the consumer maps.
  static void onAddBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<Impl*>(data);
    spa_data& d = buffer->buffer->datas[0];
    auto* m = new Memory;
    m->width = self->agreedWidth;
    m->height = self->agreedHeight;
    m->stride = 4 * m->width + self->padding;
    m->size = static_cast<std::size_t>(m->stride) * static_cast<std::size_t>(m->height);
    m->fd = ::memfd_create("nuvlet-test-producer", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (m->fd >= 0 && ::ftruncate(m->fd, static_cast<off_t>(m->size)) == 0) {
      m->data = ::mmap(nullptr, m->size, PROT_READ | PROT_WRITE, MAP_SHARED, m->fd, 0);
    }
    buffer->user_data = m;
    if (m->data == MAP_FAILED || m->data == nullptr) {
      m->data = nullptr;
      return;
    }
    d.type = SPA_DATA_MemFd;
    d.flags = SPA_DATA_FLAG_READWRITE;
    d.fd = m->fd;
    d.mapoffset = 0;
    d.maxsize = static_cast<std::uint32_t>(m->size);
    d.data = m->data;
  }

  static void onRemoveBuffer(void*, pw_buffer* buffer) {
    auto* m = static_cast<Memory*>(buffer->user_data);
    if (m == nullptr) return;
    if (m->data != nullptr) ::munmap(m->data, m->size);
    if (m->fd >= 0) ::close(m->fd);
    delete m;
    buffer->user_data = nullptr;
  }

  static void onProcess(void* data) { static_cast<Impl*>(data)->fill(); }

  void fill() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (buffer == nullptr) return;  // none free: the next tick tries again
    spa_buffer* buf = buffer->buffer;
    spa_data& d = buf->datas[0];
    const auto* m = static_cast<const Memory*>(buffer->user_data);
    if (d.data == nullptr || m == nullptr) {
      pw_stream_queue_buffer(stream, buffer);
      return;
    }
    const std::uint32_t pixel =
        !special ? pixelWord(order, r, g, b) : pixelWord(order, 255 - r, 255 - g, 0);
    auto* bytes = static_cast<std::uint8_t*>(d.data);
    const std::size_t rowBytes = 4 * static_cast<std::size_t>(m->width);
    for (int y = 0; y < m->height; ++y) {
      std::uint8_t* row = bytes + static_cast<std::size_t>(y) * static_cast<std::size_t>(m->stride);
      for (int x = 0; x < m->width; ++x) std::memcpy(row + 4 * x, &pixel, 4);
      std::memset(row + rowBytes, 0xff, static_cast<std::size_t>(padding));
    }
    const auto size = static_cast<std::uint32_t>(m->size);
    d.chunk->offset = special == BadFrame::PastTheEnd ? static_cast<std::uint32_t>(m->stride) : 0;
    d.chunk->stride = m->stride;
    d.chunk->size = special == BadFrame::Empty       ? 0
                    : special == BadFrame::Truncated ? size - 1
                                                     : size;
    d.chunk->flags = special == BadFrame::Corrupted ? SPA_CHUNK_FLAG_CORRUPTED : 0;
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof(spa_meta_header)))) {
      header->pts = static_cast<std::int64_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch())
              .count());
      header->flags = special == BadFrame::CorruptedHeader ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
      header->seq = sent;
    }
    pw_stream_queue_buffer(stream, buffer);
    ++sent;
    lastSent = Steady::now();
    if (special) {
      special.reset();
    } else {
      dirty = false;
    }
  }

  // The timer ticks every 5 ms only while there is something to send: a static picture
  // costs nothing, as on a compositor. With the loop locked.
  void wake() {
    if (timer == nullptr) return;
    timespec soon{0, 1}, interval{0, 5'000'000};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &soon, &interval, false);
  }

  // A frame when there is something to send and a consumer to send it to; a frame that
  // found no free buffer goes on the next tick.
  static void onTimer(void* data, std::uint64_t) {
    auto* self = static_cast<Impl*>(data);
    const bool pending = self->dirty || self->special || Steady::now() < self->repeatUntil;
    if (self->stream == nullptr || !self->streaming || !pending) {
      pw_loop_update_timer(pw_thread_loop_get_loop(self->loop), self->timer, nullptr, nullptr,
                           false);
      return;
    }
    pw_stream_trigger_process(self->stream);
  }
};

PipeWireProducer::PipeWireProducer(const PipeWireDaemon& daemon, int width, int height,
                                   PixelOrder order, int stridePadding)
    : impl_(std::make_unique<Impl>()) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  Impl& p = *impl_;
  p.width = width;
  p.height = height;
  p.order = order;
  p.padding = stridePadding;
  p.loop = pw_thread_loop_new("test-producer", nullptr);
  p.context = pw_context_new(pw_thread_loop_get_loop(p.loop), nullptr, 0);
  pw_thread_loop_start(p.loop);
  pw_thread_loop_lock(p.loop);
  const int fd = daemon.connect();
  p.core = fd >= 0 ? pw_context_connect_fd(p.context, fd, nullptr, 0) : nullptr;
  if (p.core != nullptr) {
    static const pw_core_events coreEvents = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      return e;
    }();
    addCoreListener(p.core, &p.coreListener, &coreEvents, &p);
    p.stream =
        pw_stream_new(p.core, "nuvlet test screen",
                      pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE,
                                        "Video", PW_KEY_MEDIA_CATEGORY, "Source", nullptr));
  }
  if (p.stream != nullptr) {
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = Impl::onStateChanged;
      e.param_changed = Impl::onParamChanged;
      e.add_buffer = Impl::onAddBuffer;
      e.remove_buffer = Impl::onRemoveBuffer;
      e.process = Impl::onProcess;
      return e;
    }();
    pw_stream_add_listener(p.stream, &p.streamListener, &streamEvents, &p);
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    auto params = p.formatParams(builder);
    pw_stream_connect(
        p.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_ALLOC_BUFFERS),
        params.data(), static_cast<std::uint32_t>(params.size()));
    pw_loop* loop = pw_thread_loop_get_loop(p.loop);
    p.timer = pw_loop_add_timer(loop, Impl::onTimer, &p);
  }
  pw_thread_loop_unlock(p.loop);
}

PipeWireProducer::~PipeWireProducer() {
  Impl& p = *impl_;
  stop();
  pw_thread_loop_lock(p.loop);
  if (p.timer != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(p.loop), p.timer);
  if (p.core != nullptr) pw_core_disconnect(p.core);
  pw_thread_loop_unlock(p.loop);
  pw_thread_loop_stop(p.loop);
  pw_context_destroy(p.context);
  pw_thread_loop_destroy(p.loop);
}

std::uint32_t PipeWireProducer::node() {
  std::uint32_t id = SPA_ID_INVALID;
  pollUntil(
      [&] {
        pw_thread_loop_lock(impl_->loop);
        if (impl_->stream != nullptr) id = pw_stream_get_node_id(impl_->stream);
        pw_thread_loop_unlock(impl_->loop);
        return id != SPA_ID_INVALID;
      },
      5);
  return id == SPA_ID_INVALID ? 0 : id;
}

void PipeWireProducer::paint(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  pw_thread_loop_lock(impl_->loop);
  impl_->r = r;
  impl_->g = g;
  impl_->b = b;
  impl_->dirty = true;
  impl_->wake();
  pw_thread_loop_unlock(impl_->loop);
}

void PipeWireProducer::resize(int width, int height) {
  Impl& p = *impl_;
  pw_thread_loop_lock(p.loop);
  p.width = width;
  p.height = height;
  if (p.stream != nullptr) {
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    auto params = p.formatParams(builder);
    pw_stream_update_params(p.stream, params.data(), static_cast<std::uint32_t>(params.size()));
  }
  p.dirty = true;
  p.wake();
  pw_thread_loop_unlock(p.loop);
}

void PipeWireProducer::sendBad(BadFrame kind) {
  pw_thread_loop_lock(impl_->loop);
  impl_->special = kind;
  impl_->wake();
  pw_thread_loop_unlock(impl_->loop);
}

template <typename F>
auto PipeWireProducer::locked(F read) const {
  pw_thread_loop_lock(impl_->loop);
  const auto value = read(*impl_);
  pw_thread_loop_unlock(impl_->loop);
  return value;
}

double PipeWireProducer::agreedMaxFramesPerSecond() const {
  return locked([](const Impl& p) { return p.agreedMaxRate; });
}

double PipeWireProducer::quietSeconds() const {
  return locked([](const Impl& p) {
    const auto now = Steady::now();
    const bool quiet = !p.dirty && !p.special && now >= p.repeatUntil;
    return quiet ? std::max(std::chrono::duration<double>(now - p.lastSent).count(), 1e-9) : 0.0;
  });
}

std::uint64_t PipeWireProducer::framesSent() const {
  return locked([](const Impl& p) { return p.sent; });
}

void PipeWireProducer::stop() {
  Impl& p = *impl_;
  // With the loop thread paused: a call queued to it for the stream would otherwise run
  // after the stream is freed.
  pw_thread_loop_stop(p.loop);
  pw_thread_loop_lock(p.loop);
  if (p.stream != nullptr) {
    pw_stream_destroy(p.stream);  // gives back the buffers' memory first
    p.stream = nullptr;
    p.streaming = false;
  }
  pw_thread_loop_unlock(p.loop);
  pw_thread_loop_start(p.loop);
}

}  // namespace nuvlet::test
