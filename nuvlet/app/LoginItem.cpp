#include "nuvlet/app/LoginItem.h"

#include "nuvlet/platform/Log.h"

namespace nuvlet {
namespace {

constexpr std::string_view kDefaultAppliedKey = "didApplyLoginItemDefault";

void logFailure(std::string_view operation, const std::string& error) {
  log::info("login-item " + std::string(operation) +
            " failed: " + (error.empty() ? std::string("unknown error") : error));
}

}  // namespace

LoginItem::LoginItem(LoginService& service, Defaults& defaults)
    : service_(service), defaults_(defaults) {}

bool LoginItem::isEnabled() const { return service_.status() == LoginService::Status::Enabled; }

bool LoginItem::setEnabled(bool on) {
  if (on) {
    if (service_.registerItem()) return true;
    logFailure("register", service_.lastError());
    return false;
  }
  if (!isEnabled()) return true;
  if (service_.unregisterItem()) return true;
  logFailure("unregister", service_.lastError());
  return false;
}

void LoginItem::toggle() { setEnabled(!isEnabled()); }

void LoginItem::configureAtLaunch() {
  if (!defaults_.boolOr(kDefaultAppliedKey, false)) {
    // Stored before trying, so a failing registration is not retried on every launch.
    defaults_.setValue(kDefaultAppliedKey, true);
    setEnabled(true);
    log::info("first-run login-item default applied; status=" + statusDescription());
    return;
  }
  if (isEnabled()) setEnabled(true);
}

std::string LoginItem::statusDescription() const { return statusDescription(service_.status()); }

std::string LoginItem::statusDescription(LoginService::Status status) {
  switch (status) {
    case LoginService::Status::Enabled:
      return "enabled";
    case LoginService::Status::NotRegistered:
      return "notRegistered";
    case LoginService::Status::NotFound:
      return "notFound";
  }
  return "unknown";
}

}  // namespace nuvlet
