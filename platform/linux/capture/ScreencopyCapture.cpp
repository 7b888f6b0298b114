#include "platform/linux/capture/ScreencopyCapture.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "nuvlet/platform/Log.h"
#include "platform/linux/display/DrmConnectors.h"
#include "platform/linux/capture/MappedFrame.h"
#include "platform/linux/display/WaylandOutputHandles.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace nuvlet::linux_platform {

const char* screencopyStateName(ScreencopyState state) {
  switch (state) {
    case ScreencopyState::NotConnected:
      return "not connected";
    case ScreencopyState::NoFrameYet:
      return "no frame yet";
    case ScreencopyState::Streaming:
      return "streaming";
    case ScreencopyState::Failed:
      return "failed";
  }
  return "?";
}

namespace {

using Steady = std::chrono::steady_clock;

// wl_shm formats the reducers can read: B, G, R, X in memory, or R and B swapped.
bool isBgrx(std::uint32_t format) {
  return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888;
}
bool isRgbx(std::uint32_t format) {
  return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}

// One wl_output: its name (xdg-output, or wl_output 4) is what ids are made of.
struct Output : WaylandOutputHandles {
  std::uint32_t global = 0;
  std::string name;
  bool* namesChanged = nullptr;

  void setName(const char* n) {
    if (name == n) return;
    name = n;
    *namesChanged = true;
  }
};

void noGeometry(void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                std::int32_t, const char*, const char*, std::int32_t) {}
void noMode(void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {}
void noDone(void*, wl_output*) {}
void noScale(void*, wl_output*, std::int32_t) {}
void onOutputName(void* data, wl_output*, const char* name) {
  static_cast<Output*>(data)->setName(name);
}
void noDescription(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener = {noGeometry, noMode,       noDone,
                                            noScale,    onOutputName, noDescription};

void noPosition(void*, zxdg_output_v1*, std::int32_t, std::int32_t) {}
void noSize(void*, zxdg_output_v1*, std::int32_t, std::int32_t) {}
void noXdgDone(void*, zxdg_output_v1*) {}
void onXdgName(void* data, zxdg_output_v1*, const char* name) {
  static_cast<Output*>(data)->setName(name);
}
void noXdgDescription(void*, zxdg_output_v1*, const char*) {}
const zxdg_output_v1_listener kXdgOutputListener = {noPosition, noSize, noXdgDone, onXdgName,
                                                    noXdgDescription};

// A wl_shm buffer in memory of our own, kept while frames keep the same layout.
struct ShmBuffer {
  std::uint32_t format = 0;
  int width = 0, height = 0;
  std::size_t stride = 0;
  std::uint8_t* data = nullptr;
  std::size_t size = 0;
  wl_buffer* buffer = nullptr;

  ShmBuffer() = default;
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;
  ~ShmBuffer() {
    if (buffer != nullptr) wl_buffer_destroy(buffer);
    if (data != nullptr) ::munmap(data, size);
  }
  bool matches(std::uint32_t f, int w, int h, std::size_t s) const {
    return buffer != nullptr && f == format && w == width && h == height && s == stride;
  }
};

std::unique_ptr<ShmBuffer> makeShmBuffer(wl_shm* shm, std::uint32_t format, int width, int height,
                                         std::size_t stride) {
  const std::size_t size = stride * static_cast<std::size_t>(height);
  if (size == 0 || size > std::size_t{INT32_MAX}) return nullptr;
  const int fd = ::memfd_create("nuvlet-screencopy", MFD_CLOEXEC);
  if (fd < 0) return nullptr;
  auto b = std::make_unique<ShmBuffer>();
  void* map = MAP_FAILED;
  if (::ftruncate(fd, static_cast<off_t>(size)) == 0) {
    map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  if (map == MAP_FAILED) {
    ::close(fd);
    return nullptr;
  }
  b->data = static_cast<std::uint8_t*>(map);
  b->size = size;
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size));
  b->buffer =
      wl_shm_pool_create_buffer(pool, 0, width, height, static_cast<std::int32_t>(stride), format);
  wl_shm_pool_destroy(pool);  // the buffer keeps the memory
  ::close(fd);
  b->format = format;
  b->width = width;
  b->height = height;
  b->stride = stride;
  return b;
}

// Reads and dispatches what the compositor sent, waiting up to timeoutMs for something
// to arrive; false when the connection is broken.
bool pumpDisplay(wl_display* display, int timeoutMs) {
  while (wl_display_prepare_read(display) != 0) {
    if (wl_display_dispatch_pending(display) < 0) return false;
  }
  if (wl_display_flush(display) < 0 && errno != EAGAIN) {
    wl_display_cancel_read(display);
    return false;
  }
  pollfd p{wl_display_get_fd(display), POLLIN, 0};
  const int n = ::poll(&p, 1, std::max(timeoutMs, 0));
  if (n <= 0) {
    const bool interrupted = n < 0 && errno == EINTR;
    wl_display_cancel_read(display);
    return n == 0 || interrupted;
  }
  if (wl_display_read_events(display) < 0) return false;
  return wl_display_dispatch_pending(display) >= 0 && wl_display_get_error(display) == 0;
}

int millisecondsUntil(Steady::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

// A round trip that gives up at `deadline`: wl_display_roundtrip could wait for ever on
// a stuck compositor, and a stuck compositor must not hold the sampler.
bool boundedRoundtrip(wl_display* display, Steady::time_point deadline) {
  bool done = false;
  static const wl_callback_listener listener = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback* cb = wl_display_sync(display);
  wl_callback_add_listener(cb, &listener, &done);
  bool ok = true;
  while (!done && ok) {
    const int left = millisecondsUntil(deadline);
    ok = left > 0 && pumpDisplay(display, left);
  }
  wl_callback_destroy(cb);
  return done;
}

class Screencopy final : public ScreencopyCapture {
 public:
  Screencopy(const Clock& clock, ScreencopyOptions options)
      : clock_(clock), options_(std::move(options)) {}
  ~Screencopy() override { disconnect(); }

  ScreencopyStatus status() const override {
    std::lock_guard lock(statusMutex_);
    return status_;
  }

  Result capture(DisplayID display, FrameSink& sink, bool allowUnchanged) override {
    if (display_ == nullptr && !connect()) return Result::Unavailable;
    if (!pump(0)) return lose("the compositor went away");
    if (namesChanged_) refreshIds();
    Output* output = nullptr;
    if (const auto id = ids_.find(display); id != ids_.end()) {
      if (const auto o = outputs_.find(id->second); o != outputs_.end()) output = o->second.get();
    }
    if (output == nullptr) {
      cancelFrame();
      lastDisplay_.reset();
      char why[96];
      std::snprintf(why, sizeof why, "display 0x%x is not among the compositor's outputs", display);
      setState(ScreencopyState::Failed, unplugged_.empty() ? std::string(why) : unplugged_);
      return Result::Unavailable;
    }
    if (frame_ != nullptr && frameOutput_ != output->global) {
      cancelFrame();
      lastDisplay_.reset();
    }
    if (frameState_ == FrameState::Failed) {
      const std::string why = frameProblem_;
      cancelFrame();
      lastDisplay_.reset();
      failedAt_ = clock_.monotonic();
      setState(ScreencopyState::Failed, why, output->name);
      return Result::Unavailable;
    }
    if (frame_ == nullptr && failedAt_ && clock_.monotonic() - *failedAt_ < options_.retrySeconds) {
      return Result::Unavailable;
    }
    if (frameState_ == FrameState::Ready) return deliver(display, *output, sink);
    // Waiting for a change: nothing new since the frame the caller reduced last.
    if (frame_ != nullptr && !frameAtOnce_ && allowUnchanged && lastDisplay_ == display) {
      return Result::Unchanged;
    }
    // A frame is needed now. The first damage request on an output is answered at once
    // (everything counts as changed), and it starts the compositor's damage tracking;
    // a later one could wait for ever on a static screen, so then a plain copy.
    if (frame_ == nullptr || !frameAtOnce_) {
      cancelFrame();
      const bool first = damageTracked_.insert(output->global).second;
      requestFrame(*output, first ? Copy::FirstWithDamage : Copy::Plain);
    }
    const auto deadline =
        Steady::now() + std::chrono::duration_cast<Steady::duration>(
                            std::chrono::duration<double>(options_.frameWaitSeconds));
    while (frameState_ == FrameState::Pending) {
      const int left = millisecondsUntil(deadline);
      if (left <= 0) break;
      if (!pump(left)) return lose("the compositor went away");
    }
    if (frameState_ == FrameState::Ready) return deliver(display, *output, sink);
    if (frameState_ == FrameState::Failed) {
      return capture(display, sink, false);  // reports it as above
    }
    setState(ScreencopyState::NoFrameYet, "", output->name);
    return Result::Unavailable;
  }

 private:
  enum class FrameState { None, Pending, Ready, Failed };

  bool connect() {
    const double now = clock_.monotonic();
    if (lastConnectAttempt_ && now - *lastConnectAttempt_ < options_.retrySeconds) return false;
    lastConnectAttempt_ = now;
    display_ = wl_display_connect(options_.display.empty() ? nullptr : options_.display.c_str());
    if (display_ == nullptr) {
      setState(ScreencopyState::Failed, "no Wayland compositor answers");
      return false;
    }
    static const wl_registry_listener listener = {onGlobal, onGlobalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &listener, this);
    // The globals, then the outputs' names, then xdg-output's: a compositor answers them
    // in milliseconds, and one that does not must not hold the sampler's thread.
    const auto deadline = Steady::now() + std::chrono::milliseconds(500);
    for (int i = 0; i < 3; ++i) {
      if (!boundedRoundtrip(display_, deadline)) {
        lose("the compositor did not answer");
        return false;
      }
    }
    if (manager_ == nullptr || shm_ == nullptr) {
      lose("the compositor offers no wlroots screencopy");
      return false;
    }
    return true;
  }

  // Everything goes; a later capture connects again.
  ScreenCapture::Result lose(const std::string& why) {
    if (display_ != nullptr) lastConnectAttempt_ = clock_.monotonic();
    disconnect();
    setState(ScreencopyState::Failed, why);
    return Result::Unavailable;
  }

  void disconnect() {
    cancelFrame();
    buffer_.reset();
    outputs_.clear();
    ids_.clear();
    if (xdgManager_ != nullptr) zxdg_output_manager_v1_destroy(xdgManager_);
    if (manager_ != nullptr) zwlr_screencopy_manager_v1_destroy(manager_);
    if (shm_ != nullptr) wl_shm_destroy(shm_);
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    if (display_ != nullptr) wl_display_disconnect(display_);
    xdgManager_ = nullptr;
    manager_ = nullptr;
    shm_ = nullptr;
    registry_ = nullptr;
    display_ = nullptr;
    lastDisplay_.reset();
    failedAt_.reset();
    damageTracked_.clear();
  }

  bool pump(int timeoutMs) { return pumpDisplay(display_, timeoutMs); }

  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
    auto* self = static_cast<Screencopy*>(data);
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
      auto o = std::make_unique<Output>();
      o->global = name;
      o->namesChanged = &self->namesChanged_;
      o->output = static_cast<wl_output*>(
          wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
      wl_output_add_listener(o->output, &kOutputListener, o.get());
      if (self->xdgManager_ != nullptr) self->addXdgOutput(*o);
      self->outputs_[name] = std::move(o);
      self->namesChanged_ = true;
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
      self->xdgManager_ = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
          registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
      for (auto& [global, o] : self->outputs_) self->addXdgOutput(*o);
    } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
      self->manager_ = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
          registry, name, &zwlr_screencopy_manager_v1_interface, std::min(version, 3u)));
    } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
      self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
    }
  }

  static void onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto* self = static_cast<Screencopy*>(data);
    if (self->frame_ != nullptr && self->frameOutput_ == name) {
      self->frameState_ = FrameState::Failed;
      self->frameProblem_ = "the output was unplugged";
    }
    auto it = self->outputs_.find(name);
    if (it == self->outputs_.end()) return;
    for (const auto& [id, global] : self->ids_) {
      if (global == name && self->lastDisplay_ == id) {
        self->unplugged_ =
            (it->second->name.empty() ? "the output" : it->second->name) + " was unplugged";
      }
    }
    self->outputs_.erase(it);
    self->namesChanged_ = true;
  }

  void addXdgOutput(Output& o) {
    if (o.xdg != nullptr) return;
    o.xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager_, o.output);
    zxdg_output_v1_add_listener(o.xdg, &kXdgOutputListener, &o);
  }

  // The same ids the Wayland topology gives: connector name and EDID.
  void refreshIds() {
    namesChanged_ = false;
    ids_.clear();
    const auto connectors = readDrmConnectors(options_.sysfsRoot);
    for (const auto& [global, o] : outputs_) {
      std::vector<std::uint8_t> edid;
      for (const auto& c : connectors) {
        if (!o->name.empty() && c.name == o->name) edid = c.edid;
      }
      ids_[waylandDisplayId(o->name.empty() ? "#" + std::to_string(global) : o->name, edid)] =
          global;
    }
  }

  enum class Copy {
    Plain,            // answered at once, changed or not
    FirstWithDamage,  // the first on an output: answered at once
    WithDamage,       // answered once the output changed
  };

  void requestFrame(const Output& output, Copy copy) {
    static const zwlr_screencopy_frame_v1_listener listener = {
        onBuffer, onFlags, onReady, onFailed, onDamage, onDmabuf, onBufferDone};
    frame_ = zwlr_screencopy_manager_v1_capture_output(manager_, 0, output.output);
    zwlr_screencopy_frame_v1_add_listener(frame_, &listener, this);
    frameOutput_ = output.global;
    const bool damageKnown = zwlr_screencopy_manager_v1_get_version(manager_) >= 2;
    frameWithDamage_ = damageKnown && copy != Copy::Plain;
    frameAtOnce_ = !damageKnown || copy != Copy::WithDamage;
    frameState_ = FrameState::Pending;
    frameProblem_.clear();
    offer_.reset();
    copying_ = false;
    yInvert_ = false;
    wl_display_flush(display_);
  }

  void cancelFrame() {
    if (frame_ != nullptr) zwlr_screencopy_frame_v1_destroy(frame_);
    frame_ = nullptr;
    frameState_ = FrameState::None;
  }

  struct Offer {
    std::uint32_t format;
    std::uint32_t width, height, stride;
  };

  static Screencopy& self(void* data) { return *static_cast<Screencopy*>(data); }

  static void onBuffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format,
                       std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
    auto& s = self(data);
    s.offer_ = Offer{format, width, height, stride};
    // Before version 3 this is the only description: copy at once.
    if (zwlr_screencopy_frame_v1_get_version(frame) < 3) s.startCopy();
  }
  static void onBufferDone(void* data, zwlr_screencopy_frame_v1*) { self(data).startCopy(); }
  static void onFlags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
    self(data).yInvert_ = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
  }
  static void onReady(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t) {
    auto& s = self(data);
    if (s.frameState_ == FrameState::Pending && s.copying_) s.frameState_ = FrameState::Ready;
  }
  static void onFailed(void* data, zwlr_screencopy_frame_v1*) {
    auto& s = self(data);
    s.frameState_ = FrameState::Failed;
    if (s.frameProblem_.empty()) s.frameProblem_ = "the compositor could not copy the output";
  }
  static void onDamage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t, std::uint32_t) {}
  static void onDmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {}

  // The compositor described the buffer it wants: give it ours.
  void startCopy() {
    copying_ = false;
    if (frameState_ != FrameState::Pending) return;
    auto failWith = [this](std::string why) {
      frameState_ = FrameState::Failed;
      frameProblem_ = std::move(why);
    };
    if (!offer_) return failWith("the compositor offers no shared-memory buffer");
    const Offer o = *offer_;
    if (!isBgrx(o.format) && !isRgbx(o.format)) {
      char why[80];
      std::snprintf(why, sizeof why, "the compositor offers pixel format 0x%x only", o.format);
      return failWith(why);
    }
    if (o.width == 0 || o.height == 0 || o.width > 32768 || o.height > 32768 ||
        o.stride < 4 * o.width) {
      return failWith("the compositor offers a buffer of no usable size");
    }
    if (!buffer_ || !buffer_->matches(o.format, static_cast<int>(o.width),
                                      static_cast<int>(o.height), o.stride)) {
      buffer_.reset();
      buffer_ = makeShmBuffer(shm_, o.format, static_cast<int>(o.width), static_cast<int>(o.height),
                              o.stride);
      if (!buffer_) return failWith("no memory for the frame");
    }
    if (frameWithDamage_) {
      zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_->buffer);
    } else {
      zwlr_screencopy_frame_v1_copy(frame_, buffer_->buffer);
    }
    copying_ = true;
    wl_display_flush(display_);
  }

  Result deliver(DisplayID display, const Output& output, FrameSink& sink) {
    reduce(sink);
    lastDisplay_ = display;
    unplugged_.clear();
    failedAt_.reset();
    {
      std::lock_guard lock(statusMutex_);
      ++status_.copies;
    }
    setState(ScreencopyState::Streaming, "", output.name);
    // The next frame comes when the output next changes. The compositor describes its
    // buffer at once: hand ours over now, or a change before the next capture would go
    // unseen until the one after it.
    cancelFrame();
    requestFrame(output, Copy::WithDamage);
    const auto deadline = Steady::now() + std::chrono::milliseconds(50);
    while (frameState_ == FrameState::Pending && !copying_) {
      const int left = millisecondsUntil(deadline);
      if (left <= 0 || !pump(left)) break;  // a lost connection shows on the next capture
    }
    return Result::Captured;
  }

  void reduce(FrameSink& sink) {
    const ShmBuffer& b = *buffer_;
    handOver({b.data, b.width, b.height, static_cast<std::ptrdiff_t>(b.stride),
              isBgrx(b.format) ? PixelOrder::Bgrx : PixelOrder::Rgbx, yInvert_},
             sink, scratch_);
  }

  void setState(ScreencopyState state, const std::string& problem, const std::string& name = {}) {
    bool changed = false;
    {
      std::lock_guard lock(statusMutex_);
      changed = state != status_.state || problem != status_.problem;
      status_.state = state;
      status_.problem = problem;
      if (!name.empty()) status_.outputName = name;
    }
    if (changed) {
      log::debug(std::string("screen capture (screencopy): ") + screencopyStateName(state) +
                 (problem.empty() ? "" : ": " + problem) + (name.empty() ? "" : " [" + name + "]"));
    }
  }

  const Clock& clock_;
  ScreencopyOptions options_;
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  wl_shm* shm_ = nullptr;
  zwlr_screencopy_manager_v1* manager_ = nullptr;
  zxdg_output_manager_v1* xdgManager_ = nullptr;
  std::map<std::uint32_t, std::unique_ptr<Output>> outputs_;  // by registry name
  bool namesChanged_ = true;
  std::map<DisplayID, std::uint32_t> ids_;  // display id → registry name
  std::optional<double> lastConnectAttempt_;
  std::optional<double> failedAt_;

  zwlr_screencopy_frame_v1* frame_ = nullptr;
  std::uint32_t frameOutput_ = 0;
  bool frameWithDamage_ = false;           // copy_with_damage rather than copy
  bool frameAtOnce_ = false;               // expected at once, not when the output next changes
  std::set<std::uint32_t> damageTracked_;  // outputs asked for a damage copy already
  FrameState frameState_ = FrameState::None;
  std::string frameProblem_;
  std::optional<Offer> offer_;
  bool copying_ = false;
  bool yInvert_ = false;
  std::unique_ptr<ShmBuffer> buffer_;
  std::vector<std::uint8_t> scratch_;
  std::optional<DisplayID> lastDisplay_;  // of the last frame delivered
  std::string unplugged_;                 // why the last display delivered is gone

  mutable std::mutex statusMutex_;
  ScreencopyStatus status_;
};

}  // namespace

std::unique_ptr<ScreencopyCapture> makeScreencopyCapture(const Clock& clock,
                                                         ScreencopyOptions options) {
  return std::make_unique<Screencopy>(clock, std::move(options));
}

bool compositorOffersScreencopy(const std::string& display) {
  wl_display* d = wl_display_connect(display.empty() ? nullptr : display.c_str());
  if (d == nullptr) return false;
  bool offered = false;
  static const wl_registry_listener listener = {
      [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
        if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0) {
          *static_cast<bool*>(data) = true;
        }
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry* registry = wl_display_get_registry(d);
  wl_registry_add_listener(registry, &listener, &offered);
  const bool answered = boundedRoundtrip(d, Steady::now() + std::chrono::seconds(1));
  wl_registry_destroy(registry);
  wl_display_disconnect(d);
  return answered && offered;
}

}  // namespace nuvlet::linux_platform
