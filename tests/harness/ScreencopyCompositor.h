#pragma once

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-server.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <thread>

// Generated for the capture tests from wlroots' protocol file.
#include "wlr-screencopy-unstable-v1-server-protocol.h"

namespace nuvlet::test {

// What the compositor offers and does; fixed before it starts.
struct ScreencopyScript {
  std::uint32_t format = WL_SHM_FORMAT_XRGB8888;
  int width = 128, height = 64;
  int stride = 128 * 4;
  bool yInvert = false;
  bool fail = false;         // answer every copy with `failed`
  bool stillScreen = false;  // answer no copy that waits for a change after the first
};

// One output, FAKE-1, whose top half is pure red and bottom half pure blue, on a
// screencopy manager (version 3) and wl_shm, served from a thread of its own.
class FakeCompositor {
 public:
  FakeCompositor(const ScreencopyScript& script, const std::filesystem::path& socketPath)
      : script_(script), display_(wl_display_create()) {
    wl_display_init_shm(display_);
    wl_display_add_shm_format(display_, WL_SHM_FORMAT_XBGR8888);
    wl_display_add_shm_format(display_, WL_SHM_FORMAT_ABGR8888);
    output_ = wl_global_create(display_, &wl_output_interface, 4, this, bindOutput);
    // unplug() is called from the test's thread; the server acts on it in its own.
    unplugFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    unplugSource_ = wl_event_loop_add_fd(
        wl_display_get_event_loop(display_), unplugFd_, WL_EVENT_READABLE,
        [](int fd, std::uint32_t, void* data) {
          std::uint64_t n = 0;
          if (::read(fd, &n, sizeof n) == sizeof n) {
            auto& me = *static_cast<FakeCompositor*>(data);
            if (me.output_ != nullptr) wl_global_destroy(me.output_);
            me.output_ = nullptr;
          }
          return 0;
        },
        this);
    wl_global_create(display_, &zwlr_screencopy_manager_v1_interface, 3, this, bindManager);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0 ||
        wl_display_add_socket_fd(display_, fd) != 0) {
      ::close(fd);
      return;
    }
    ok_ = true;
    thread_ = std::thread([this] {
      wl_event_loop* loop = wl_display_get_event_loop(display_);
      while (!stop_) {
        wl_event_loop_dispatch(loop, 20);
        wl_display_flush_clients(display_);
      }
    });
  }
  ~FakeCompositor() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    wl_event_source_remove(unplugSource_);
    wl_display_destroy_clients(display_);
    wl_display_destroy(display_);
    ::close(unplugFd_);
  }
  FakeCompositor(const FakeCompositor&) = delete;
  FakeCompositor& operator=(const FakeCompositor&) = delete;

  bool ok() const { return ok_; }
  // The output goes away, as a monitor being unplugged.
  void unplug() {
    const std::uint64_t one = 1;
    if (::write(unplugFd_, &one, sizeof one) != sizeof one) ADD_FAILURE() << "eventfd";
  }
  int framesAsked() const { return framesAsked_; }
  int copiesAsked() const { return copiesAsked_; }

 private:
  static FakeCompositor& self(wl_resource* r) {
    return *static_cast<FakeCompositor*>(wl_resource_get_user_data(r));
  }

  static void bindOutput(wl_client* client, void*, std::uint32_t version, std::uint32_t id) {
    static const struct wl_output_interface impl = {
        [](wl_client*, wl_resource* r) { wl_resource_destroy(r); }};
    wl_resource* r =
        wl_resource_create(client, &wl_output_interface, static_cast<int>(version), id);
    wl_resource_set_implementation(r, &impl, nullptr, nullptr);
    wl_output_send_geometry(r, 0, 0, 300, 200, WL_OUTPUT_SUBPIXEL_UNKNOWN, "Test", "Fake",
                            WL_OUTPUT_TRANSFORM_NORMAL);
    wl_output_send_mode(r, WL_OUTPUT_MODE_CURRENT, 128, 64, 60000);
    if (version >= 4) wl_output_send_name(r, "FAKE-1");
    if (version >= 2) wl_output_send_done(r);
  }

  static void bindManager(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
    static const struct zwlr_screencopy_manager_v1_interface impl = {
        captureOutput,
        [](wl_client* c, wl_resource* m, std::uint32_t frame, std::int32_t cursor,
           wl_resource* output, std::int32_t, std::int32_t, std::int32_t,
           std::int32_t) { captureOutput(c, m, frame, cursor, output); },
        [](wl_client*, wl_resource* r) { wl_resource_destroy(r); }};
    wl_resource* r = wl_resource_create(client, &zwlr_screencopy_manager_v1_interface,
                                        static_cast<int>(version), id);
    wl_resource_set_implementation(r, &impl, data, nullptr);
  }

  static void captureOutput(wl_client* client, wl_resource* manager, std::uint32_t id, std::int32_t,
                            wl_resource*) {
    auto& me = self(manager);
    ++me.framesAsked_;
    static const struct zwlr_screencopy_frame_v1_interface impl = {
        copy, [](wl_client*, wl_resource* r) { wl_resource_destroy(r); }, copyWithDamage};
    wl_resource* frame = wl_resource_create(client, &zwlr_screencopy_frame_v1_interface,
                                            wl_resource_get_version(manager), id);
    wl_resource_set_implementation(frame, &impl, &me, nullptr);
    const ScreencopyScript& s = me.script_;
    zwlr_screencopy_frame_v1_send_buffer(frame, s.format, static_cast<std::uint32_t>(s.width),
                                         static_cast<std::uint32_t>(s.height),
                                         static_cast<std::uint32_t>(s.stride));
    zwlr_screencopy_frame_v1_send_buffer_done(frame);
  }

  static void copyWithDamage(wl_client* client, wl_resource* frame, wl_resource* buffer) {
    // As wlroots: the first damage copy counts everything as changed.
    if (self(frame).script_.stillScreen && self(frame).damageCopies_++ > 0) {
      ++self(frame).copiesAsked_;
      return;
    }
    copy(client, frame, buffer);
  }

  static void copy(wl_client*, wl_resource* frame, wl_resource* buffer) {
    auto& me = self(frame);
    ++me.copiesAsked_;
    const ScreencopyScript& s = me.script_;
    wl_shm_buffer* shm = wl_shm_buffer_get(buffer);
    if (s.fail || shm == nullptr) {
      zwlr_screencopy_frame_v1_send_failed(frame);
      return;
    }
    const bool swapped = s.format == WL_SHM_FORMAT_XBGR8888 || s.format == WL_SHM_FORMAT_ABGR8888;
    wl_shm_buffer_begin_access(shm);
    auto* data = static_cast<std::uint8_t*>(wl_shm_buffer_get_data(shm));
    const int stride = wl_shm_buffer_get_stride(shm);
    for (int row = 0; row < s.height; ++row) {
      const int screenRow = s.yInvert ? s.height - 1 - row : row;
      const bool red = screenRow < s.height / 2;
      std::uint8_t* p = data + row * stride;
      // Padding past the last pixel is white: reading it would show.
      std::memset(p, 0xff, static_cast<std::size_t>(stride));
      for (int x = 0; x < s.width; ++x) {
        const std::uint8_t r = red ? 255 : 0, b = red ? 0 : 255;
        p[4 * x + 0] = swapped ? r : b;
        p[4 * x + 1] = 0;
        p[4 * x + 2] = swapped ? b : r;
        p[4 * x + 3] = 0xff;
      }
    }
    wl_shm_buffer_end_access(shm);
    zwlr_screencopy_frame_v1_send_flags(frame,
                                        s.yInvert ? ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT : 0);
    zwlr_screencopy_frame_v1_send_ready(frame, 0, 0, 0);
  }

  const ScreencopyScript script_;
  wl_display* display_;
  wl_global* output_ = nullptr;
  int unplugFd_ = -1;
  wl_event_source* unplugSource_ = nullptr;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> framesAsked_{0};
  std::atomic<int> copiesAsked_{0};
  int damageCopies_ = 0;  // the server's thread only
  std::thread thread_;
};

}  // namespace nuvlet::test
