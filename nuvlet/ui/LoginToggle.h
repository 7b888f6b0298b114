#pragma once

namespace nuvlet {

// What the menu's "Start at Login" entry needs of the login item: its check mark and
// its action. The login item itself belongs to the application shell above the menu.
//
// Thread: main thread only. toggle() absorbs its failures; isEnabled() tells the truth
// afterwards.
class LoginToggle {
 public:
  virtual ~LoginToggle() = default;
  virtual bool isEnabled() const = 0;
  virtual void toggle() = 0;
};

}  // namespace nuvlet
