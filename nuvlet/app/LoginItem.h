#pragma once

#include <string>

#include "nuvlet/platform/Defaults.h"
#include "nuvlet/platform/LoginService.h"
#include "nuvlet/ui/LoginToggle.h"

namespace nuvlet {

// Launch at login: on by default from the first launch, the user's choice after that.
// Holds no state of its own; the registration lives in the LoginService and one
// setting, "didApplyLoginItemDefault".
//
// Thread: main thread only (launch and menu actions). Failures are logged as
// "Nuvlet: login-item <register|unregister> failed: <why>" and otherwise absorbed;
// the menu's check mark follows isEnabled(), never the request.
class LoginItem final : public LoginToggle {
 public:
  LoginItem(LoginService& service, Defaults& defaults);

  bool isEnabled() const override;
  // Registers (on) or removes the registration (off; nothing to do when it is not
  // enabled). True on success.
  bool setEnabled(bool on);
  void toggle() override;

  // Called first thing at launch. The first launch stores the flag, then registers
  // and logs the resulting status; later launches renew an enabled registration (so
  // the entry follows the executable) and leave any other state alone.
  void configureAtLaunch();

  // "enabled", "notRegistered", "notFound" ("requiresApproval" has no counterpart
  // here), or "unknown".
  std::string statusDescription() const;
  static std::string statusDescription(LoginService::Status status);

 private:
  LoginService& service_;
  Defaults& defaults_;
};

}  // namespace nuvlet
