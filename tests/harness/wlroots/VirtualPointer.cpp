#include "tests/harness/wlroots/VirtualPointer.h"

#include <wayland-client.h>

#include <cstring>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace nuvlet::test {
namespace {

void globalAdded(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                 std::uint32_t) {
  if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) != 0) return;
  *static_cast<zwlr_virtual_pointer_manager_v1**>(data) =
      static_cast<zwlr_virtual_pointer_manager_v1*>(
          wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}

void globalRemoved(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener kRegistry{&globalAdded, &globalRemoved};

}  // namespace

VirtualPointer::VirtualPointer(const std::string& waylandDisplay) {
  display_ = wl_display_connect(waylandDisplay.c_str());
  if (!display_) return;
  registry_ = wl_display_get_registry(display_);
  wl_registry_add_listener(registry_, &kRegistry, &manager_);
  wl_display_roundtrip(display_);
  if (!manager_) return;
  pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager_, nullptr);
  wl_display_roundtrip(display_);
}

VirtualPointer::~VirtualPointer() {
  if (pointer_) zwlr_virtual_pointer_v1_destroy(pointer_);
  if (manager_) zwlr_virtual_pointer_manager_v1_destroy(manager_);
  if (registry_) wl_registry_destroy(registry_);
  if (display_) wl_display_disconnect(display_);
}

bool VirtualPointer::frame() {
  zwlr_virtual_pointer_v1_frame(pointer_);
  time_ += 10;
  return wl_display_roundtrip(display_) >= 0;
}

bool VirtualPointer::moveTo(int x, int y, int width, int height) {
  if (!pointer_) return false;
  zwlr_virtual_pointer_v1_motion_absolute(
      pointer_, time_, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
      static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
  return frame();
}

bool VirtualPointer::button(std::uint32_t linuxCode, bool pressed) {
  if (!pointer_) return false;
  zwlr_virtual_pointer_v1_button(
      pointer_, time_, linuxCode,
      pressed ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  return frame();
}

bool VirtualPointer::notches(int steps) {
  if (!pointer_) return false;
  zwlr_virtual_pointer_v1_axis_source(pointer_, WL_POINTER_AXIS_SOURCE_WHEEL);
  zwlr_virtual_pointer_v1_axis_discrete(pointer_, time_, WL_POINTER_AXIS_VERTICAL_SCROLL,
                                        wl_fixed_from_int(15 * steps), steps);
  return frame();
}

}  // namespace nuvlet::test
