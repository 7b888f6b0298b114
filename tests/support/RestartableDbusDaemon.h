#pragma once

#include <memory>
#include <string>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace nuvlet::test {

// A private session bus at a fixed socket path, so that it can be stopped and started
// again at the same address: a bus that goes away and comes back.
class RestartableDbusDaemon {
 public:
  RestartableDbusDaemon();
  bool start();  // true once the bus is listening
  void stop();   // kills it, as a crash would
  bool running() const { return process_ != nullptr; }
  const std::string& address() const { return address_; }

 private:
  TempDir dir_;
  std::string config_;
  std::string address_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace nuvlet::test
