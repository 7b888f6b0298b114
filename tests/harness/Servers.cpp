#include "tests/harness/Servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace nuvlet::test {

std::string testBusConfig(const std::string& type, const std::string& listen, bool serviceDirs) {
  return R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>)" +
         type + R"(</type>
  <listen>)" +
         listen + R"(</listen>
)" + (serviceDirs ? "  <standard_session_servicedirs/>\n" : "") +
         R"(  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

XvfbServer::XvfbServer(const std::string& screen) {
  // Xvfb writes its display number to the descriptor given by -displayfd; stdout is
  // our pipe, so give it fd 1.
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "Xvfb", "-displayfd", "1", "-screen", "0", screen, "-noreset", "-nolisten", "tcp"});
  if (!process_->started()) return;
  if (auto line = process_->readLine(20); line && !line->empty()) display_ = ":" + *line;
}

void XvfbServer::kill() {
  if (!process_ || !process_->started()) return;
  ::kill(process_->pid(), SIGKILL);
  process_->wait(10);
}

void XvfbServer::freeze(bool frozen) {
  if (process_ && process_->started()) ::kill(process_->pid(), frozen ? SIGSTOP : SIGCONT);
}

DbusDaemon::DbusDaemon(Kind kind) {
  // Our own configuration: the stock system-bus one would want root-owned policy files
  // and a fixed socket path.
  const std::string config =
      dir_.write("bus.conf", testBusConfig(kind == Kind::Session ? "session" : "system",
                                           "unix:dir=" + dir_.path().string()))
          .string();
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "dbus-daemon", "--config-file=" + config, "--print-address=1", "--nofork", "--nopidfile"});
  if (!process_->started()) return;
  if (auto line = process_->readLine(20); line && !line->empty()) address_ = *line;
}

}  // namespace nuvlet::test
