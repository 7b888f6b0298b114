#pragma once

#include <string>

namespace nuvlet {

// Starting Nuvlet when the user logs in (on Linux an XDG autostart entry).
//
// Thread: main thread only. Calls touch only small local files and do not block for
// long; failures are reported through the return value.
class LoginService {
 public:
  enum class Status { Enabled, NotRegistered, NotFound };

  virtual ~LoginService() = default;
  virtual Status status() const = 0;
  // True when the registration is in place afterwards.
  virtual bool registerItem() = 0;
  // True when no registration remains afterwards.
  virtual bool unregisterItem() = 0;
  // Why the last registerItem() or unregisterItem() failed, in words for a log line
  // ("Permission denied"); empty after a success.
  virtual std::string lastError() const = 0;
};

}  // namespace nuvlet
