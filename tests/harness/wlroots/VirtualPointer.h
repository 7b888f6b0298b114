#pragma once

#include <cstdint>
#include <string>

struct wl_display;
struct wl_registry;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace nuvlet::test {

// A pointer for a wlroots compositor without input devices (headless sway), through the
// virtual-pointer protocol: what a person's mouse would send, wheel notches included.
class VirtualPointer {
 public:
  explicit VirtualPointer(const std::string& waylandDisplay);  // a socket path
  ~VirtualPointer();
  VirtualPointer(const VirtualPointer&) = delete;
  VirtualPointer& operator=(const VirtualPointer&) = delete;

  bool ready() const { return pointer_ != nullptr; }
  // Absolute position within an output of `width` x `height`.
  bool moveTo(int x, int y, int width, int height);
  bool button(std::uint32_t linuxCode, bool pressed);
  // Wheel notches as a real wheel gives them: 15 units and one discrete step each
  // (+ is down).
  bool notches(int steps);

 private:
  bool frame();
  wl_display* display_ = nullptr;
  wl_registry* registry_ = nullptr;
  zwlr_virtual_pointer_manager_v1* manager_ = nullptr;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  std::uint32_t time_ = 1;
};

}  // namespace nuvlet::test
