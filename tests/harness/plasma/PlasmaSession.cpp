#include "tests/harness/plasma/PlasmaSession.h"

#include <fcntl.h>
#include <gio/gunixfdlist.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/linux/session/BusConnection.h"
#include "tests/harness/plasma/FakeInput.h"
#include "tests/support/PollUntil.h"

namespace nuvlet::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Headless Plasma on two cores shared with other builds is slow: bounds are generous.
constexpr double kStartSeconds = 120;

void writeFile(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

std::string busConfig(const fs::path& socket, const fs::path& services) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         socket.string() + R"(</listen>
  <servicedir>)" +
         services.string() + R"(</servicedir>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

// Linux input codes.
constexpr std::uint32_t kButtons[] = {0, 0x110, 0x112, 0x111};  // -, left, middle, right
std::optional<std::uint32_t> keyCode(const std::string& name) {
  if (name == "Escape") return 1;
  if (name == "Return") return 28;
  if (name == "Down") return 108;
  return std::nullopt;
}

}  // namespace

PlasmaSession::PlasmaSession(Options options) : options_(options) {
  if (!start() && failure_.empty()) failure_ = "the session did not start";
}

PlasmaSession::~PlasmaSession() {
  input_.reset();
  if (connection_) {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
  stopSessionProcesses();
  shell_.reset();
  kwin_.reset();
  services_.clear();
  bus_.reset();
  xvfb_.reset();
  // The document portal mounts itself here when something started it.
  std::error_code error;
  if (options_.portal && fs::exists(runtime_ / "doc", error)) {
    ChildProcess::run({"fusermount", "-uz", (runtime_ / "doc").string()}, {}, 5);
  }
}

std::unique_ptr<ChildProcess> PlasmaSession::spawn(const std::string& name,
                                                   std::vector<std::string> argv,
                                                   std::map<std::string, std::string> extra) {
  // Output goes to a log of its own: nobody reads a pipe from these, and a full one
  // would stall them.
  std::vector<std::string> shell{"/bin/sh", "-c", "exec \"$0\" \"$@\" >>\"$TEST_LOG\" 2>&1"};
  shell.insert(shell.end(), argv.begin(), argv.end());
  auto env = env_;
  env["TEST_LOG"] = (state_.path() / "log" / (name + ".log")).string();
  for (auto& [k, v] : extra) env[k] = v;
  return std::make_unique<ChildProcess>(shell, env);
}

bool PlasmaSession::start() {
  const fs::path root = state_.path();
  for (const char* dir : {"home", "config", "cache", "data", "runtime", "services", "bin", "log"}) {
    fs::create_directories(root / dir);
  }
  runtime_ = root / "runtime";
  ::chmod(runtime_.c_str(), 0700);
  const bool wayland = options_.display == Display::Wayland;

  // Only what Plasma needs is activatable: the stock service directories would also
  // start other desktops' portal backends and a notification helper that waits forever.
  std::vector<std::string> services = {"org.kde.kded5.service", "org.kde.ActivityManager.service",
                                       "org.kde.kscreen.service"};
  if (!wayland) services.push_back("org.kde.kglobalaccel.service");
  if (options_.portal) {
    services.insert(services.end(), {"org.freedesktop.portal.Desktop.service",
                                     "org.freedesktop.impl.portal.desktop.kde.service",
                                     "org.freedesktop.impl.portal.PermissionStore.service"});
  }
  for (const auto& service : services) {
    const fs::path file = fs::path("/usr/share/dbus-1/services") / service;
    if (!fs::exists(file)) {
      failure_ = file.string() + " is missing (scripts/packages.txt lists the Plasma packages)";
      return false;
    }
    fs::create_symlink(file, root / "services" / service);
  }
  const fs::path busSocket = root / "bus";
  writeFile(root / "bus.conf", busConfig(busSocket, root / "services"));

  if (options_.dark) {
    std::ifstream colours("/usr/share/color-schemes/BreezeDark.colors");
    std::string scheme((std::istreambuf_iterator<char>(colours)), {});
    writeFile(root / "config/kdeglobals", scheme + "\n[General]\nColorScheme=BreezeDark\n");
    writeFile(root / "config/plasmarc", "[Theme]\nname=breeze-dark\n");
  }
  // KWin hands its screenshots only to programs whose desktop entry asks for them.
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  writeFile(root / "data/applications/nuvlet-plasma-test.desktop",
            "[Desktop Entry]\nType=Application\nName=Screenshots for tests\nExec=" + self.string() +
                "\nNoDisplay=true\nX-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2\n");

  env_ = {{"HOME", (root / "home").string()},
          {"XDG_CONFIG_HOME", (root / "config").string()},
          {"XDG_CACHE_HOME", (root / "cache").string()},
          {"XDG_DATA_HOME", (root / "data").string()},
          {"XDG_STATE_HOME", (root / "state").string()},
          {"XDG_RUNTIME_DIR", runtime_.string()},
          {"XDG_CURRENT_DESKTOP", "KDE"},
          {"XDG_SESSION_DESKTOP", "KDE"},
          {"XDG_SESSION_TYPE", wayland ? "wayland" : "x11"},
          {"KDE_FULL_SESSION", "true"},
          {"KDE_SESSION_VERSION", "5"},
          {"QT_QPA_PLATFORM", wayland ? "wayland" : "xcb"},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + busSocket.string()},
          {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root / "no-system-bus").string()},
          {"PIPEWIRE_RUNTIME_DIR", runtime_.string()},
          {"SESSION_MANAGER", ""},
          {"DISPLAY", ""},
          {"WAYLAND_DISPLAY", ""}};
  busAddress_ = env_["DBUS_SESSION_BUS_ADDRESS"];

  if (!wayland) {
    xvfb_ = std::make_unique<XvfbServer>(std::to_string(options_.width) + "x" +
                                         std::to_string(options_.height) + "x24");
    if (!xvfb_->running()) {
      failure_ = "Xvfb did not start";
      return false;
    }
    env_["DISPLAY"] = xvfb_->display();
  }

  bus_ = spawn("dbus-daemon", {"dbus-daemon", "--config-file=" + (root / "bus.conf").string(),
                               "--nofork", "--nopidfile"});
  pollUntil(
      [&] {
        if (fs::exists(busSocket))
          connection_ = linux_platform::connectToBus(busAddress_.c_str(), nullptr, nullptr);
        return connection_ != nullptr;
      },
      20);
  if (!connection_) {
    failure_ = "dbus-daemon did not start";
    return false;
  }
  g_dbus_connection_set_exit_on_close(connection_, FALSE);

  if (wayland) {
    if (options_.portal) {
      services_.push_back(spawn("pipewire", {"pipewire"}));
      if (!pumpUntil([&] { return fs::exists(runtime_ / "pipewire-0"); }, 20)) {
        failure_ = "pipewire did not start";
        return false;
      }
      services_.push_back(spawn("wireplumber", {"wireplumber"}));
    }
    const fs::path kwin = root / "bin/kwin_wayland";
    fs::copy_file("/usr/bin/kwin_wayland", kwin, error);
    if (error) {
      failure_ = "kwin_wayland is missing (scripts/packages.txt lists the Plasma packages)";
      return false;
    }
    kwin_ =
        spawn("kwin_wayland",
              {kwin.string(), "--virtual", "--width", std::to_string(options_.width), "--height",
               std::to_string(options_.height), "--socket", "wayland-plasma", "--no-lockscreen"},
              {{"KWIN_WAYLAND_NO_PERMISSION_CHECKS", "1"}});
    if (!pumpUntil(
            [&] { return fs::exists(runtime_ / "wayland-plasma") && hasOwner("org.kde.KWin"); },
            kStartSeconds)) {
      failure_ = "kwin_wayland did not come up (see its log)";
      return false;
    }
    env_["WAYLAND_DISPLAY"] = "wayland-plasma";
    input_ = std::make_unique<FakeInput>((runtime_ / "wayland-plasma").string());
    if (!input_->ready()) {
      failure_ = "KWin offers no fake input";
      return false;
    }
    pointerTo(options_.width / 2, options_.height / 3);
  }

  // Services the bus starts (kded5, the activity manager, the portal) need the display.
  GVariantBuilder vars;
  g_variant_builder_init(&vars, G_VARIANT_TYPE("a{ss}"));
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP",
                           "XDG_SESSION_DESKTOP", "XDG_SESSION_TYPE", "KDE_FULL_SESSION",
                           "KDE_SESSION_VERSION", "PIPEWIRE_RUNTIME_DIR"}) {
    if (!env_[name].empty()) g_variant_builder_add(&vars, "{ss}", name, env_[name].c_str());
  }
  if (!call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "UpdateActivationEnvironment", g_variant_new("(a{ss})", &vars))) {
    failure_ = "the bus refused the activation environment";
    return false;
  }
  // The tray watcher is a module of kded5, which Plasma itself starts only sooner or
  // later: start it now, so that it is there before the panel.
  if (!call("org.kde.kded5", "/kded", "org.kde.kded5", "loadModule",
            g_variant_new("(s)", "statusnotifierwatcher"), kStartSeconds, true) ||
      !pumpUntil([&] { return hasOwner("org.kde.StatusNotifierWatcher"); }, kStartSeconds)) {
    failure_ = "kded5 did not start the tray watcher";
    return false;
  }
  return startShell();
}

bool PlasmaSession::startShell() {
  shell_ = spawn("plasmashell", {"plasmashell", "--no-respawn"});
  if (!pumpUntil([&] { return hasOwner("org.kde.plasmashell"); }, kStartSeconds)) {
    failure_ = "plasmashell is not on the bus (see its log)";
    return false;
  }
  // The panel is laid out a moment after the shell is on the bus.
  if (!pumpUntil([&] { return evaluateScript("print(panels().length)") == "1"; }, kStartSeconds)) {
    failure_ = "plasmashell shows no panel";
    return false;
  }
  // Nothing but the tray: nothing else in the panel changes while a test looks at it
  // (the clock would, every minute).
  evaluateScript(
      "var w = panels()[0].widgets(); for (var i = 0; i < w.length; i++) {"
      " if (w[i].type != 'org.kde.plasma.systemtray') w[i].remove(); }");
  const auto geometry = evaluateScript("var p = panels()[0]; print(p.location + ' ' + p.height)");
  if (!geometry || geometry->find(' ') == std::string::npos) {
    failure_ = "the panel's geometry is unknown";
    return false;
  }
  panelLocation_ = geometry->substr(0, geometry->find(' '));
  panelThickness_ = std::atoi(geometry->c_str() + geometry->find(' ') + 1);
  return true;
}

bool PlasmaSession::restartShell() {
  if (shell_) ::kill(shell_->pid(), SIGKILL);
  shell_.reset();
  if (!pumpUntil([&] { return !hasOwner("org.kde.plasmashell"); }, 20)) return false;
  return startShell();
}

Box PlasmaSession::panelBox() const {
  const int w = options_.width, h = options_.height, t = panelThickness_;
  if (panelLocation_ == "top") return {0, 0, w - 1, t - 1};
  if (panelLocation_ == "left") return {0, 0, t - 1, h - 1};
  if (panelLocation_ == "right") return {w - t, 0, w - 1, h - 1};
  return {0, h - t, w - 1, h - 1};
}

VariantPtr PlasmaSession::call(const std::string& destination, const std::string& path,
                               const std::string& interface, const std::string& method,
                               GVariant* parameters, double timeoutSeconds, bool autoStart) {
  struct Pending {
    bool done = false;
    VariantPtr reply;
  };
  auto pending = std::make_shared<Pending>();
  g_dbus_connection_call(
      connection_, destination.c_str(), path.c_str(), interface.c_str(), method.c_str(), parameters,
      nullptr, autoStart ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START,
      static_cast<int>(timeoutSeconds * 1000), nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<std::shared_ptr<Pending>> p(static_cast<std::shared_ptr<Pending>*>(data));
        (*p)->reply = adopt(g_dbus_connection_call_finish(
            reinterpret_cast<GDBusConnection*>(source), result, nullptr));
        (*p)->done = true;
      },
      new std::shared_ptr<Pending>(pending));
  pumpUntil([&] { return pending->done; }, timeoutSeconds + 5);
  return pending->reply;
}

bool PlasmaSession::hasOwner(const std::string& name) {
  auto reply = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "NameHasOwner", g_variant_new("(s)", name.c_str()), 5);
  gboolean owned = FALSE;
  if (reply) g_variant_get(reply.get(), "(b)", &owned);
  return owned != FALSE;
}

std::vector<std::string> PlasmaSession::registeredItems() {
  std::vector<std::string> items;
  auto reply = call(
      "org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher", "org.freedesktop.DBus.Properties",
      "Get",
      g_variant_new("(ss)", "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"), 5);
  if (!reply) return items;
  GVariant* list = nullptr;
  g_variant_get(reply.get(), "(v)", &list);
  GVariantIter it;
  g_variant_iter_init(&it, list);
  const gchar* item = nullptr;
  while (g_variant_iter_next(&it, "&s", &item)) items.emplace_back(item);
  g_variant_unref(list);
  return items;
}

std::optional<std::string> PlasmaSession::evaluateScript(const std::string& script) {
  auto reply = call("org.kde.plasmashell", "/PlasmaShell", "org.kde.PlasmaShell", "evaluateScript",
                    g_variant_new("(s)", script.c_str()), 20);
  if (!reply) return std::nullopt;
  const gchar* text = nullptr;
  g_variant_get(reply.get(), "(&s)", &text);
  std::string out = text;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::optional<Screenshot> PlasmaSession::screenshot() {
  if (options_.display == Display::X11) return screenshotOfX(env_["DISPLAY"]);
  return kwinScreenshot();
}

std::optional<Screenshot> PlasmaSession::kwinScreenshot() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  // KWin writes the picture after it answers and may hold on to a pipe it refused:
  // read on a thread of our own, bounded by a deadline, never to the pipe's end alone.
  auto data = std::make_shared<std::string>();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread reader([fd = fds[0], data, finished] {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    char chunk[65536];
    while (Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      data->append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    *finished = true;
  });
  GUnixFDList* list = g_unix_fd_list_new();
  const int index = g_unix_fd_list_append(list, fds[1], nullptr);
  ::close(fds[1]);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE("a{sv}"));
  g_variant_builder_add(&options, "{sv}", "native-resolution", g_variant_new_boolean(TRUE));
  g_variant_builder_add(&options, "{sv}", "include-cursor", g_variant_new_boolean(FALSE));
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      connection_, "org.kde.KWin", "/org/kde/KWin/ScreenShot2", "org.kde.KWin.ScreenShot2",
      "CaptureScreen", g_variant_new("(sa{sv}h)", "Virtual-0", &options, index),
      G_VARIANT_TYPE("(a{sv})"), G_DBUS_CALL_FLAGS_NONE, 20000, list, nullptr, nullptr, &error);
  g_object_unref(list);
  if (!reply) {
    g_error_free(error);
    reader.detach();
    return std::nullopt;
  }
  reader.join();
  GVariant* meta = g_variant_get_child_value(reply, 0);
  guint32 width = 0, height = 0, stride = 0, format = 0;
  g_variant_lookup(meta, "width", "u", &width);
  g_variant_lookup(meta, "height", "u", &height);
  g_variant_lookup(meta, "stride", "u", &stride);
  g_variant_lookup(meta, "format", "u", &format);
  g_variant_unref(meta);
  g_variant_unref(reply);
  // QImage's 32-bit formats (RGB32, ARGB32, premultiplied): 0xAARRGGBB words.
  if (format < 4 || format > 6 || data->size() < std::size_t{stride} * height ||
      stride < width * 4) {
    return std::nullopt;
  }
  Screenshot shot{static_cast<int>(width), static_cast<int>(height), {}};
  shot.rgb.reserve(std::size_t{width} * height);
  for (guint32 y = 0; y < height; ++y) {
    const auto* row = reinterpret_cast<const std::uint8_t*>(data->data()) + std::size_t{y} * stride;
    for (guint32 x = 0; x < width; ++x) {
      shot.rgb.push_back(std::uint32_t{row[x * 4 + 2]} << 16 | std::uint32_t{row[x * 4 + 1]} << 8 |
                         row[x * 4]);
    }
  }
  return shot;
}

bool PlasmaSession::pointerTo(int x, int y) {
  pointerX_ = x, pointerY_ = y;
  if (input_) return input_->moveTo(x, y);
  return ChildProcess::run({"xdotool", "mousemove", std::to_string(x), std::to_string(y)}, env_)
             .status == 0;
}

bool PlasmaSession::button(int number) {
  if (!input_) {
    return ChildProcess::run({"xdotool", "click", std::to_string(number)}, env_).status == 0;
  }
  // Each action starts where the pointer should be: the device may have missed a motion.
  if (!input_->moveTo(pointerX_, pointerY_)) return false;
  // Qt reads an axis event without a discrete step as 12 angle units per unit: 10 is one
  // notch of 120, as a real wheel gives.
  if (number == 4) return input_->axis(-10);
  if (number == 5) return input_->axis(10);
  if (number < 1 || number > 3) return false;
  return input_->button(kButtons[number], true) && input_->button(kButtons[number], false);
}

bool PlasmaSession::key(const std::string& name) {
  if (!input_) return ChildProcess::run({"xdotool", "key", name}, env_).status == 0;
  auto code = keyCode(name);
  return code && input_->key(*code, true) && input_->key(*code, false);
}

PanelUser PlasmaSession::user(sim::VirtualRunLoop& loop, const std::string& name) {
  return PanelUser([this] { return screenshot(); }, PanelUser::turning(loop), panelBox(),
                   {0, 0, options_.width - 1, options_.height - 1},
                   {[this](int x, int y) { return pointerTo(x, y); },
                    [this](int number) { return button(number); },
                    [this](const std::string& k) { return key(k); }},
                   name);
}

void PlasmaSession::stopSessionProcesses() {
  if (runtime_.empty()) return;
  const std::string mark = "XDG_RUNTIME_DIR=" + runtime_.string();
  auto sessionPids = [&] {
    std::vector<pid_t> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string name = entry.path().filename();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      const pid_t pid = std::stoi(name);
      if (pid == ::getpid()) continue;
      std::ifstream in(entry.path() / "environ", std::ios::binary);
      std::string var;
      while (std::getline(in, var, '\0')) {
        if (var == mark) {
          pids.push_back(pid);
          break;
        }
      }
    }
    return pids;
  };
  auto alive = [](pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
  };
  auto pids = sessionPids();
  for (pid_t pid : pids) ::kill(pid, SIGTERM);
  pollUntil(
      [&] {
        for (pid_t pid : pids) {
          if (alive(pid)) return false;
        }
        return true;
      },
      3);
  // What is left, and what the bus started while the others went.
  for (pid_t pid : sessionPids()) ::kill(pid, SIGKILL);
}

bool PlasmaSession::startPortal() {
  return call("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
              "org.freedesktop.DBus.Properties", "Get",
              g_variant_new("(ss)", "org.freedesktop.portal.ScreenCast", "version"), 90,
              /*autoStart=*/true) &&
         pumpUntil([&] { return hasOwner("org.freedesktop.impl.portal.desktop.kde"); }, 60);
}

// The shared output is "0x0" (the one output of the virtual KWin) in a
// QDataStream of {"outputs": ["0x0"], "windows": []}. Its id is the restore token.
std::string PlasmaSession::seedScreencastGrant() {
  static const guint8 kGrant[] = {
      0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0e, 0x00, 0x6f, 0x00, 0x75, 0x00, 0x74, 0x00,
      0x70, 0x00, 0x75, 0x00, 0x74, 0x00, 0x73, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00,
      0x01, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x30, 0x00, 0x78, 0x00,
      0x30, 0x00, 0x00, 0x00, 0x0e, 0x00, 0x77, 0x00, 0x69, 0x00, 0x6e, 0x00, 0x64, 0x00, 0x6f,
      0x00, 0x77, 0x00, 0x73, 0x00, 0x00, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00};
  gchar* uuid = g_uuid_string_random();
  const std::string token = uuid;
  g_free(uuid);
  GVariant* bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, kGrant, sizeof kGrant, 1);
  GVariantBuilder permissions;
  g_variant_builder_init(&permissions, G_VARIANT_TYPE("a{sas}"));
  const gchar* yes[] = {"yes", nullptr};
  g_variant_builder_add(&permissions, "{s^as}", "", yes);
  GVariant* data = g_variant_new("(suv)", "KDE", 1u, bytes);
  auto reply = call(
      "org.freedesktop.impl.portal.PermissionStore", "/org/freedesktop/impl/portal/PermissionStore",
      "org.freedesktop.impl.portal.PermissionStore", "Set",
      g_variant_new("(sbsa{sas}v)", "screencast", TRUE, token.c_str(), &permissions, data), 60,
      /*autoStart=*/true);
  return reply ? token : "";
}

}  // namespace nuvlet::test
