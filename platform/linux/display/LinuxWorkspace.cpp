#include "platform/linux/display/LinuxWorkspace.h"

#include <gio/gio.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "nuvlet/platform/ListenerList.h"
#include "nuvlet/platform/Log.h"
#include "nuvlet/platform/Text.h"

namespace nuvlet::linux_platform {
namespace {

std::string latin1OrUtf8(std::string_view in) {
  std::string repaired = text::repairUtf8(in);
  if (repaired == in) return repaired;
  std::string out;
  for (unsigned char c : in) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\0' || s.back() == ' ')) s.pop_back();
  return s;
}

std::optional<std::string> executableOf(std::uint32_t pid) {
  if (pid == 0) return std::nullopt;
  const std::string proc = "/proc/" + std::to_string(pid);
  char target[PATH_MAX];
  ssize_t n = ::readlink((proc + "/exe").c_str(), target, sizeof target - 1);
  if (n > 0) {
    std::string path(target, static_cast<std::size_t>(n));
    auto slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A replaced binary reads "name (deleted)".
    if (auto d = base.find(" (deleted)"); d != std::string::npos) base.erase(d);
    if (!base.empty()) return base;
  }
  gchar* comm = nullptr;
  if (g_file_get_contents((proc + "/comm").c_str(), &comm, nullptr, nullptr)) {
    std::string name = trimmed(comm);
    g_free(comm);
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

class LinuxWorkspace final : public Workspace {
 public:
  LinuxWorkspace(std::shared_ptr<XConnection> x, std::unique_ptr<SleepMonitor> sleep)
      : x_(std::move(x)), sleep_(std::move(sleep)) {
    if (x_) {
      x_->internAll({"_NET_ACTIVE_WINDOW", "_GTK_APPLICATION_ID", "_NET_WM_PID", "UTF8_STRING"});
      activeAtom_ = x_->atom("_NET_ACTIVE_WINDOW");
      handler_ = x_->addEventHandler([this](const xcb_generic_event_t& e) { onEvent(e); });
      frontmost_ = readFrontmost();
    }
    if (sleep_) {
      sleep_->start([this] { willSleep_.notify(); }, [this] { didWake_.notify(); });
    }
  }
  ~LinuxWorkspace() override {
    if (x_) x_->removeHandler(handler_);
  }
  LinuxWorkspace(const LinuxWorkspace&) = delete;
  LinuxWorkspace& operator=(const LinuxWorkspace&) = delete;

  std::optional<FrontmostApplication> frontmostApplication() const override { return frontmost_; }
  ListenerId addDidActivateListener(std::function<void()> fn) override {
    return activated_.add(std::move(fn));
  }
  ListenerId addWillSleepListener(std::function<void()> fn) override {
    return willSleep_.add(std::move(fn));
  }
  ListenerId addDidWakeListener(std::function<void()> fn) override {
    return didWake_.add(std::move(fn));
  }
  void removeListener(ListenerId id) override {
    activated_.remove(id);
    willSleep_.remove(id);
    didWake_.remove(id);
  }

  bool openFolder(const std::filesystem::path& folder) override {
    GError* error = nullptr;
    gchar* uri = g_filename_to_uri(folder.c_str(), nullptr, &error);
    bool ok = uri != nullptr && g_app_info_launch_default_for_uri(uri, nullptr, &error) != FALSE;
    if (!ok && error != nullptr) log::debug(std::string("cannot open folder: ") + error->message);
    g_clear_error(&error);
    g_free(uri);
    return ok;
  }

 private:
  void onEvent(const xcb_generic_event_t& event) {
    if ((event.response_type & 0x7f) != XCB_PROPERTY_NOTIFY) return;
    const auto& p = reinterpret_cast<const xcb_property_notify_event_t&>(event);
    if (p.window != x_->root() || p.atom != activeAtom_) return;
    auto app = readFrontmost();
    bool news = app && app != frontmost_;
    frontmost_ = std::move(app);
    if (news) activated_.notify();
  }

  std::optional<FrontmostApplication> readFrontmost() {
    auto active = x_->cardinals(x_->root(), activeAtom_);
    if (active.empty() || active[0] == XCB_WINDOW_NONE) return std::nullopt;
    const xcb_window_t w = active[0];
    std::optional<std::string> gtk, wmClass, executable;
    if (auto p = x_->property(w, x_->atom("_GTK_APPLICATION_ID")); p && p->format == 8) {
      gtk = p->bytes;
    }
    if (auto p = x_->property(w, XCB_ATOM_WM_CLASS); p && p->format == 8) wmClass = p->bytes;
    auto pids = x_->cardinals(w, x_->atom("_NET_WM_PID"));
    if (!pids.empty()) executable = executableOf(pids[0]);
    return applicationFromWindow(gtk, wmClass, executable);
  }

  std::shared_ptr<XConnection> x_;
  std::unique_ptr<SleepMonitor> sleep_;
  xcb_atom_t activeAtom_ = XCB_ATOM_NONE;
  ListenerId handler_ = 0;
  std::optional<FrontmostApplication> frontmost_;
  ListenerList<> activated_;
  ListenerList<> willSleep_;
  ListenerList<> didWake_;
};

}  // namespace

FrontmostApplication applicationFromWindow(std::optional<std::string_view> gtkApplicationId,
                                           std::optional<std::string_view> wmClass,
                                           std::optional<std::string_view> executable) {
  FrontmostApplication app;
  if (wmClass) {
    // "instance\0class\0"; a window that gives only one string gives it for both.
    std::string_view all = *wmClass;
    std::string_view instance = all.substr(0, all.find('\0'));
    std::string_view rest =
        instance.size() < all.size() ? all.substr(instance.size() + 1) : std::string_view();
    std::string_view klass = rest.substr(0, rest.find('\0'));
    if (klass.empty()) klass = instance;
    app.name = latin1OrUtf8(klass);
  }
  std::string gtk =
      gtkApplicationId ? text::repairUtf8(trimmed(std::string(*gtkApplicationId))) : std::string();
  if (!gtk.empty()) {
    app.bundleId = gtk;
  } else if (!app.name.empty()) {
    app.bundleId = app.name;
  } else if (executable) {
    app.bundleId = text::repairUtf8(*executable);
  }
  if (app.name.empty()) app.name = app.bundleId;
  return app;
}

std::unique_ptr<Workspace> makeLinuxWorkspace(std::shared_ptr<XConnection> x,
                                              std::unique_ptr<SleepMonitor> sleep) {
  return std::make_unique<LinuxWorkspace>(std::move(x), std::move(sleep));
}

}  // namespace nuvlet::linux_platform
