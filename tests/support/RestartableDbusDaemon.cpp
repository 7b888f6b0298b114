#include "tests/support/RestartableDbusDaemon.h"

#include <vector>

#include "tests/support/Servers.h"

namespace nuvlet::test {

RestartableDbusDaemon::RestartableDbusDaemon() {
  address_ = "unix:path=" + (dir_ / "bus").string();
  config_ = dir_.write("bus.conf", testBusConfig("session", address_)).string();
}

bool RestartableDbusDaemon::start() {
  stop();
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "dbus-daemon", "--config-file=" + config_, "--print-address=1", "--nofork", "--nopidfile"});
  // The address is printed once the socket listens.
  if (!process_->started() || !process_->readLine(20)) {
    process_.reset();
    return false;
  }
  return true;
}

void RestartableDbusDaemon::stop() {
  if (!process_) return;
  process_->terminate();
  process_.reset();
}

}  // namespace nuvlet::test
