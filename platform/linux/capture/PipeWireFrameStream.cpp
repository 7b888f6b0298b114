#include "platform/linux/capture/PipeWireFrameStream.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "nuvlet/platform/Log.h"
#include "platform/linux/capture/MappedFrame.h"

// PipeWire's C API is macros made of GNU statement expressions and compound literals:
// fine for both compilers, only not pedantic C++ (clang says so).
#pragma GCC diagnostic ignored "-Wpedantic"

namespace nuvlet::linux_platform {

const char* pipeWireStreamStateName(PipeWireStreamState state) {
  switch (state) {
    case PipeWireStreamState::Connecting:
      return "connecting";
    case PipeWireStreamState::NoFrameYet:
      return "no frame yet";
    case PipeWireStreamState::Streaming:
      return "streaming";
    case PipeWireStreamState::Failed:
      return "failed";
  }
  return "?";
}

namespace {

// The pixel orders the stream asks for; nothing for any other format.
std::optional<PixelOrder> orderOf(spa_video_format format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_BGRA:
      return PixelOrder::Bgrx;
    case SPA_VIDEO_FORMAT_RGBx:
    case SPA_VIDEO_FORMAT_RGBA:
      return PixelOrder::Rgbx;
    case SPA_VIDEO_FORMAT_xRGB:
    case SPA_VIDEO_FORMAT_ARGB:
      return PixelOrder::Xrgb;
    case SPA_VIDEO_FORMAT_xBGR:
    case SPA_VIDEO_FORMAT_ABGR:
      return PixelOrder::Xbgr;
    default:
      return std::nullopt;
  }
}

// PipeWire's interface calls are C macros with C casts in them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
void addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
  pw_core_add_listener(core, hook, events, data);
}
pw_registry* getRegistry(pw_core* core) {
  return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}
void addRegistryListener(pw_registry* registry, spa_hook* hook, const pw_registry_events* events,
                         void* data) {
  pw_registry_add_listener(registry, hook, events, data);
}
int syncCore(pw_core* core) { return pw_core_sync(core, PW_ID_CORE, 0); }
#pragma GCC diagnostic pop

// The agreed video format, as the frames of the buffers dequeued under it have it.
struct VideoFormat {
  std::optional<PixelOrder> order;
  int width = 0, height = 0;
};

// A dequeued buffer kept for take(), with the layout it was checked against.
struct HeldFrame {
  pw_buffer* buffer = nullptr;
  const std::uint8_t* pixels = nullptr;  // the first row
  std::ptrdiff_t stride = 0;
  VideoFormat format;
};

class Stream final : public PipeWireFrameStream {
 public:
  Stream(int fd, std::uint32_t node, PipeWireStreamOptions options)
      : node_(node), options_(options) {
    if (fd < 0) {
      fail("PipeWire: no connection to the remote");
      return;
    }
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    loop_ = pw_thread_loop_new("nuvlet-pipewire", nullptr);
    if (loop_ == nullptr) {
      ::close(fd);
      fail("PipeWire: no thread loop");
      return;
    }
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr) {
      ::close(fd);
      fail("PipeWire: no context");
      return;
    }
    if (pw_thread_loop_start(loop_) != 0) {
      ::close(fd);
      fail("PipeWire: the thread loop did not start");
      return;
    }
    pw_thread_loop_lock(loop_);
    connect(fd);
    pw_thread_loop_unlock(loop_);
  }

  ~Stream() override {
    if (loop_ != nullptr) {
      // The loop thread stops first: a frame signalled by the data thread reaches the
      // loop as a queued call that names the stream, and one still queued when the
      // stream is destroyed would run on freed memory once the loop is unlocked.
      pw_thread_loop_stop(loop_);
      giveBack();
      if (stream_ != nullptr) {
        spa_hook_remove(&streamListener_);
        pw_stream_destroy(stream_);
      }
      if (registry_ != nullptr) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
      }
      if (core_ != nullptr) {
        spa_hook_remove(&coreListener_);
        pw_core_disconnect(core_);
      }
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  }

  ScreenCapture::Result take(FrameSink& sink) override {
    if (loop_ == nullptr) return ScreenCapture::Result::Unavailable;
    pw_thread_loop_lock(loop_);
    ScreenCapture::Result result = ScreenCapture::Result::Unavailable;
    if (failed_) {
      giveBack();
    } else if (held_.buffer != nullptr) {
      reduce(held_, sink);
      giveBack();
      taken_ = true;
      result = ScreenCapture::Result::Captured;
    } else if (taken_) {
      result = ScreenCapture::Result::Unchanged;
    }
    pw_thread_loop_unlock(loop_);
    return result;
  }

  PipeWireStreamStatus status() const override {
    std::lock_guard lock(statusMutex_);
    return status_;
  }

 private:
  // On the loop thread, or with the loop locked.
  void connect(int fd) {
    // PipeWire owns the descriptor from here, also when joining fails.
    core_ = pw_context_connect_fd(context_, fd, nullptr, 0);
    if (core_ == nullptr) {
      fail(std::string("PipeWire: cannot join the remote: ") + std::strerror(errno));
      return;
    }
    static const pw_core_events coreEvents = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.done = onCoreDone;
      e.error = onCoreError;
      return e;
    }();
    addCoreListener(core_, &coreListener_, &coreEvents, this);

    // The producer leaving shows as its node leaving the registry: a session manager may
    // not unlink the stream or may leave it paused for ever.
    registry_ = getRegistry(core_);
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = onGlobal;
      e.global_remove = onGlobalRemove;
      return e;
    }();
    addRegistryListener(registry_, &registryListener_, &registryEvents, this);
    registrySync_ = syncCore(core_);

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Screen",
        PW_KEY_NODE_NAME, "nuvlet-screen-sampler", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    stream_ = pw_stream_new(core_, "nuvlet screen sampler", props);
    if (stream_ == nullptr) {
      fail("PipeWire: cannot make a stream");
      return;
    }
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = onStateChanged;
      e.param_changed = onParamChanged;
      e.remove_buffer = onRemoveBuffer;
      e.process = onProcess;
      return e;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    std::uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_rectangle defaultSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    const spa_fraction anyRate{0, 1}, minRate{0, 1},
        maxRate{static_cast<std::uint32_t>(std::max(options_.maxFramesPerSecond, 1)), 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA,
                               SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_xBGR,
                               SPA_VIDEO_FORMAT_ABGR),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&anyRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&maxRate, &minRate, &maxRate)));
    const int res = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node_,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (res < 0) fail(std::string("PipeWire: cannot connect the stream: ") + spa_strerror(res));
  }

  static void onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<Stream*>(data);
    if (id != PW_ID_CORE || seq != self->registrySync_ || self->nodeSeen_) return;
    self->fail("PipeWire node " + std::to_string(self->node_) +
               " is not there: the producer is gone");
  }

  static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Stream*>(data);
    if (id != PW_ID_CORE) return;  // errors of the stream arrive as its state as well
    if (res == -EPIPE) {
      self->fail("PipeWire went away");
    } else {
      self->fail(std::string("PipeWire: ") + (message != nullptr ? message : spa_strerror(res)));
    }
  }

  static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict*) {
    auto* self = static_cast<Stream*>(data);
    if (id == self->node_ && std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) self->nodeSeen_ = true;
  }

  static void onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Stream*>(data);
    if (id == self->node_ && self->nodeSeen_) self->fail("the PipeWire producer went away");
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                             const char* error) {
    auto* self = static_cast<Stream*>(data);
    switch (state) {
      case PW_STREAM_STATE_ERROR:
        self->fail(std::string("PipeWire stream: ") + (error != nullptr ? error : "error"));
        break;
      case PW_STREAM_STATE_UNCONNECTED:
        self->fail("the PipeWire stream was disconnected");
        break;
      default:
        break;
    }
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Stream*>(data);
    if (id == SPA_PARAM_Format && param != nullptr) self->formatChanged(param);
  }

  void formatChanged(const spa_pod* param) {
    std::uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw raw{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &raw) < 0 || !orderOf(raw.format) ||
        raw.size.width == 0 || raw.size.height == 0 || raw.size.width > 16384 ||
        raw.size.height > 16384) {
      pw_stream_set_error(stream_, -EINVAL, "no format fits");
      fail("PipeWire: the producer offers no format that fits");
      return;
    }
    format_ = {orderOf(raw.format), static_cast<int>(raw.size.width),
               static_cast<int>(raw.size.height)};
    {
      std::lock_guard lock(statusMutex_);
      status_.width = format_.width;
      status_.height = format_.height;
    }
    if (state() == PipeWireStreamState::Connecting) setState(PipeWireStreamState::NoFrameYet);

    std::uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
        SPA_POD_Int(static_cast<int>(sizeof(spa_meta_header)))));
    pw_stream_update_params(stream_, params, 2);
  }

  static void onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<Stream*>(data);
    // Its memory goes with it (a new format, or the stream ending).
    if (self->held_.buffer == buffer) self->held_ = {};
  }

  static void onProcess(void* data) { static_cast<Stream*>(data)->process(); }

  // Only the newest usable frame matters; the rest go straight back to the producer.
  void process() {
    std::uint64_t frames = 0, dropped = 0;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
      HeldFrame frame;
      if (!check(buffer, frame)) {
        ++dropped;
        pw_stream_queue_buffer(stream_, buffer);
        continue;
      }
      ++frames;
      giveBack();
      held_ = frame;
    }
    if (frames == 0 && dropped == 0) return;
    {
      std::lock_guard lock(statusMutex_);
      status_.frames += frames;
      status_.dropped += dropped;
    }
    if (frames > 0 && !failed_) setState(PipeWireStreamState::Streaming);
  }

  // Whether the buffer holds a whole frame of the agreed format inside its memory.
  bool check(pw_buffer* buffer, HeldFrame& frame) const {
    const spa_buffer* b = buffer->buffer;
    if (b == nullptr || b->n_datas < 1 || !format_.order) return false;
    if (const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)));
        header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0) {
      return false;
    }
    const spa_data& d = b->datas[0];
    const spa_chunk* chunk = d.chunk;
    if (d.data == nullptr || chunk == nullptr || chunk->size == 0 ||
        (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) {
      return false;
    }
    const std::uint64_t rowBytes = 4 * static_cast<std::uint64_t>(format_.width);
    // Rows bottom-up (a negative stride) are not something producers send.
    if (chunk->stride < 0) return false;
    const std::uint64_t stride =
        chunk->stride > 0 ? static_cast<std::uint64_t>(chunk->stride) : rowBytes;
    const std::uint64_t offset = chunk->offset;
    const std::uint64_t size = chunk->size;
    const std::uint64_t needed = stride * static_cast<std::uint64_t>(format_.height - 1) + rowBytes;
    if (stride < rowBytes || offset > d.maxsize || size > d.maxsize - offset || needed > size) {
      return false;
    }
    frame.buffer = buffer;
    frame.pixels = static_cast<const std::uint8_t*>(d.data) + offset;
    frame.stride = static_cast<std::ptrdiff_t>(stride);
    frame.format = format_;
    return true;
  }

  void reduce(const HeldFrame& frame, FrameSink& sink) {
    handOver({frame.pixels, frame.format.width, frame.format.height, frame.stride,
              frame.format.order.value_or(PixelOrder::Bgrx)},
             sink, scratch_);
  }

  void giveBack() {
    if (held_.buffer != nullptr && stream_ != nullptr)
      pw_stream_queue_buffer(stream_, held_.buffer);
    held_ = {};
  }

  PipeWireStreamState state() const {
    std::lock_guard lock(statusMutex_);
    return status_.state;
  }

  void fail(const std::string& why) {
    if (failed_) return;
    failed_ = true;
    setState(PipeWireStreamState::Failed, why);
  }

  void setState(PipeWireStreamState state, const std::string& problem = {}) {
    {
      std::lock_guard lock(statusMutex_);
      if (status_.state == state && status_.problem == problem) return;
      status_.state = state;
      status_.problem = problem;
    }
    log::debug(std::string("screen capture (PipeWire): ") + pipeWireStreamStateName(state) +
               (problem.empty() ? "" : ": " + problem));
  }

  const std::uint32_t node_;
  const PipeWireStreamOptions options_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook coreListener_{};
  spa_hook registryListener_{};
  spa_hook streamListener_{};

  // The loop's lock guards these.
  int registrySync_ = -1;
  bool nodeSeen_ = false;
  bool failed_ = false;
  bool taken_ = false;  // a frame went to a sink: "unchanged" has a meaning
  VideoFormat format_;
  HeldFrame held_;
  std::vector<std::uint8_t> scratch_;

  mutable std::mutex statusMutex_;
  PipeWireStreamStatus status_;
};

}  // namespace

std::unique_ptr<PipeWireFrameStream> openPipeWireFrameStream(int fd, std::uint32_t node,
                                                             PipeWireStreamOptions options) {
  return std::make_unique<Stream>(fd, node, options);
}

}  // namespace nuvlet::linux_platform
