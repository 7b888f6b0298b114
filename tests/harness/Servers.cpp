#include "tests/harness/Servers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

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

bool markOutputAsPanel(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return false;
  }
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  auto* resources = xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, root), nullptr);
  bool done = false;
  if (resources != nullptr &&
      xcb_randr_get_screen_resources_current_outputs_length(resources) > 0) {
    xcb_randr_output_t output = xcb_randr_get_screen_resources_current_outputs(resources)[0];
    auto atomOf = [&](const char* name) {
      auto* r = xcb_intern_atom_reply(
          c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
      xcb_atom_t atom = XCB_ATOM_NONE;
      if (r != nullptr) atom = r->atom;
      std::free(r);
      return atom;
    };
    xcb_atom_t panel = atomOf("Panel");
    auto cookie = xcb_randr_change_output_property_checked(
        c, output, atomOf("ConnectorType"), XCB_ATOM_ATOM, 32, XCB_PROP_MODE_REPLACE, 1, &panel);
    xcb_generic_error_t* error = xcb_request_check(c, cookie);
    done = error == nullptr;
    std::free(error);
  }
  std::free(resources);
  xcb_disconnect(c);
  return done;
}

DbusDaemon::DbusDaemon(Kind kind, const std::string& serviceDir, const std::string& listen) {
  // Our own configuration: the stock system-bus one would want root-owned policy files
  // and a fixed socket path.
  std::string text = testBusConfig(kind == Kind::Session ? "session" : "system",
                                   listen.empty() ? "unix:dir=" + dir_.path().string() : listen);
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
