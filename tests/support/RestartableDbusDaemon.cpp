#include "tests/support/RestartableDbusDaemon.h"

#include <vector>

namespace nuvlet::test {

RestartableDbusDaemon::RestartableDbusDaemon() {
  address_ = "unix:path=" + (dir_ / "bus").string();
  config_ = dir_.write("bus.conf", R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" + address_ + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                .string();
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
