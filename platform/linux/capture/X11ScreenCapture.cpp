#include "platform/linux/capture/X11ScreenCapture.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "nuvlet/sensing/FrameReducer.h"

namespace nuvlet::linux_platform {
namespace {

template <typename T>
struct FreeDeleter {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

struct Rect {
  int x = 0, y = 0, width = 0, height = 0;
};

// Only for the pixel layout the reducers read: 32 bits a pixel, B G R X in memory.
bool hasBgrxLayout(const xcb_setup_t* setup, const xcb_screen_t* screen) {
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  bool bpp32 = false;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
    if (it.data->depth == screen->root_depth) bpp32 = it.data->bits_per_pixel == 32;
  }
  if (!bpp32) return false;
  for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem; xcb_depth_next(&d)) {
    for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v)) {
      if (v.data->visual_id == screen->root_visual) {
        return v.data->red_mask == 0xff0000 && v.data->green_mask == 0xff00 &&
               v.data->blue_mask == 0xff;
      }
    }
  }
  return false;
}

bool hasExtension(xcb_connection_t* c, xcb_extension_t* ext) {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
  return data != nullptr && data->present;
}

std::optional<Rect> rootSize(xcb_connection_t* c, xcb_window_t root) {
  Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, root), nullptr));
  if (!g) return std::nullopt;
  return Rect{0, 0, g->width, g->height};
}

// The rectangle of an output's CRTC, clipped to the root window (a CRTC can reach past
// it for a moment while a change is under way).
std::optional<Rect> outputRect(xcb_connection_t* c, xcb_window_t root, DisplayID output) {
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (!res) return std::nullopt;
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(res.get());
  if (std::find(outputs, outputs + count, output) == outputs + count) return std::nullopt;
  Reply<xcb_randr_get_output_info_reply_t> info(xcb_randr_get_output_info_reply(
      c, xcb_randr_get_output_info(c, output, res->config_timestamp), nullptr));
  if (!info || info->crtc == XCB_NONE) return std::nullopt;
  Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
      c, xcb_randr_get_crtc_info(c, info->crtc, res->config_timestamp), nullptr));
  if (!crtc || crtc->width == 0 || crtc->height == 0) return std::nullopt;
  auto root_ = rootSize(c, root);
  if (!root_) return std::nullopt;
  const int x0 = std::max(0, int{crtc->x}), y0 = std::max(0, int{crtc->y});
  const int x1 = std::min(root_->width, crtc->x + int{crtc->width});
  const int y1 = std::min(root_->height, crtc->y + int{crtc->height});
  if (x1 <= x0 || y1 <= y0) return std::nullopt;
  return Rect{x0, y0, x1 - x0, y1 - y0};
}

std::optional<DisplayID> mainOutput(xcb_connection_t* c, xcb_window_t root) {
  if (!hasExtension(c, &xcb_randr_id)) return std::nullopt;
  Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 3)) {
    return std::nullopt;
  }
  Reply<xcb_randr_get_output_primary_reply_t> primary(
      xcb_randr_get_output_primary_reply(c, xcb_randr_get_output_primary(c, root), nullptr));
  if (primary && primary->output != XCB_NONE && outputRect(c, root, primary->output)) {
    return primary->output;
  }
  Reply<xcb_randr_get_screen_resources_current_reply_t> res(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (!res) return std::nullopt;
  const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(res.get());
  std::optional<DisplayID> first;
  for (int i = 0; i < count; ++i) {
    auto rect = outputRect(c, root, outputs[i]);
    if (!rect) continue;
    if (rect->x == 0 && rect->y == 0) return outputs[i];
    if (!first) first = outputs[i];
  }
  return first;
}

class X11ScreenCapture final : public ScreenCapture {
 public:
  X11ScreenCapture(const Clock& clock, X11CaptureOptions options)
      : clock_(clock), options_(std::move(options)) {
    options_.stripBytes = std::max<std::size_t>(options_.stripBytes, 4096);
  }
  ~X11ScreenCapture() override { disconnect(); }

  Result capture(DisplayID display, FrameSink& sink, bool allowUnchanged) override {
    if (!connected() && !connect()) return Result::Unavailable;
    // A server that has not answered the last capture yet would leave the next one
    // waiting too, and requests would pile up on its socket.
    if (stalled_ && !answered(*stalled_)) return Result::Unavailable;
    stalled_.reset();
    readEvents();
    const double now = clock_.monotonic();
    if (allowUnchanged && damage_ != XCB_NONE && !damaged_ && lastDisplay_ == display &&
        now - lastCapturedAt_ < 1.0) {
      return Result::Unchanged;
    }
    if (damage_ != XCB_NONE) {
      // Before the capture, so whatever is drawn during it shows up next time.
      subtractSequence_ = xcb_damage_subtract(conn_, damage_, XCB_NONE, XCB_NONE).sequence;
      damaged_ = false;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (geometryStale_ || geometryFor_ != display) {
        geometryStale_ = false;
        geometryFor_ = display;
        rect_ = outputRect(conn_, root_, display);
      }
      if (!rect_) break;
      if (grab(*rect_, sink)) {
        lastDisplay_ = display;
        lastCapturedAt_ = now;
        return Result::Captured;
      }
      if (stalled_) break;
      // BadMatch: the screen changed under a stale rectangle.
      geometryStale_ = true;
      if (!connected()) break;
    }
    damaged_ = true;
    lastDisplay_.reset();
    return Result::Unavailable;
  }

 private:
  bool connected() const { return conn_ != nullptr && !xcb_connection_has_error(conn_); }

  bool connect() {
    const double now = clock_.monotonic();
    if (triedConnect_ && now - lastConnectAttempt_ < 5.0) return false;
    triedConnect_ = true;
    lastConnectAttempt_ = now;
    disconnect();
    int screenNumber = 0;
    conn_ =
        xcb_connect(options_.display.empty() ? nullptr : options_.display.c_str(), &screenNumber);
    if (xcb_connection_has_error(conn_)) {
      disconnect();
      return false;
    }
    const xcb_setup_t* setup = xcb_get_setup(conn_);
    auto it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem || !hasBgrxLayout(setup, it.data) || !hasExtension(conn_, &xcb_randr_id)) {
      disconnect();
      return false;
    }
    root_ = it.data->root;

    Reply<xcb_randr_query_version_reply_t> randr(
        xcb_randr_query_version_reply(conn_, xcb_randr_query_version(conn_, 1, 6), nullptr));
    if (!randr) {
      disconnect();
      return false;
    }
    xcb_randr_select_input(conn_, root_,
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    randrEvent_ = xcb_get_extension_data(conn_, &xcb_randr_id)->first_event;
    if (options_.useShm) attachShm();
    watchDamage();
    geometryStale_ = true;
    damaged_ = true;
    return true;
  }

  void attachShm() {
    if (!hasExtension(conn_, &xcb_shm_id)) return;
    Reply<xcb_shm_query_version_reply_t> v(
        xcb_shm_query_version_reply(conn_, xcb_shm_query_version(conn_), nullptr));
    if (!v) return;
    const std::size_t size = 2 * options_.stripBytes;
    const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
    if (id < 0) return;
    void* addr = shmat(id, nullptr, 0);
    const xcb_shm_seg_t seg = xcb_generate_id(conn_);
    bool ok = addr != reinterpret_cast<void*>(-1);
    if (ok) {
      // A remote server cannot reach our memory; it refuses here, and we fall back.
      xcb_generic_error_t* error =
          xcb_request_check(conn_, xcb_shm_attach_checked(conn_, seg, id, 0));
      ok = error == nullptr;
      std::free(error);
    }
    // Marked for removal at once: it goes away with the last detach, even if we crash.
    shmctl(id, IPC_RMID, nullptr);
    if (!ok) {
      if (addr != reinterpret_cast<void*>(-1)) shmdt(addr);
      return;
    }
    shmSeg_ = seg;
    shmAddr_ = static_cast<std::uint8_t*>(addr);
  }

  void watchDamage() {
    if (!hasExtension(conn_, &xcb_damage_id) || !hasExtension(conn_, &xcb_xfixes_id)) return;
    Reply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(conn_, xcb_xfixes_query_version(conn_, 5, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> version(
        xcb_damage_query_version_reply(conn_, xcb_damage_query_version(conn_, 1, 1), nullptr));
    if (!fixes || !version) return;
    damage_ = xcb_generate_id(conn_);
    xcb_damage_create(conn_, damage_, root_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    damageEvent_ = xcb_get_extension_data(conn_, &xcb_damage_id)->first_event;
  }

  void disconnect() {
    if (conn_ != nullptr) {
      if (shmAddr_ != nullptr && !xcb_connection_has_error(conn_)) {
        xcb_shm_detach(conn_, shmSeg_);
        xcb_flush(conn_);
      }
      xcb_disconnect(conn_);
    }
    if (shmAddr_ != nullptr) shmdt(shmAddr_);
    conn_ = nullptr;
    shmAddr_ = nullptr;
    shmSeg_ = 0;
    damage_ = XCB_NONE;
    rect_.reset();
    lastDisplay_.reset();
    stalled_.reset();
  }

  // Whether the reply (or error) to `sequence` came; it is dropped.
  bool answered(unsigned sequence) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(conn_, sequence, &reply, &error) == 0) return false;
    std::free(reply);
    std::free(error);
    return true;
  }

  // The reply to `sequence`, waiting no later than `deadline_`: xcb's own wait has no
  // end, and a stuck server must not hold the sampler's thread. Nothing on an error or
  // when the time is up; then `stalled_` holds the sequence.
  template <typename T>
  Reply<T> boundedReply(unsigned sequence, xcb_generic_error_t** error) {
    xcb_flush(conn_);
    for (;;) {
      void* reply = nullptr;
      if (xcb_poll_for_reply(conn_, sequence, &reply, error) != 0) {
        return Reply<T>(static_cast<T*>(reply));
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline_ - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        stalled_ = sequence;
        return nullptr;
      }
      pollfd p{xcb_get_file_descriptor(conn_), POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left));
    }
  }

  void readEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(conn_)) {
      const std::uint8_t type = event->response_type & 0x7f;
      // A notice sent before the server took our last subtract tells of drawing that
      // capture already saw.
      if (damage_ != XCB_NONE && type == damageEvent_ + XCB_DAMAGE_NOTIFY &&
          static_cast<std::int32_t>(event->full_sequence - subtractSequence_) >= 0) {
        damaged_ = true;
      }
      if (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
          type == randrEvent_ + XCB_RANDR_NOTIFY) {
        geometryStale_ = true;
        damaged_ = true;
      }
      std::free(event);
    }
  }

  // One frame of `r` into the sink, strip by strip; false on any X error.
  bool grab(const Rect& r, FrameSink& sink) {
    const std::size_t rowBytes = 4 * static_cast<std::size_t>(r.width);
    const int stripRows =
        static_cast<int>(std::clamp<std::size_t>(options_.stripBytes / rowBytes, 1, r.height));
    const int strips = (r.height + stripRows - 1) / stripRows;
    auto rowsOf = [&](int i) { return std::min(stripRows, r.height - i * stripRows); };
    sink.begin(r.width, r.height);
    deadline_ = std::chrono::steady_clock::now() +
                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(options_.replyWaitSeconds));
    return shmAddr_ != nullptr && rowBytes * stripRows <= options_.stripBytes
               ? grabShm(r, sink, stripRows, strips, rowsOf)
               : grabPlain(r, sink, stripRows, strips, rowsOf);
  }

  // Asks for strip i + 1 before taking in strip i, so that the server copies one while
  // we reduce the other. `take` waits for a strip's reply and hands its rows to the
  // sink; false when the strip did not come.
  template <typename Request, typename Take>
  bool pipelined(int strips, Request request, Take take) {
    auto next = request(0);
    for (int i = 0; i < strips; ++i) {
      const auto cookie = next;
      if (i + 1 < strips) {
        next = request(i + 1);
        // Waiting for a reply sends queued requests only when the awaited one is among
        // them, so without this every other strip would stay here until we wait for it,
        // and the server would sit idle while we reduce.
        xcb_flush(conn_);
      }
      if (!take(cookie, i)) {
        if (i + 1 < strips) xcb_discard_reply(conn_, next.sequence);
        return false;
      }
    }
    return true;
  }

  template <typename RowsOf>
  bool grabShm(const Rect& r, FrameSink& sink, int stripRows, int strips, RowsOf rowsOf) {
    auto request = [&](int i) {
      return xcb_shm_get_image(
          conn_, root_, static_cast<std::int16_t>(r.x),
          static_cast<std::int16_t>(r.y + i * stripRows), static_cast<std::uint16_t>(r.width),
          static_cast<std::uint16_t>(rowsOf(i)), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, shmSeg_,
          static_cast<std::uint32_t>((i % 2) * options_.stripBytes));
    };
    auto take = [&](xcb_shm_get_image_cookie_t cookie, int i) {
      xcb_generic_error_t* error = nullptr;
      auto reply = boundedReply<xcb_shm_get_image_reply_t>(cookie.sequence, &error);
      const std::size_t need = 4 * static_cast<std::size_t>(r.width) * rowsOf(i);
      if (!reply || error != nullptr || reply->size < need) {
        std::free(error);
        return false;
      }
      sink.rows(FrameView{shmAddr_ + (i % 2) * options_.stripBytes, r.width, rowsOf(i),
                          4 * static_cast<std::ptrdiff_t>(r.width)});
      return true;
    };
    return pipelined(strips, request, take);
  }

  template <typename RowsOf>
  bool grabPlain(const Rect& r, FrameSink& sink, int stripRows, int strips, RowsOf rowsOf) {
    auto request = [&](int i) {
      return xcb_get_image(conn_, XCB_IMAGE_FORMAT_Z_PIXMAP, root_, static_cast<std::int16_t>(r.x),
                           static_cast<std::int16_t>(r.y + i * stripRows),
                           static_cast<std::uint16_t>(r.width),
                           static_cast<std::uint16_t>(rowsOf(i)), ~0u);
    };
    auto take = [&](xcb_get_image_cookie_t cookie, int i) {
      xcb_generic_error_t* error = nullptr;
      auto reply = boundedReply<xcb_get_image_reply_t>(cookie.sequence, &error);
      const std::size_t need = 4 * static_cast<std::size_t>(r.width) * rowsOf(i);
      if (!reply || error != nullptr ||
          static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < need) {
        std::free(error);
        return false;
      }
      sink.rows(FrameView{xcb_get_image_data(reply.get()), r.width, rowsOf(i),
                          4 * static_cast<std::ptrdiff_t>(r.width)});
      return true;
    };
    return pipelined(strips, request, take);
  }

  const Clock& clock_;
  X11CaptureOptions options_;
  xcb_connection_t* conn_ = nullptr;
  xcb_window_t root_ = XCB_NONE;
  bool triedConnect_ = false;
  double lastConnectAttempt_ = 0;
  std::uint8_t randrEvent_ = 0;
  std::uint8_t damageEvent_ = 0;
  xcb_damage_damage_t damage_ = XCB_NONE;
  bool damaged_ = true;
  unsigned subtractSequence_ = 0;
  xcb_shm_seg_t shmSeg_ = 0;
  std::uint8_t* shmAddr_ = nullptr;
  bool geometryStale_ = true;
  std::optional<DisplayID> geometryFor_;
  std::optional<Rect> rect_;
  std::optional<DisplayID> lastDisplay_;
  double lastCapturedAt_ = 0;
  std::chrono::steady_clock::time_point deadline_;
  std::optional<unsigned> stalled_;  // a request the server has not answered in time
};

}  // namespace

std::unique_ptr<ScreenCapture> makeX11ScreenCapture(const Clock& clock, X11CaptureOptions options) {
  return std::make_unique<X11ScreenCapture>(clock, std::move(options));
}

std::optional<DisplayID> x11MainOutput(const std::string& display) {
  int screenNumber = 0;
  xcb_connection_t* c = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  std::optional<DisplayID> out;
  if (!xcb_connection_has_error(c)) {
    auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (it.rem) out = mainOutput(c, it.data->root);
  }
  xcb_disconnect(c);
  return out;
}

std::vector<std::string> describeX11Capture() {
  std::vector<std::string> lines;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    lines.push_back("no X display (DISPLAY is not set)");
    return lines;
  }
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  const bool reachable = !xcb_connection_has_error(c);
  xcb_disconnect(c);
  if (!reachable) {
    lines.push_back(std::string("cannot connect to X display ") + display);
    return lines;
  }
  auto output = x11MainOutput();
  if (!output) {
    lines.push_back(std::string("X display ") + display + ": no RandR output shows a picture");
    return lines;
  }
  SystemClock clock;
  auto capture = makeX11ScreenCapture(clock);
  FrameReducer reducer;
  const auto start = std::chrono::steady_clock::now();
  const auto result = capture->capture(*output, reducer, false);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  char line[160];
  std::snprintf(line, sizeof line, "X display %s, main output 0x%x", display, *output);
  lines.emplace_back(line);
  auto reduction = result == ScreenCapture::Result::Captured ? reducer.finish() : std::nullopt;
  if (!reduction) {
    lines.push_back("capture failed");
    return lines;
  }
  std::snprintf(line, sizeof line,
                "connected, captured and reduced in %.1f ms: mean luminance %.4f", ms,
                reduction->luminance);
  lines.emplace_back(line);
  return lines;
}

}  // namespace nuvlet::linux_platform
