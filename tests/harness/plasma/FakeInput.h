#pragma once

#include <cstdint>
#include <string>

struct wl_display;
struct wl_registry;
struct org_kde_kwin_fake_input;

namespace nuvlet::test {

// Pointer and keyboard input into KWin on Wayland through its fake-input protocol, which
// KWin offers only when started with KWIN_WAYLAND_NO_PERMISSION_CHECKS=1. One connection
// for the whole session: KWin makes each new client a new input device and drops what a
// device sends in its first moments, so the device is made early and kept.
class FakeInput {
 public:
  explicit FakeInput(const std::string& waylandDisplay);  // a socket path or name
  ~FakeInput();
  FakeInput(const FakeInput&) = delete;
  FakeInput& operator=(const FakeInput&) = delete;

  bool ready() const { return input_ != nullptr; }
  bool moveTo(double x, double y);
  bool button(std::uint32_t linuxCode, bool pressed);
  // One vertical axis event in wl_pointer units (+ is down). Qt reads an axis event
  // without a discrete step as 12 angle units per unit.
  bool axis(double value);
  bool key(std::uint32_t linuxCode, bool pressed);

 private:
  bool flush();
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  org_kde_kwin_fake_input* input_ = nullptr;
};

}  // namespace nuvlet::test
