#include "platform/linux/capture/PortalScreenCapture.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/Log.h"
#include "platform/linux/capture/PipeWireFrameStream.h"
#include "platform/linux/session/BusConnection.h"
#include "platform/linux/session/GlibThread.h"
#include "platform/linux/session/SessionBusLink.h"

namespace nuvlet::linux_platform {

const char* portalStateName(PortalState state) {
  switch (state) {
    case PortalState::NotAsked:
      return "not asked";
    case PortalState::Idle:
      return "idle";
    case PortalState::Asking:
      return "asked";
    case PortalState::Refused:
      return "refused";
    case PortalState::Connecting:
      return "granted, connecting";
    case PortalState::NoFrameYet:
      return "no frame yet";
    case PortalState::Streaming:
      return "streaming";
    case PortalState::Stopped:
      return "stopped by the desktop";
    case PortalState::OtherMonitor:
      return "another monitor shared";
    case PortalState::Failed:
      return "failed";
  }
  return "?";
}

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr const char* kRequest = "org.freedesktop.portal.Request";
constexpr const char* kSession = "org.freedesktop.portal.Session";
constexpr const char* kPermissionStore = "org.freedesktop.impl.portal.PermissionStore";
constexpr const char* kPermissionStorePath = "/org/freedesktop/impl/portal/PermissionStore";
// The table the portal keeps screen-cast grants in, one entry per restore token.
constexpr const char* kScreencastTable = "screencast";

// A session nobody reads from for this long is closed, so the desktop's "screen is
// being shared" indicator does not stay on while compensation and recording are off.
constexpr double kIdleCloseSeconds = 3;
// Longest a granted stream may take to be linked and agree on a format.
constexpr double kLinkSeconds = 10;

constexpr const char* kAskedOnSwitch =
    "the desktop asks for permission when \"Deruzorar!\" or recording is switched on in the menu";

// A restore token as the portal hands it out: a short printable string. Anything else
// in the file (damage, a stray edit) counts as no token.
std::optional<std::string> readToken(const std::filesystem::path& file) {
  if (file.empty()) return std::nullopt;
  auto text = files::readFile(file, 4096);
  if (!text) return std::nullopt;
  while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
  if (text->empty() || text->size() > 512) return std::nullopt;
  for (unsigned char c : *text) {
    if (c < 0x21 || c > 0x7e) return std::nullopt;
  }
  return text;
}

void storeToken(const std::filesystem::path& file, const std::string& token) {
  if (file.empty()) return;
  if (!files::ensureDirectory(file.parent_path()) ||
      !files::writeAtomically(file, token + "\n", 0600)) {
    log::info("screen capture: could not store the portal's restore token in " + file.string() +
              ": the desktop will ask again next time");
  }
}

void forgetToken(const std::filesystem::path& file) {
  if (file.empty()) return;
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

StoredGrant lookUpGrant(GDBusConnection* bus, const std::string& token, int timeoutMs) {
  GError* error = nullptr;
  GVariant* reply =
      g_dbus_connection_call_sync(bus, kPermissionStore, kPermissionStorePath, kPermissionStore,
                                  "Lookup", g_variant_new("(ss)", kScreencastTable, token.c_str()),
                                  nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
  if (reply != nullptr) {
    g_variant_unref(reply);
    return StoredGrant::Held;
  }
  // Only the store's own "no such entry" says revoked; a store that is absent, slow or
  // broken says nothing about the grant.
  gchar* remote = g_dbus_error_get_remote_error(error);
  const bool gone =
      remote != nullptr && std::string_view(remote) == "org.freedesktop.portal.Error.NotFound";
  g_free(remote);
  g_clear_error(&error);
  return gone ? StoredGrant::Gone : StoredGrant::Unknown;
}

GVariant* lookup(GVariant* dict, const char* key, const GVariantType* type) {
  return dict == nullptr ? nullptr : g_variant_lookup_value(dict, key, type);
}

std::string errorText(const GError* error) {
  return error != nullptr && error->message != nullptr ? error->message : "unknown error";
}

SharedMonitor sharedMonitor(GVariant* props) {
  SharedMonitor monitor;
  std::int32_t x = 0, y = 0;
  if (g_variant_lookup(props, "position", "(ii)", &x, &y)) {
    monitor.position = ScreenPoint{x * 1.0, y * 1.0};
  }
  if (g_variant_lookup(props, "size", "(ii)", &x, &y) && x > 0 && y > 0) {
    monitor.size = ScreenPoint{x * 1.0, y * 1.0};
  }
  return monitor;
}

std::string number(double v) { return std::to_string(static_cast<long long>(v)); }

// "the monitor of W x H at +X+Y", as far as the portal describes it.
std::string describeMonitor(const SharedMonitor& m) {
  if (!m.position && !m.size) return {};
  std::string text = "the monitor";
  if (m.size) text += " of " + number(m.size->x) + "x" + number(m.size->y);
  if (m.position) text += " at +" + number(m.position->x) + "+" + number(m.position->y);
  return text;
}

// Whether the portal's description fits the screen: its position, else its size in
// layout or in device pixels.
bool describes(const SharedMonitor& m, const Screen& screen) {
  const ScreenRect& f = screen.frame;
  if (m.position) return m.position->x == f.x && m.position->y == f.y;
  if (!m.size) return false;
  return (m.size->x == f.width && m.size->y == f.height) ||
         (m.size->x == std::round(f.width * screen.scale) &&
          m.size->y == std::round(f.height * screen.scale));
}

}  // namespace

std::optional<Screen> otherSharedScreen(const SharedMonitor& shared, DisplayID wanted,
                                        const std::vector<Screen>& screens) {
  const auto target =
      std::find_if(screens.begin(), screens.end(), [&](const Screen& s) { return s.id == wanted; });
  if (target == screens.end() || describes(shared, *target)) return std::nullopt;
  for (const Screen& screen : screens) {
    if (screen.id != wanted && describes(shared, screen)) return screen;
  }
  return std::nullopt;
}

namespace {

class PortalCapture final : public PortalScreenCapture {
 public:
  PortalCapture(const Clock& clock, PortalCaptureOptions options)
      : clock_(clock), options_(std::move(options)), backoff_(options_.retrySeconds) {
    status_.tokenStored = readToken(options_.tokenFile).has_value();
    cancellable_ = g_cancellable_new();
    thread_.invoke([this] { startIdleWatch(); });
  }

  ~PortalCapture() override {
    {
      std::lock_guard lock(mutex_);
      stream_.reset();
      ++generation_;
    }
    thread_.stop(
        [this] {
          if (idleWatch_ != nullptr) {
            g_source_destroy(idleWatch_);
            g_source_unref(idleWatch_);
            idleWatch_ = nullptr;
          }
          closeSession();
          if (bus_ != nullptr && responseSubscription_ != 0) {
            g_dbus_connection_signal_unsubscribe(bus_, responseSubscription_);
          }
          g_cancellable_cancel(cancellable_);
        },
        [this] { return callsInFlight_ == 0; });
    if (bus_ != nullptr) {
      g_dbus_connection_flush_sync(bus_, nullptr, nullptr);
      g_object_unref(bus_);
    }
    g_object_unref(cancellable_);
  }

  Result capture(DisplayID display, FrameSink& sink, bool allowUnchanged) override {
    std::unique_lock lock(mutex_);
    lastCapture_ = clock_.monotonic();
    wanted_ = display;
    if (!stream_) {
      maybeStart();
      return Result::Unavailable;
    }
    const Result result = stream_->take(sink);
    const PipeWireStreamStatus s = stream_->status();
    status_.width = s.width;
    status_.height = s.height;
    status_.frames = s.frames;
    // A stream nobody links (no session manager) would wait for ever.
    const bool unlinked = s.state == PipeWireStreamState::Connecting &&
                          clock_.monotonic() - streamOpenedAt_ > kLinkSeconds;
    if (s.state == PipeWireStreamState::Failed || unlinked) {
      stream_.reset();
      const unsigned ended = generation_++;
      thread_.invoke([this, ended] { closeSessionOf(ended); });
      failLocked(unlinked ? "PipeWire: the stream was not linked to the screen's node within " +
                                std::to_string(static_cast<int>(kLinkSeconds)) + " s"
                          : "PipeWire: " + s.problem);
      return Result::Unavailable;
    }
    switch (s.state) {
      case PipeWireStreamState::Streaming:
        setStateLocked(PortalState::Streaming, {});
        backoff_ = options_.retrySeconds;  // a working stream ends a run of failures
        break;
      case PipeWireStreamState::NoFrameYet:
        setStateLocked(PortalState::NoFrameYet, {});
        break;
      default:
        setStateLocked(PortalState::Connecting, {});
        break;
    }
    if (result == Result::Unchanged && !allowUnchanged) return Result::Unavailable;
    return result;
  }

  void allowAsking() override {
    std::lock_guard lock(mutex_);
    mayAsk_ = true;
    backoff_ = options_.retrySeconds;
    nextTry_ = 0;
    if (status_.state == PortalState::Refused || status_.state == PortalState::Stopped ||
        status_.state == PortalState::OtherMonitor) {
      setStateLocked(PortalState::NotAsked, {});
    }
  }

  PortalStatus status() const override {
    std::lock_guard lock(mutex_);
    return status_;
  }

 private:
  // ---- Sampler side (mutex_ held) ----

  void maybeStart() {
    if (busy_) return;
    const PortalState state = status_.state;
    if (state == PortalState::Refused || state == PortalState::Stopped ||
        state == PortalState::OtherMonitor) {
      return;
    }
    const double now = clock_.monotonic();
    if (now < nextTry_) return;
    auto token = readToken(options_.tokenFile);
    status_.tokenStored = token.has_value();
    if (!token && !mayAsk_) {
      // Without a stored permission the desktop would show its dialog: only when the
      // user has just switched sampling on, never on its own at login.
      setStateLocked(PortalState::NotAsked, kAskedOnSwitch);
      nextTry_ = now + options_.retrySeconds;  // the token file is read again then
      return;
    }
    if (!token) mayAsk_ = false;  // one dialog per switch
    busy_ = true;
    ++status_.requests;
    // With a token, the store is asked first whether it still stands for a grant.
    if (!token) setStateLocked(PortalState::Asking, {});
    const unsigned generation = ++generation_;
    thread_.invoke([this, token = std::move(token), generation] { begin(token, generation); });
  }

  void setStateLocked(PortalState state, std::string problem) {
    if (state == status_.state && problem == status_.problem) return;
    status_.state = state;
    status_.problem = std::move(problem);
    std::string line = std::string("screen capture (portal): ") + portalStateName(state);
    if (!status_.problem.empty()) line += ": " + status_.problem;
    // The states that wait for the user are worth a line without -v.
    const bool waitsForUser = state == PortalState::NotAsked || state == PortalState::Refused ||
                              state == PortalState::Stopped || state == PortalState::OtherMonitor;
    if (waitsForUser) {
      log::info(line);
    } else {
      log::debug(line);
    }
  }

  void failLocked(std::string problem) {
    busy_ = false;
    nextTry_ = clock_.monotonic() + backoff_;
    backoff_ = std::min(backoff_ * 2, options_.maxRetrySeconds);
    setStateLocked(PortalState::Failed, std::move(problem));
  }

  // ---- Portal thread ----

  bool current(unsigned generation) {
    std::lock_guard lock(mutex_);
    return generation == generation_;
  }

  void fail(unsigned generation, std::string problem) {
    closeSessionOf(generation);
    std::lock_guard lock(mutex_);
    if (generation == generation_) failLocked(std::move(problem));
  }

  void refused(unsigned generation, bool withToken) {
    closeSessionOf(generation);
    // A stored token that still brought up a dialog no longer restores anything.
    if (withToken) forgetToken(options_.tokenFile);
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    busy_ = false;
    mayAsk_ = false;
    status_.tokenStored = readToken(options_.tokenFile).has_value();
    setStateLocked(PortalState::Refused,
                   "the request was cancelled; switch \"Deruzorar!\" on again to be asked again");
  }

  // The user revoked the grant the token stood for: it is forgotten, and the session
  // goes on without it (asking) only when the user has just switched sampling on.
  bool dropRevoked(unsigned generation) {
    forgetToken(options_.tokenFile);
    std::lock_guard lock(mutex_);
    if (generation != generation_) return false;
    status_.tokenStored = false;
    log::info(
        "screen capture (portal): the desktop no longer holds the permission it gave "
        "(revoked): forgotten");
    if (mayAsk_) {
      mayAsk_ = false;  // this is the switch's one dialog
      return true;
    }
    busy_ = false;
    --status_.requests;
    nextTry_ = clock_.monotonic() + options_.retrySeconds;
    setStateLocked(PortalState::NotAsked, kAskedOnSwitch);
    return false;
  }

  bool ensureBus(std::string& problem) {
    if (bus_ != nullptr && !g_dbus_connection_is_closed(bus_)) return true;
    if (bus_ != nullptr) {
      g_object_unref(bus_);
      bus_ = nullptr;
      responseSubscription_ = 0;
    }
    const std::string address =
        options_.busAddress.empty() ? sessionBusAddress() : options_.busAddress;
    if (address.empty()) {
      problem = "no session bus";
      return false;
    }
    GError* error = nullptr;
    bus_ = connectToBus(address.c_str(), cancellable_, &error);
    if (bus_ == nullptr) {
      problem = "session bus: " + errorText(error);
      g_clear_error(&error);
      return false;
    }
    g_dbus_connection_set_exit_on_close(bus_, FALSE);
    // One subscription for every request's answer; each is matched by its path.
    responseSubscription_ = g_dbus_connection_signal_subscribe(
        bus_, kPortalName, kRequest, "Response", nullptr, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &PortalCapture::onResponse, this, nullptr);
    // Request paths are made of our unique name: ":1.42" gives "1_42".
    std::string sender = g_dbus_connection_get_unique_name(bus_);
    if (!sender.empty() && sender[0] == ':') sender.erase(0, 1);
    std::replace(sender.begin(), sender.end(), '.', '_');
    requestPrefix_ = std::string(kPortalPath) + "/request/" + sender + "/";
    return true;
  }

  void begin(std::optional<std::string> token, unsigned generation) {
    if (!current(generation)) return;
    std::string problem;
    if (!ensureBus(problem)) return fail(generation, problem);
    if (token && lookUpGrant(bus_, *token, 2000) == StoredGrant::Gone) {
      if (!dropRevoked(generation)) return;
      token.reset();
    }
    {
      std::lock_guard lock(mutex_);
      if (generation != generation_) return;
      setStateLocked(PortalState::Asking, {});
    }
    call(
        kPortalPath, "org.freedesktop.DBus.Properties", "GetAll", g_variant_new("(s)", kScreenCast),
        G_VARIANT_TYPE("(a{sv})"), [this, token, generation](GVariant* reply, GError* error) {
          if (reply == nullptr) {
            return fail(generation, "the desktop portal offers no ScreenCast: " + errorText(error));
          }
          GVariant* props = g_variant_get_child_value(reply, 0);
          std::uint32_t version = 0, cursorModes = 0;
          g_variant_lookup(props, "version", "u", &version);
          g_variant_lookup(props, "AvailableCursorModes", "u", &cursorModes);
          g_variant_unref(props);
          if (version == 0) return fail(generation, "the desktop portal offers no ScreenCast");
          {
            std::lock_guard lock(mutex_);
            status_.version = version;
          }
          createSession(token, version, cursorModes, generation);
        });
  }

  void createSession(std::optional<std::string> token, std::uint32_t version,
                     std::uint32_t cursorModes, unsigned generation) {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "session_handle_token",
                          g_variant_new_string(("nuvlet" + std::to_string(++tokens_)).c_str()));
    request("CreateSession", nullptr, &options, generation,
            [=, this](std::uint32_t code, GVariant* results) {
              if (code != 0) return answered(code, "CreateSession", generation, false);
              const char* handle = nullptr;
              if (!g_variant_lookup(results, "session_handle", "&s", &handle) &&
                  !g_variant_lookup(results, "session_handle", "&o", &handle)) {
                return fail(generation, "the portal gave no session");
              }
              openedSession(handle, generation);
              selectSources(token, version, cursorModes, generation);
            });
  }

  void selectSources(std::optional<std::string> token, std::uint32_t version,
                     std::uint32_t cursorModes, unsigned generation) {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "types", g_variant_new_uint32(1));  // monitors
    g_variant_builder_add(&options, "{sv}", "multiple", g_variant_new_boolean(FALSE));
    // The pointer over a white page is no part of the page's light.
    if ((cursorModes & 1) != 0) {
      g_variant_builder_add(&options, "{sv}", "cursor_mode", g_variant_new_uint32(1));
    }
    // Restore tokens came with version 4; older portals ask every time.
    const bool persists = version >= 4;
    if (persists) {
      g_variant_builder_add(&options, "{sv}", "persist_mode", g_variant_new_uint32(2));
      if (token) {
        g_variant_builder_add(&options, "{sv}", "restore_token",
                              g_variant_new_string(token->c_str()));
      }
    }
    const bool withToken = persists && token.has_value();
    request("SelectSources", session_.c_str(), &options, generation,
            [=, this](std::uint32_t code, GVariant*) {
              if (code != 0) return answered(code, "SelectSources", generation, withToken);
              start(withToken, generation);
            });
  }

  void start(bool withToken, unsigned generation) {
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    request("Start", session_.c_str(), &options, generation,
            [=, this](std::uint32_t code, GVariant* results) {
              if (code != 0) return answered(code, "Start", generation, withToken);
              if (sharesOtherMonitor(results, generation)) return;
              // A restore token is good for one session: keep the new one.
              const char* restore = nullptr;
              if (g_variant_lookup(results, "restore_token", "&s", &restore) &&
                  restore != nullptr && readToken(options_.tokenFile) != std::string(restore)) {
                storeToken(options_.tokenFile, restore);
              }
              std::uint32_t node = 0;
              bool found = false;
              std::string monitor;
              if (GVariant* streams = lookup(results, "streams", G_VARIANT_TYPE("a(ua{sv})"))) {
                if (g_variant_n_children(streams) > 0) {
                  GVariant* props = nullptr;
                  g_variant_get_child(streams, 0, "(u@a{sv})", &node, &props);
                  monitor = describeMonitor(sharedMonitor(props));
                  g_variant_unref(props);
                  found = true;
                }
                g_variant_unref(streams);
              }
              if (!found) return fail(generation, "the portal started a session without a stream");
              {
                // The user picked the monitor in the desktop's dialog: say which it is.
                std::lock_guard lock(mutex_);
                status_.monitor = monitor;
              }
              if (!monitor.empty()) log::debug("screen capture (portal): sharing " + monitor);
              openRemote(node, generation);
            });
  }

  // The user shared another monitor than the one compensation follows: its light says
  // nothing about that display. The session ends, and its token goes with it (it would
  // restore the same monitor), so the user's next switch brings up the dialog to choose.
  bool sharesOtherMonitor(GVariant* results, unsigned generation) {
    if (!options_.screens) return false;
    GVariant* streams = lookup(results, "streams", G_VARIANT_TYPE("a(ua{sv})"));
    if (streams == nullptr) return false;
    SharedMonitor shared;
    if (g_variant_n_children(streams) > 0) {
      GVariant* props = nullptr;
      g_variant_get_child(streams, 0, "(u@a{sv})", nullptr, &props);
      shared = sharedMonitor(props);
      g_variant_unref(props);
    }
    g_variant_unref(streams);
    std::optional<DisplayID> wanted;
    {
      std::lock_guard lock(mutex_);
      wanted = wanted_;
    }
    if (!wanted) return false;
    const auto screens = options_.screens();
    const auto other = otherSharedScreen(shared, *wanted, screens);
    if (!other) return false;
    const auto target = std::find_if(screens.begin(), screens.end(),
                                     [&](const Screen& s) { return s.id == wanted; });
    const std::string name = target->name.empty() ? std::string("the display") : target->name;
    std::string why = "the desktop shares " +
                      (other->name.empty() ? "another monitor" : other->name) + " (" +
                      describeMonitor(shared) + "), not " + name +
                      (target->builtIn ? ", the built-in panel" : "") +
                      ": compensation does not read it; switch \"Deruzorar!\" off and on and "
                      "pick " +
                      name + " in the desktop's dialog";
    closeSessionOf(generation);
    forgetToken(options_.tokenFile);
    std::lock_guard lock(mutex_);
    if (generation != generation_) return true;
    ++generation_;
    busy_ = false;
    mayAsk_ = false;
    status_.tokenStored = false;
    status_.monitor = describeMonitor(shared);
    setStateLocked(PortalState::OtherMonitor, std::move(why));
    return true;
  }

  void openRemote(std::uint32_t node, unsigned generation) {
    ++callsInFlight_;
    auto* context = new FdCall{this, node, generation};
    g_dbus_connection_call_with_unix_fd_list(
        bus_, kPortalName, kPortalPath, kScreenCast, "OpenPipeWireRemote",
        g_variant_new("(o@a{sv})", session_.c_str(),
                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, cancellable_,
        &PortalCapture::remoteOpened, context);
  }

  struct FdCall {
    PortalCapture* self;
    std::uint32_t node;
    unsigned generation;
  };

  static void remoteOpened(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<FdCall> c(static_cast<FdCall*>(data));
    PortalCapture* self = c->self;
    --self->callsInFlight_;
    GUnixFDList* fds = nullptr;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source),
                                                                      &fds, result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      g_error_free(error);
      return;
    }
    int fd = -1;
    if (reply != nullptr) {
      gint32 index = -1;
      g_variant_get(reply, "(h)", &index);
      if (fds != nullptr) fd = g_unix_fd_list_get(fds, index, nullptr);
      g_variant_unref(reply);
    }
    if (fds != nullptr) g_object_unref(fds);
    if (fd < 0) {
      self->fail(c->generation, "the portal gave no PipeWire connection: " + errorText(error));
      g_clear_error(&error);
      return;
    }
    std::lock_guard lock(self->mutex_);
    if (c->generation != self->generation_) {
      ::close(fd);
      return;
    }
    PipeWireStreamOptions streamOptions;
    streamOptions.maxFramesPerSecond = self->options_.maxFramesPerSecond;
    self->stream_ = openPipeWireFrameStream(fd, c->node, streamOptions);
    self->streamOpenedAt_ = self->clock_.monotonic();
    self->busy_ = false;
    self->status_.node = c->node;
    self->status_.tokenStored = readToken(self->options_.tokenFile).has_value();
    self->setStateLocked(PortalState::Connecting, {});
  }

  // A request ended with code 1 (cancelled by the user) or anything else (failed).
  void answered(std::uint32_t code, const char* step, unsigned generation, bool withToken) {
    if (code == 1) return refused(generation, withToken);
    fail(generation, std::string(step) + " failed (portal answer " + std::to_string(code) + ")");
  }

  // ---- Requests: a method whose answer comes later as a Response signal ----

  using Answer = std::function<void(std::uint32_t code, GVariant* results)>;

  struct Pending {
    unsigned generation;
    Answer answer;
  };

  void request(const char* method, const char* session, GVariantBuilder* options,
               unsigned generation, Answer answer) {
    const std::string handleToken = "nuvlet" + std::to_string(++tokens_);
    const std::string path = requestPrefix_ + handleToken;
    g_variant_builder_add(options, "{sv}", "handle_token",
                          g_variant_new_string(handleToken.c_str()));
    GVariant* params = nullptr;
    if (session == nullptr) {
      params = g_variant_new("(a{sv})", options);
    } else if (std::string_view(method) == "Start") {
      params = g_variant_new("(osa{sv})", session, "", options);  // no parent window
    } else {
      params = g_variant_new("(oa{sv})", session, options);
    }
    pending_[path] = Pending{generation, std::move(answer)};
    call(kPortalPath, kScreenCast, method, params, G_VARIANT_TYPE("(o)"),
         [this, path, generation, method = std::string(method)](GVariant* reply, GError* error) {
           if (reply == nullptr) {
             pending_.erase(path);
             return fail(generation, method + ": " + errorText(error));
           }
           // Portals before 0.9 chose the request path themselves.
           const char* actual = nullptr;
           g_variant_get(reply, "(&o)", &actual);
           if (actual != nullptr && path != actual) {
             auto it = pending_.find(path);
             if (it != pending_.end()) {
               pending_[actual] = std::move(it->second);
               pending_.erase(path);
             }
           }
         });
  }

  static void onResponse(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                         const gchar*, GVariant* parameters, gpointer data) {
    auto* self = static_cast<PortalCapture*>(data);
    auto it = self->pending_.find(path);
    if (it == self->pending_.end()) return;
    Pending pending = std::move(it->second);
    self->pending_.erase(it);
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
      return self->fail(pending.generation, "the portal answered in an unknown form");
    }
    if (!self->current(pending.generation)) return;
    std::uint32_t code = 2;
    GVariant* results = nullptr;
    g_variant_get(parameters, "(u@a{sv})", &code, &results);
    pending.answer(code, results);
    g_variant_unref(results);
  }

  using Reply = std::function<void(GVariant* reply, GError* error)>;

  void call(const char* path, const char* interface, const char* method, GVariant* params,
            const GVariantType* replyType, Reply done) {
    ++callsInFlight_;
    auto* context = new std::pair<PortalCapture*, Reply>(this, std::move(done));
    g_dbus_connection_call(
        bus_, kPortalName, path, interface, method, params, replyType, G_DBUS_CALL_FLAGS_NONE, -1,
        cancellable_,
        [](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<std::pair<PortalCapture*, Reply>> c(
              static_cast<std::pair<PortalCapture*, Reply>*>(data));
          --c->first->callsInFlight_;
          GError* error = nullptr;
          GVariant* reply =
              g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
          if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) c->second(reply, error);
          if (reply != nullptr) g_variant_unref(reply);
          g_clear_error(&error);
        },
        context);
  }

  // ---- The session ----

  void openedSession(const char* handle, unsigned generation) {
    session_ = handle;
    sessionGeneration_ = generation;
    closedSubscription_ = g_dbus_connection_signal_subscribe(
        bus_, kPortalName, kSession, "Closed", handle, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
        &PortalCapture::onSessionClosed, this, nullptr);
  }

  static void onSessionClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                              const gchar*, GVariant*, gpointer data) {
    auto* self = static_cast<PortalCapture*>(data);
    const unsigned generation = self->sessionGeneration_;
    self->forgetSession();
    std::lock_guard lock(self->mutex_);
    if (generation != self->generation_) return;
    self->stream_.reset();
    ++self->generation_;
    self->busy_ = false;
    self->setStateLocked(PortalState::Stopped,
                         "the desktop ended the screen sharing (stopped from its indicator, or "
                         "the permission was revoked); switch \"Deruzorar!\" on again to resume");
  }

  void closeSessionOf(unsigned generation) {
    if (sessionGeneration_ == generation) closeSession();
  }

  // Closes the portal's session (the desktop's sharing indicator goes) and forgets any
  // request still waiting for an answer.
  void closeSession() {
    for (auto& [path, pending] : pending_) {
      if (bus_ == nullptr) break;
      g_dbus_connection_call(bus_, kPortalName, path.c_str(), kRequest, "Close", nullptr, nullptr,
                             G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    }
    pending_.clear();
    if (session_.empty() || bus_ == nullptr) return;
    g_dbus_connection_call(bus_, kPortalName, session_.c_str(), kSession, "Close", nullptr, nullptr,
                           G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr, nullptr);
    forgetSession();
  }

  void forgetSession() {
    if (closedSubscription_ != 0 && bus_ != nullptr) {
      g_dbus_connection_signal_unsubscribe(bus_, closedSubscription_);
    }
    closedSubscription_ = 0;
    session_.clear();
    sessionGeneration_ = 0;
  }

  void startIdleWatch() {
    idleWatch_ = g_timeout_source_new(1000);
    g_source_set_callback(
        idleWatch_,
        [](gpointer data) -> gboolean {
          static_cast<PortalCapture*>(data)->closeIfIdle();
          return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(idleWatch_, g_main_context_get_thread_default());
  }

  void closeIfIdle() {
    unsigned ended = 0;
    {
      std::lock_guard lock(mutex_);
      if (!stream_ || clock_.monotonic() - lastCapture_ < kIdleCloseSeconds) return;
      stream_.reset();
      ended = generation_++;
      setStateLocked(PortalState::Idle, "nothing reads the screen");
    }
    closeSessionOf(ended);
  }

  const Clock& clock_;
  const PortalCaptureOptions options_;

  // Shared by the sampler's thread and the portal thread.
  mutable std::mutex mutex_;
  PortalStatus status_;
  std::unique_ptr<PipeWireFrameStream> stream_;
  unsigned generation_ = 0;  // bumped whenever a session is given up
  bool busy_ = false;        // a session is being set up
  bool mayAsk_ = false;
  double nextTry_ = 0;
  double backoff_;
  double lastCapture_ = 0;
  double streamOpenedAt_ = 0;
  std::optional<DisplayID> wanted_;  // the display the sampler asks for

  // Portal thread only.
  GDBusConnection* bus_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  guint responseSubscription_ = 0;
  guint closedSubscription_ = 0;
  std::string requestPrefix_;
  std::string session_;
  unsigned sessionGeneration_ = 0;
  std::map<std::string, Pending> pending_;
  unsigned tokens_ = 0;
  int callsInFlight_ = 0;
  GSource* idleWatch_ = nullptr;

  GlibThread thread_;  // last: it starts running once everything above exists
};

}  // namespace

std::unique_ptr<PortalScreenCapture> makePortalScreenCapture(const Clock& clock,
                                                             PortalCaptureOptions options) {
  return std::make_unique<PortalCapture>(clock, std::move(options));
}

StoredGrant storedScreencastGrant(const std::string& busAddress, const std::string& token,
                                  double timeoutSeconds) {
  const std::string address = busAddress.empty() ? sessionBusAddress() : busAddress;
  if (address.empty()) return StoredGrant::Unknown;
  GDBusConnection* bus = connectToBus(address.c_str(), nullptr, nullptr);
  if (bus == nullptr) return StoredGrant::Unknown;
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  const StoredGrant grant = lookUpGrant(bus, token, static_cast<int>(timeoutSeconds * 1000));
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return grant;
}

bool forgetRevokedPortalToken(const std::filesystem::path& tokenFile,
                              const std::string& busAddress) {
  const auto token = readToken(tokenFile);
  if (!token || storedScreencastGrant(busAddress, *token) != StoredGrant::Gone) return false;
  forgetToken(tokenFile);
  return true;
}

std::uint32_t portalScreenCastVersion(const std::string& busAddress, double timeoutSeconds) {
  const std::string address = busAddress.empty() ? sessionBusAddress() : busAddress;
  if (address.empty()) return 0;
  GError* error = nullptr;
  GDBusConnection* bus = connectToBus(address.c_str(), nullptr, &error);
  if (bus == nullptr) {
    g_clear_error(&error);
    return 0;
  }
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  GVariant* reply = g_dbus_connection_call_sync(
      bus, kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", kScreenCast, "version"), G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE,
      static_cast<int>(timeoutSeconds * 1000), nullptr, &error);
  std::uint32_t version = 0;
  if (reply != nullptr) {
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    if (g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32)) version = g_variant_get_uint32(value);
    g_variant_unref(value);
    g_variant_unref(reply);
  }
  g_clear_error(&error);
  g_dbus_connection_close_sync(bus, nullptr, nullptr);
  g_object_unref(bus);
  return version;
}

}  // namespace nuvlet::linux_platform
