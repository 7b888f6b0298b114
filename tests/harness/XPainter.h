#pragma once
// Plays an X client that paints known colours on the test's Xvfb: the root background
// and override-redirect windows (there is no window manager).
#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace nuvlet::test {

class XPainter {
 public:
  explicit XPainter(const std::string& display) : c_(xcb_connect(display.c_str(), nullptr)) {
    if (!xcb_connection_has_error(c_)) screen_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
  }
  ~XPainter() { xcb_disconnect(c_); }
  bool ok() const { return screen_ != nullptr; }

  void background(std::uint32_t rgb) {
    xcb_change_window_attributes(c_, screen_->root, XCB_CW_BACK_PIXEL, &rgb);
    xcb_clear_area(c_, 0, screen_->root, 0, 0, 0, 0);
    sync();
  }
  void window(int x, int y, int w, int h, std::uint32_t rgb) {
    const xcb_window_t id = xcb_generate_id(c_);
    const std::uint32_t values[] = {rgb, 1};
    xcb_create_window(c_, XCB_COPY_FROM_PARENT, id, screen_->root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), static_cast<std::uint16_t>(w),
                      static_cast<std::uint16_t>(h), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(c_, id);
    sync();
  }
  // A round trip: everything sent before it has been drawn.
  void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

 private:
  xcb_connection_t* c_;
  xcb_screen_t* screen_ = nullptr;
};

}  // namespace nuvlet::test
