#include "tests/harness/Servers.h"

#include <fcntl.h>
#include <poll.h>
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

DbusDaemon::DbusDaemon(Kind kind, const std::string& serviceDir) {
  // Our own configuration: the stock system-bus one would want root-owned policy files
  // and a fixed socket path.
  std::string text = testBusConfig(kind == Kind::Session ? "session" : "system",
                                   "unix:dir=" + dir_.path().string());
  if (!serviceDir.empty()) {
    text.insert(text.find("  <auth>"), "  <servicedir>" + serviceDir + "</servicedir>\n");
  }
  const std::string config = dir_.write("bus.conf", text).string();
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      "dbus-daemon", "--config-file=" + config, "--print-address=1", "--nofork", "--nopidfile"});
  if (!process_->started()) return;
  if (auto line = process_->readLine(20); line && !line->empty()) address_ = *line;
}

}  // namespace nuvlet::test
