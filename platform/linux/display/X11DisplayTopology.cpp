#include "platform/linux/display/X11DisplayTopology.h"

#include <xcb/randr.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "nuvlet/platform/Log.h"

namespace nuvlet::linux_platform {

bool isBuiltInOutput(std::string_view name, std::string_view connectorType) {
  for (std::string_view prefix : {"eDP", "LVDS", "DSI"}) {
    if (name.substr(0, prefix.size()) == prefix) return true;
    if (connectorType == prefix) return true;
  }
  return connectorType == "Panel";
}

namespace {

constexpr DisplayID kVirtualMonitorBit = 0x80000000u;
constexpr double kPointerPollInterval = 0.25;

template <typename T>
struct FreeDeleter {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

struct Output {
  std::string name;
  bool connected = false;
  xcb_randr_crtc_t crtc = 0;
  std::string connectorType;
  std::vector<std::uint8_t> edid;
  bool builtIn = false;
};

class X11DisplayTopology final : public DisplayTopology {
 public:
  explicit X11DisplayTopology(std::shared_ptr<XConnection> x);
  ~X11DisplayTopology() override;

  std::optional<DisplayID> mainDisplay() const override { return main_; }
  bool isBuiltIn(DisplayID id) const override {
    auto it = builtIn_.find(id);
    return it != builtIn_.end() && it->second;
  }
  std::vector<DisplayID> onlineDisplays() const override { return online_; }
  const std::vector<Screen>& screens() const override { return screens_; }
  std::optional<ScreenPoint> pointerLocation() const override;
  std::optional<ListenerId> addPointerMovedListener(std::function<void()> fn) override {
    if (!rawMotion_) return std::nullopt;
    return moved_.add(std::move(fn));
  }
  ListenerId addDisplaysChangedListener(std::function<void()> fn) override {
    return changed_.add(std::move(fn));
  }
  void removeListener(ListenerId id) override {
    moved_.remove(id);
    changed_.remove(id);
  }

 private:
  void setUpRandr();
  void setUpXInput();
  void onEvent(const xcb_generic_event_t& event);
  void scheduleRefresh();
  void refresh();
  std::map<xcb_randr_output_t, Output> readOutputs(xcb_randr_output_t& primary);
  void applyPanels(std::vector<Screen>& screens);
  void queryPointer() const;
  void lost();

  std::shared_ptr<XConnection> x_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  ListenerId eventHandler_ = 0;
  ListenerId lostHandler_ = 0;
  bool randr_ = false;
  bool monitors_ = false;
  std::uint8_t randrEventBase_ = 0;
  bool rawMotion_ = false;
  std::uint8_t xinputOpcode_ = 0;
  bool refreshPosted_ = false;
  std::optional<RunLoop::TimerId> pollTimer_;

  std::vector<Screen> screens_;
  std::vector<DisplayID> online_;
  std::optional<DisplayID> main_;
  std::map<DisplayID, bool> builtIn_;

  // The pointer is asked for asynchronously; one query is in flight at a time, and
  // motion during it asks again once it is answered.
  mutable std::optional<ScreenPoint> pointer_;
  mutable bool pointerInFlight_ = false;
  mutable bool inFlightFromMotion_ = false;
  mutable bool motionWhileInFlight_ = false;
  mutable ListenerList<> moved_;
  ListenerList<> changed_;
};

X11DisplayTopology::X11DisplayTopology(std::shared_ptr<XConnection> x) : x_(std::move(x)) {
  x_->internAll({"EDID", "ConnectorType", "_NET_WORKAREA", "_NET_CURRENT_DESKTOP"});
  eventHandler_ = x_->addEventHandler([this](const xcb_generic_event_t& e) { onEvent(e); });
  lostHandler_ = x_->addLostHandler([this] { lost(); });
  setUpRandr();
  setUpXInput();
  refresh();
  if (!rawMotion_) {
    // Without motion events the position is polled, at the rate of the app's own poll.
    pollTimer_ = x_->loop().scheduleRepeating(kPointerPollInterval, [this] {
      if (!pointerInFlight_ && !x_->broken()) queryPointer();
    });
  }
  // The first position synchronously, so that the answers are complete from the start.
  xcb_connection_t* c = x_->get();
  Reply<xcb_query_pointer_reply_t> p(
      xcb_query_pointer_reply(c, xcb_query_pointer(c, x_->root()), nullptr));
  if (p && p->same_screen) pointer_ = ScreenPoint{double(p->root_x), double(p->root_y)};
  x_->flushSoon();
}

X11DisplayTopology::~X11DisplayTopology() {
  if (pollTimer_) x_->loop().cancel(*pollTimer_);
  x_->removeHandler(eventHandler_);
  x_->removeHandler(lostHandler_);
}

void X11DisplayTopology::setUpRandr() {
  xcb_connection_t* c = x_->get();
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_randr_id);
  if (ext == nullptr || !ext->present) return;
  Reply<xcb_randr_query_version_reply_t> version(
      xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 6), nullptr));
  if (!version || version->major_version < 1 ||
      (version->major_version == 1 && version->minor_version < 3)) {
    return;
  }
  randr_ = true;
  monitors_ = version->major_version > 1 || version->minor_version >= 5;
  randrEventBase_ = ext->first_event;
  xcb_randr_select_input(c, x_->root(),
                         XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                             XCB_RANDR_NOTIFY_MASK_OUTPUT_PROPERTY);
}

void X11DisplayTopology::setUpXInput() {
  xcb_connection_t* c = x_->get();
  const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_input_id);
  if (ext == nullptr || !ext->present) return;
  Reply<xcb_input_xi_query_version_reply_t> version(
      xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
  if (!version || version->major_version < 2) return;
  struct {
    xcb_input_event_mask_t head;
    std::uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
  auto cookie = xcb_input_xi_select_events_checked(c, x_->root(), 1, &mask.head);
  Reply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
  if (error) return;
  rawMotion_ = true;
  xinputOpcode_ = ext->major_opcode;
}

void X11DisplayTopology::onEvent(const xcb_generic_event_t& event) {
  const std::uint8_t type = event.response_type & 0x7f;
  if (type == XCB_GE_GENERIC) {
    const auto& ge = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
    if (rawMotion_ && ge.extension == xinputOpcode_ && ge.event_type == XCB_INPUT_RAW_MOTION) {
      if (pointerInFlight_) {
        motionWhileInFlight_ = true;
      } else {
        inFlightFromMotion_ = true;
        queryPointer();
      }
    }
    return;
  }
  if (randr_ && (type == randrEventBase_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                 type == randrEventBase_ + XCB_RANDR_NOTIFY)) {
    scheduleRefresh();
  } else if (type == XCB_CONFIGURE_NOTIFY) {
    // Monitors defined or removed by a client show only as a root reconfiguration.
    const auto& configure = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
    if (configure.window == x_->root()) scheduleRefresh();
  } else if (type == XCB_PROPERTY_NOTIFY) {
    const auto& property = reinterpret_cast<const xcb_property_notify_event_t&>(event);
    if (property.window != x_->root()) return;
    std::string name = x_->atomName(property.atom);
    if (name == "_NET_WORKAREA" || name == "_NET_CURRENT_DESKTOP" ||
        name.rfind("_GTK_WORKAREAS_D", 0) == 0) {
      scheduleRefresh();
    }
  }
}

void X11DisplayTopology::scheduleRefresh() {
  // A hotplug brings a burst of events; one refresh after the burst is enough.
  if (refreshPosted_) return;
  refreshPosted_ = true;
  x_->flushSoon();
  std::weak_ptr<int> alive = alive_;
  // Run after the events already read: post through the connection's own turn.
  x_->onReply(xcb_get_input_focus(x_->get()).sequence, [this, alive](void*) {
    if (alive.expired()) return;
    refreshPosted_ = false;
    refresh();
  });
}

std::map<xcb_randr_output_t, Output> X11DisplayTopology::readOutputs(xcb_randr_output_t& primary) {
  std::map<xcb_randr_output_t, Output> outputs;
  xcb_connection_t* c = x_->get();
  const xcb_window_t root = x_->root();
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          c, xcb_randr_get_screen_resources_current(c, root), nullptr));
  if (!resources) return outputs;
  const xcb_randr_output_t* ids = xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  const xcb_timestamp_t stamp = resources->config_timestamp;
  const xcb_atom_t edidAtom = x_->atom("EDID");
  const xcb_atom_t connectorAtom = x_->atom("ConnectorType");

  // Every request goes out before the first reply is awaited: one round trip in all.
  struct Cookies {
    xcb_randr_output_t id;
    xcb_randr_get_output_info_cookie_t info;
    xcb_randr_get_output_property_cookie_t edid;
    xcb_randr_get_output_property_cookie_t connector;
  };
  std::vector<Cookies> cookies;
  for (int i = 0; i < count; ++i) {
    cookies.push_back(
        {ids[i], xcb_randr_get_output_info(c, ids[i], stamp),
         xcb_randr_get_output_property(c, ids[i], edidAtom, XCB_ATOM_ANY, 0, 256, 0, 0),
         xcb_randr_get_output_property(c, ids[i], connectorAtom, XCB_ATOM_ANY, 0, 1, 0, 0)});
  }
  auto primaryCookie = xcb_randr_get_output_primary(c, root);
  for (auto& k : cookies) {
    Reply<xcb_randr_get_output_info_reply_t> info(
        xcb_randr_get_output_info_reply(c, k.info, nullptr));
    Reply<xcb_randr_get_output_property_reply_t> edid(
        xcb_randr_get_output_property_reply(c, k.edid, nullptr));
    Reply<xcb_randr_get_output_property_reply_t> connector(
        xcb_randr_get_output_property_reply(c, k.connector, nullptr));
    if (!info) continue;
    Output out;
    out.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                    static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.get())));
    out.connected = info->connection == XCB_RANDR_CONNECTION_CONNECTED;
    out.crtc = info->crtc;
    if (edid && edid->format == 8) {
      const std::uint8_t* data = xcb_randr_get_output_property_data(edid.get());
      int length = xcb_randr_get_output_property_data_length(edid.get());
      out.edid.assign(data, data + std::max(length, 0));
    }
    if (connector && connector->format == 32 &&
        xcb_randr_get_output_property_data_length(connector.get()) >= 4) {
      xcb_atom_t value;
      std::memcpy(&value, xcb_randr_get_output_property_data(connector.get()), 4);
      out.connectorType = x_->atomName(value);
    }
    out.builtIn = isBuiltInOutput(out.name, out.connectorType);
    outputs.emplace(k.id, std::move(out));
  }
  Reply<xcb_randr_get_output_primary_reply_t> primaryReply(
      xcb_randr_get_output_primary_reply(c, primaryCookie, nullptr));
  primary = primaryReply ? primaryReply->output : 0;
  return outputs;
}

void X11DisplayTopology::refresh() {
  if (x_->broken()) return;
  std::vector<Screen> screens;
  std::map<DisplayID, bool> builtIn;
  std::optional<std::size_t> mainIndex;
  xcb_connection_t* c = x_->get();

  if (randr_) {
    xcb_randr_output_t primary = 0;
    auto outputs = readOutputs(primary);
    for (auto& [id, out] : outputs) {
      if (out.connected) builtIn[id] = out.builtIn;
    }
    auto fromOutput = [&](Screen& s, xcb_randr_output_t id) {
      const Output& out = outputs.at(id);
      s.id = id;
      s.builtIn = s.builtIn || out.builtIn;
      s.connectorType = out.connectorType;
      s.edid = out.edid;
    };
    if (monitors_) {
      Reply<xcb_randr_get_monitors_reply_t> reply(
          xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, x_->root(), 1), nullptr));
      if (reply) {
        for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
             xcb_randr_monitor_info_next(&it)) {
          const xcb_randr_monitor_info_t* m = it.data;
          if (m->width == 0 || m->height == 0) continue;
          Screen s;
          s.name = x_->atomName(m->name);
          s.frame = ScreenRect{double(m->x), double(m->y), double(m->width), double(m->height)};
          s.builtIn = isBuiltInOutput(s.name, "");
          const xcb_randr_output_t* ids = xcb_randr_monitor_info_outputs(m);
          const int n = xcb_randr_monitor_info_outputs_length(m);
          for (int i = 0; i < n; ++i) {
            if (outputs.count(ids[i]) != 0) {
              fromOutput(s, ids[i]);
              break;
            }
          }
          if (!s.id) s.id = kVirtualMonitorBit | m->name;
          builtIn[*s.id] = builtIn[*s.id] || s.builtIn;
          bool isPrimary = m->primary != 0 || std::find(ids, ids + n, primary) != ids + n;
          if (isPrimary && !mainIndex) mainIndex = screens.size();
          screens.push_back(std::move(s));
        }
      }
    }
    if (screens.empty()) {
      // Before RandR 1.5: one screen per output that shows a picture.
      std::vector<std::pair<xcb_randr_output_t, xcb_randr_get_crtc_info_cookie_t>> crtcs;
      for (auto& [id, out] : outputs) {
        if (out.connected && out.crtc != 0) {
          crtcs.emplace_back(id, xcb_randr_get_crtc_info(c, out.crtc, XCB_CURRENT_TIME));
        }
      }
      for (auto& [id, cookie] : crtcs) {
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(
            xcb_randr_get_crtc_info_reply(c, cookie, nullptr));
        if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
        Screen s;
        s.name = outputs.at(id).name;
        s.frame =
            ScreenRect{double(crtc->x), double(crtc->y), double(crtc->width), double(crtc->height)};
        fromOutput(s, id);
        if (id == primary && !mainIndex) mainIndex = screens.size();
        screens.push_back(std::move(s));
      }
    }
  }
  if (!mainIndex) {
    for (std::size_t i = 0; i < screens.size(); ++i) {
      if (screens[i].frame.x == 0 && screens[i].frame.y == 0) {
        mainIndex = i;
        break;
      }
    }
  }
  if (!mainIndex && !screens.empty()) mainIndex = 0;
  if (mainIndex && *mainIndex != 0) {
    std::rotate(screens.begin(), screens.begin() + static_cast<std::ptrdiff_t>(*mainIndex),
                screens.begin() + static_cast<std::ptrdiff_t>(*mainIndex) + 1);
  }
  applyPanels(screens);

  std::vector<DisplayID> online;
  for (const auto& s : screens) online.push_back(*s.id);
  std::optional<DisplayID> main;
  if (!screens.empty()) main = screens.front().id;

  bool changed = screens != screens_ || main != main_;
  screens_ = std::move(screens);
  online_ = std::move(online);
  main_ = main;
  builtIn_ = std::move(builtIn);
  x_->flushSoon();
  if (changed) changed_.notify();
}

void X11DisplayTopology::applyPanels(std::vector<Screen>& screens) {
  const xcb_window_t root = x_->root();
  auto desktops = x_->cardinals(root, x_->atom("_NET_CURRENT_DESKTOP"));
  const std::uint32_t desk = desktops.empty() ? 0 : desktops[0];
  auto inset = [](Screen& s, double x, double y, double w, double h) {
    const ScreenRect& f = s.frame;
    double top = std::clamp(y - f.top(), 0.0, f.height);
    double bottom = std::clamp(f.bottom() - (y + h), 0.0, f.height);
    (void)x;
    (void)w;
    if (top > 0 || bottom > 0) s.panels = PanelInsets{top, bottom};
  };
  // Per-monitor work areas (mutter) say exactly which screen a panel is on.
  auto areas = x_->cardinals(root, x_->atom("_GTK_WORKAREAS_D" + std::to_string(desk)));
  if (areas.size() >= 4) {
    for (std::size_t i = 0; i + 3 < areas.size(); i += 4) {
      double x = areas[i], y = areas[i + 1], w = areas[i + 2], h = areas[i + 3];
      for (auto& s : screens) {
        if (s.frame.contains({x + w / 2, y + h / 2})) {
          inset(s, x, y, w, h);
          break;
        }
      }
    }
    return;
  }
  // One work area for the whole desktop: the part of each screen outside it.
  auto all = x_->cardinals(root, x_->atom("_NET_WORKAREA"));
  if (all.size() < 4 * (std::size_t{desk} + 1)) return;
  const double ax = all[4 * desk], ay = all[4 * desk + 1], aw = all[4 * desk + 2],
               ah = all[4 * desk + 3];
  for (auto& s : screens) {
    const ScreenRect& f = s.frame;
    double x0 = std::max(f.x, ax), x1 = std::min(f.x + f.width, ax + aw);
    double y0 = std::max(f.y, ay), y1 = std::min(f.bottom(), ay + ah);
    if (x1 <= x0 || y1 <= y0) continue;
    inset(s, x0, y0, x1 - x0, y1 - y0);
  }
}

std::optional<ScreenPoint> X11DisplayTopology::pointerLocation() const { return pointer_; }

void X11DisplayTopology::queryPointer() const {
  pointerInFlight_ = true;
  std::weak_ptr<int> alive = alive_;
  auto cookie = xcb_query_pointer(x_->get(), x_->root());
  x_->onReply(cookie.sequence, [this, alive](void* r) {
    if (alive.expired()) return;
    auto* reply = static_cast<xcb_query_pointer_reply_t*>(r);
    pointerInFlight_ = false;
    if (reply != nullptr) {
      if (reply->same_screen) {
        pointer_ = ScreenPoint{double(reply->root_x), double(reply->root_y)};
      } else {
        pointer_.reset();
      }
    }
    bool tell = inFlightFromMotion_;
    inFlightFromMotion_ = false;
    if (motionWhileInFlight_) {
      motionWhileInFlight_ = false;
      inFlightFromMotion_ = true;
      queryPointer();
    }
    if (tell) moved_.notify();
  });
}

void X11DisplayTopology::lost() {
  screens_.clear();
  online_.clear();
  main_.reset();
  builtIn_.clear();
  pointer_.reset();
  changed_.notify();
}

}  // namespace

std::unique_ptr<DisplayTopology> makeX11DisplayTopology(std::shared_ptr<XConnection> x) {
  if (!x) return nullptr;
  return std::make_unique<X11DisplayTopology>(std::move(x));
}

}  // namespace nuvlet::linux_platform
