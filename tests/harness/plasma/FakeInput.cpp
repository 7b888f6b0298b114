#include "tests/harness/plasma/FakeInput.h"

#include <wayland-client.h>

#include <cstring>

#include "fake-input-client-protocol.h"

namespace nuvlet::test {
namespace {

void globalAdded(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                 std::uint32_t version) {
  if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) != 0) return;
  auto** input = static_cast<org_kde_kwin_fake_input**>(data);
  // Absolute motion and keys came with version 4.
  if (version >= 4) {
    *input = static_cast<org_kde_kwin_fake_input*>(
        wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
  }
}

void globalRemoved(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistry{&globalAdded, &globalRemoved};

}  // namespace

FakeInput::FakeInput(const std::string& waylandDisplay) {
  display_ = wl_display_connect(waylandDisplay.c_str());
  if (!display_) return;
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &kRegistry, &input_);
  wl_display_roundtrip(display_);
  if (!input_) return;
  org_kde_kwin_fake_input_authenticate(input_, "nuvlet tests", "input for automated tests");
  wl_display_roundtrip(display_);
}

FakeInput::~FakeInput() {
  if (input_) org_kde_kwin_fake_input_destroy(input_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
}

bool FakeInput::flush() { return display_ && wl_display_roundtrip(display_) >= 0; }

bool FakeInput::moveTo(double x, double y) {
  if (!input_) return false;
  org_kde_kwin_fake_input_pointer_motion_absolute(input_, wl_fixed_from_double(x),
                                                  wl_fixed_from_double(y));
  return flush();
}

bool FakeInput::button(std::uint32_t linuxCode, bool pressed) {
  if (!input_) return false;
  org_kde_kwin_fake_input_button(
      input_, linuxCode,
      pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  return flush();
}

bool FakeInput::axis(double value) {
  if (!input_) return false;
  org_kde_kwin_fake_input_axis(input_, WL_POINTER_AXIS_VERTICAL_SCROLL,
                               wl_fixed_from_double(value));
  return flush();
}

bool FakeInput::key(std::uint32_t linuxCode, bool pressed) {
  if (!input_) return false;
  org_kde_kwin_fake_input_keyboard_key(
      input_, linuxCode, pressed ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  return flush();
}

}  // namespace nuvlet::test
