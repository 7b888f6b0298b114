#include "platform/linux/display/WaylandDisplayTopology.h"

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "nuvlet/platform/ListenerList.h"
#include "nuvlet/platform/Log.h"
#include "platform/linux/display/DrmConnectors.h"
#include "platform/linux/display/WaylandOutputHandles.h"

namespace nuvlet::linux_platform {
namespace {

// One wl_output and what the compositor said about it so far.
struct Output : WaylandOutputHandles {
  std::uint32_t global = 0;
  std::function<void()> changed;
  std::string name;
  std::string description;
  std::int32_t x = 0, y = 0;  // wl_output geometry, the fallback without xdg-output
  std::int32_t modeWidth = 0, modeHeight = 0;
  std::int32_t scale = 1;
  std::optional<ScreenRect> logical;  // from xdg-output


  ScreenRect frame() const {
    if (logical && logical->width > 0 && logical->height > 0) return *logical;
    const double s = scale > 0 ? scale : 1;
    return {double(x), double(y), modeWidth / s, modeHeight / s};
  }
};

Output& out(void* data) { return *static_cast<Output*>(data); }

void onGeometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
                std::int32_t, const char* make, const char* model, std::int32_t) {
  auto& o = out(data);
  o.x = x;
  o.y = y;
  // wl_output before version 4 has no description: make and model stand in.
  if (o.description.empty()) o.description = std::string(make) + " " + model;
}
void onMode(void* data, wl_output*, std::uint32_t flags, std::int32_t w, std::int32_t h,
            std::int32_t) {
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  out(data).modeWidth = w;
  out(data).modeHeight = h;
}
void onDone(void* data, wl_output*) { out(data).changed(); }
void onScale(void* data, wl_output*, std::int32_t factor) { out(data).scale = factor; }
void onName(void* data, wl_output*, const char* name) { out(data).name = name; }
void onDescription(void* data, wl_output*, const char* d) { out(data).description = d; }

const wl_output_listener kOutputListener = {onGeometry, onMode, onDone,
                                            onScale,    onName, onDescription};

void onLogicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  auto& o = out(data);
  if (!o.logical) o.logical = ScreenRect{};
  o.logical->x = x;
  o.logical->y = y;
}
void onLogicalSize(void* data, zxdg_output_v1*, std::int32_t w, std::int32_t h) {
  auto& o = out(data);
  if (!o.logical) o.logical = ScreenRect{};
  o.logical->width = w;
  o.logical->height = h;
}
// From version 3 on the compositor ends a batch with wl_output.done instead; an
// extra refresh costs nothing.
void onXdgDone(void* data, zxdg_output_v1*) { out(data).changed(); }
void onXdgName(void* data, zxdg_output_v1*, const char* name) { out(data).name = name; }
void onXdgDescription(void* data, zxdg_output_v1*, const char* d) { out(data).description = d; }

const zxdg_output_v1_listener kXdgOutputListener = {onLogicalPosition, onLogicalSize, onXdgDone,
                                                    onXdgName, onXdgDescription};

class WaylandDisplayTopology final : public DisplayTopology {
 public:
  WaylandDisplayTopology(RunLoop& loop, wl_display* display, std::filesystem::path sysfsRoot,
                         std::function<void()> onLost)
      : loop_(loop),
        display_(display),
        sysfsRoot_(std::move(sysfsRoot)),
        onLost_(std::move(onLost)) {}

  ~WaylandDisplayTopology() override {
    *alive_ = false;
    if (watch_) loop_.cancel(*watch_);
    outputs_.clear();
    if (xdgManager_ != nullptr) zxdg_output_manager_v1_destroy(xdgManager_);
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    wl_display_disconnect(display_);
  }

  WaylandDisplayTopology(const WaylandDisplayTopology&) = delete;
  WaylandDisplayTopology& operator=(const WaylandDisplayTopology&) = delete;

  // Reads the outputs there are now: the registry, then the outputs' first events,
  // then xdg-output's answers to them.
  bool start() {
    static const wl_registry_listener listener = {onGlobal, onGlobalRemove};
    registry_ = wl_display_get_registry(display_);
    wl_registry_add_listener(registry_, &listener, this);
    for (int i = 0; i < 3; ++i) {
      if (wl_display_roundtrip(display_) < 0) return false;
    }
    refresh(false);
    std::weak_ptr<bool> alive = alive_;
    watch_ = loop_.watchReadable(wl_display_get_fd(display_), [this, alive] {
      if (alive.lock() && *alive.lock()) dispatch();
    });
    return true;
  }

  std::optional<DisplayID> mainDisplay() const override { return main_; }
  bool isBuiltIn(DisplayID id) const override {
    return std::any_of(screens_.begin(), screens_.end(),
                       [id](const Screen& s) { return s.id == id && s.builtIn; });
  }
  std::vector<DisplayID> onlineDisplays() const override {
    std::vector<DisplayID> ids;
    for (const auto& s : screens_) ids.push_back(*s.id);
    return ids;
  }
  const std::vector<Screen>& screens() const override { return screens_; }
  bool tracksPointer() const override { return false; }
  ListenerId addDisplaysChangedListener(std::function<void()> fn) override {
    return changed_.add(std::move(fn));
  }
  void removeListener(ListenerId id) override { changed_.remove(id); }

 private:
  static void onGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
    auto* self = static_cast<WaylandDisplayTopology*>(data);
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
      auto o = std::make_unique<Output>();
      o->global = name;
      o->output = static_cast<wl_output*>(
          wl_registry_bind(registry, name, &wl_output_interface, std::min(version, 4u)));
      o->changed = [self] { self->scheduleRefresh(); };
      wl_output_add_listener(o->output, &kOutputListener, o.get());
      if (self->xdgManager_ != nullptr) self->addXdgOutput(*o);
      self->outputs_[name] = std::move(o);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0) {
      self->xdgManager_ = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
          registry, name, &zxdg_output_manager_v1_interface, std::min(version, 3u)));
      for (auto& [global, o] : self->outputs_) self->addXdgOutput(*o);
    }
  }

  static void onGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
    auto* self = static_cast<WaylandDisplayTopology*>(data);
    if (self->outputs_.erase(name) != 0) self->scheduleRefresh();
  }

  void addXdgOutput(Output& o) {
    if (o.xdg != nullptr) return;
    o.xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager_, o.output);
    zxdg_output_v1_add_listener(o.xdg, &kXdgOutputListener, &o);
  }

  void dispatch() {
    if (lost_) return;
    while (wl_display_prepare_read(display_) != 0) {
      if (wl_display_dispatch_pending(display_) < 0) return lost();
    }
    if (wl_display_read_events(display_) < 0) return lost();
    if (wl_display_dispatch_pending(display_) < 0) return lost();
    if (wl_display_flush(display_) < 0 && errno != EAGAIN) return lost();
    if (wl_display_get_error(display_) != 0) lost();
  }

  // Outputs send their state in batches, one per output: the screens are rebuilt
  // once after the last of a burst.
  void scheduleRefresh() {
    if (refreshPosted_) return;
    refreshPosted_ = true;
    std::weak_ptr<bool> alive = alive_;
    loop_.post([this, alive] {
      auto a = alive.lock();
      if (!a || !*a) return;
      refreshPosted_ = false;
      refresh(true);
    });
  }

  void refresh(bool notify) {
    if (lost_) return;
    const auto connectors = readDrmConnectors(sysfsRoot_);
    auto connector = [&](const std::string& name) -> const DrmConnector* {
      for (const auto& c : connectors) {
        if (c.name == name) return &c;
      }
      return nullptr;
    };
    std::vector<Screen> screens;
    std::vector<bool> unmatched;
    for (const auto& [global, o] : outputs_) {
      const ScreenRect frame = o->frame();
      if (frame.width <= 0 || frame.height <= 0) continue;  // not described yet
      Screen s;
      s.name = o->name;
      s.description = o->description;
      s.frame = frame;
      s.scale = o->scale > 0 ? o->scale : 1;
      const DrmConnector* c = o->name.empty() ? nullptr : connector(o->name);
      if (c != nullptr) s.edid = c->edid;
      s.builtIn = isPanelConnectorName(o->name);
      // Without a name (no xdg-output, wl_output before 4) the registry name keeps
      // two such outputs apart.
      s.id = waylandDisplayId(o->name.empty() ? "#" + std::to_string(global) : o->name, s.edid);
      unmatched.push_back(c == nullptr && !s.builtIn);
      screens.push_back(std::move(s));
    }
    const bool anyPanel =
        std::any_of(screens.begin(), screens.end(), [](const Screen& s) { return s.builtIn; });
    if (!anyPanel && hasBacklightDevice(sysfsRoot_)) {
      // A virtual output (a headless or nested session) on a machine with a backlight:
      // the backlight belongs to the display the user sees, so the first such output
      // stands for the panel.
      for (std::size_t i = 0; i < screens.size(); ++i) {
        if (unmatched[i]) {
          screens[i].builtIn = true;
          break;
        }
      }
    }
    auto mainIt =
        std::find_if(screens.begin(), screens.end(), [](const Screen& s) { return s.builtIn; });
    if (mainIt == screens.end()) {
      mainIt = std::find_if(screens.begin(), screens.end(),
                            [](const Screen& s) { return s.frame.x == 0 && s.frame.y == 0; });
    }
    if (mainIt == screens.end()) mainIt = screens.begin();
    if (mainIt != screens.end()) std::rotate(screens.begin(), mainIt, mainIt + 1);
    main_ = screens.empty() ? std::nullopt : screens.front().id;
    const bool different = screens != screens_;
    screens_ = std::move(screens);
    if (notify && different) changed_.notify();
  }

  void lost() {
    if (lost_) return;
    lost_ = true;
    log::info("the Wayland compositor went away");
    if (watch_) {
      loop_.cancel(*watch_);
      watch_.reset();
    }
    screens_.clear();
    main_.reset();
    changed_.notify();
    if (onLost_) onLost_();
  }

  RunLoop& loop_;
  wl_display* display_;
  std::filesystem::path sysfsRoot_;
  std::function<void()> onLost_;
  wl_registry* registry_ = nullptr;
  zxdg_output_manager_v1* xdgManager_ = nullptr;
  std::map<std::uint32_t, std::unique_ptr<Output>> outputs_;  // by registry name
  std::optional<RunLoop::TimerId> watch_;
  bool refreshPosted_ = false;
  bool lost_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::vector<Screen> screens_;
  std::optional<DisplayID> main_;
  ListenerList<> changed_;
};

}  // namespace

std::unique_ptr<DisplayTopology> makeWaylandDisplayTopology(RunLoop& loop,
                                                            std::filesystem::path sysfsRoot,
                                                            std::function<void()> onLost,
                                                            const char* displayName) {
  wl_display* display = wl_display_connect(displayName);
  if (display == nullptr) return nullptr;
  auto topology = std::make_unique<WaylandDisplayTopology>(loop, display, std::move(sysfsRoot),
                                                           std::move(onLost));
  if (!topology->start()) {
    log::info("the Wayland compositor did not answer");
    return nullptr;
  }
  return topology;
}

}  // namespace nuvlet::linux_platform
