#pragma once

#include <string>
#include <utility>

#include "nuvlet/platform/LoginService.h"

namespace nuvlet::sim {

// A login registration held in memory. The test sets the status and, to play a
// failing platform, the error the next calls fail with; it reads the call counts.
class MemoryLoginService final : public LoginService {
 public:
  Status status() const override { return status_; }

  bool registerItem() override {
    ++registerCalls;
    if (!failWith.empty()) return fail();
    status_ = Status::Enabled;
    error_.clear();
    return true;
  }

  bool unregisterItem() override {
    ++unregisterCalls;
    if (!failWith.empty()) return fail();
    status_ = Status::NotRegistered;
    error_.clear();
    return true;
  }

  std::string lastError() const override { return error_; }

  void setStatus(Status status) { status_ = status; }

  int registerCalls = 0;
  int unregisterCalls = 0;
  std::string failWith;  // non-empty: register and unregister fail with this text

 private:
  bool fail() {
    error_ = failWith;
    return false;
  }

  Status status_ = Status::NotRegistered;
  std::string error_;
};

}  // namespace nuvlet::sim
