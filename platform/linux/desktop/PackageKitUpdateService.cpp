#include "platform/linux/desktop/PackageKitUpdateService.h"

#include <cmath>
#include <utility>
#include <vector>

#include "nuvlet/platform/Log.h"
#include "platform/linux/session/BusConnection.h"
#include "platform/linux/session/GlibThread.h"

namespace nuvlet::linux_platform {
namespace {

constexpr const char* kName = "org.freedesktop.PackageKit";
constexpr const char* kPath = "/org/freedesktop/PackageKit";
constexpr const char* kTransaction = "org.freedesktop.PackageKit.Transaction";
constexpr const char* kSettingKey = "automaticallyChecksForUpdates";

// PackageKit's enumerations, as bitfields (1 << value) where it takes a bitfield.
constexpr guint64 kFilterNone = 1u << 1;
constexpr guint64 kOnlyTrusted = 1u << 1;
constexpr guint32 kExitSuccess = 1;
constexpr guint32 kExitCancelled = 3;
constexpr guint32 kExitNeedUntrusted = 8;
constexpr guint32 kInfoBlocked = 9;
constexpr guint32 kErrorNotAuthorized = 48;

using Kind = UpdateOutcome::Kind;

// "name;version;arch;data"
struct PackageId {
  std::string id, name, version;
};
std::optional<PackageId> parsePackageId(const std::string& id) {
  const auto a = id.find(';');
  const auto b = a == std::string::npos ? a : id.find(';', a + 1);
  if (b == std::string::npos) return std::nullopt;
  return PackageId{id, id.substr(0, a), id.substr(a + 1, b - a - 1)};
}

std::string remoteError(const GError* error) {
  if (error == nullptr) return "unknown error";
  gchar* remote = g_dbus_error_get_remote_error(error);
  std::string name = remote != nullptr ? remote : "";
  g_free(remote);
  return name;
}

std::string errorText(const GError* error) {
  if (error == nullptr) return "unknown error";
  GError* copy = g_error_copy(error);
  g_dbus_error_strip_remote_error(copy);
  std::string text = copy->message;
  g_error_free(copy);
  return text;
}

std::string describeOutcome(const UpdateOutcome& o) {
  switch (o.kind) {
    case Kind::UpToDate:
      return "up to date";
    case Kind::Installed:
      return "version " + o.version + " installed; restarting into it";
    case Kind::Available:
      return "version " + o.version + " is available (" + o.detail + ")";
    default:
      return o.detail;
  }
}

class PackageKitUpdateService final : public UpdateService {
 public:
  PackageKitUpdateService(RunLoop& loop, PackageKitOptions options)
      : loop_(loop), options_(std::move(options)) {}

  ~PackageKitUpdateService() override {
    for (auto id : {firstTimer_, dailyTimer_}) {
      if (id != 0) loop_.cancel(id);
    }
    if (threadStarted_) {
      bus_.stop([this] { finish(); }, [this] { return pending_ == 0; });
    }
    if (connection_ != nullptr) g_object_unref(connection_);
    g_object_unref(cancellable_);
  }
  PackageKitUpdateService(const PackageKitUpdateService&) = delete;
  PackageKitUpdateService& operator=(const PackageKitUpdateService&) = delete;

  void start(ReadyAtQuit readyAtQuit) override {
    readyAtQuit_ = std::move(readyAtQuit);
    if (!options_.package) {
      sayOnce(notFromPackage());
      return;
    }
    if (!options_.automatic) return;
    sayOnce(describe());
    firstTimer_ = loop_.scheduleAfter(options_.firstCheckDelay, [this] {
      firstTimer_ = 0;
      automaticCheck();
      dailyTimer_ = loop_.scheduleRepeating(options_.checkInterval, [this] { automaticCheck(); });
    });
  }

  void checkForUpdates() override { runCheck(false); }

  std::string describe() const override {
    if (!options_.package) return notFromPackage();
    const auto& p = *options_.package;
    std::string text = p.name + " " + p.version + " from its package, updated through PackageKit";
    if (options_.automatic) {
      text += automaticOn()
                  ? "; checked at launch and daily"
                  : "; automatic checks are off (\"automaticallyChecksForUpdates\": false)";
    }
    if (lastOutcome_) text += "; last check: " + describeOutcome(*lastOutcome_);
    return text;
  }

 private:
  // Main thread.

  bool automaticOn() const {
    return options_.defaults == nullptr || options_.defaults->boolOr(kSettingKey, true);
  }

  std::string notFromPackage() const {
    return "not installed from a package (" + runningBinary().string() +
           " was built or installed by hand): updates are not checked";
  }

  void sayOnce(const std::string& text, bool always = false) {
    if (text == lastSaid_) return;
    lastSaid_ = text;
    if (always) {
      log::info("updates: " + text);
    } else {
      log::debug("updates: " + text);
    }
  }

  void automaticCheck() {
    if (!automaticOn()) {
      sayOnce(describe());
      return;
    }
    runCheck(true);
  }

  void runCheck(bool automatic) {
    if (!options_.package) {
      ended(UpdateOutcome{Kind::NotFromPackage, notFromPackage(), ""});
      return;
    }
    if (busy_) {
      log::debug("updates: a check is already running; this one is dropped");
      return;
    }
    busy_ = true;
    automatic_ = automatic;
    threadStarted_ = true;
    bus_.invoke([this, automatic] { beginCheck(automatic); });
  }

  // The check found a newer version of our package.
  void found(const PackageId& update) {
    if (automatic_ && update.version == declinedVersion_) {
      ended({Kind::Available, "installing it was not authorised before", update.version});
      return;
    }
    bool taken = false;
    if (readyAtQuit_) {
      taken = readyAtQuit_([this, update] { bus_.invoke([this, update] { install(update); }); });
    }
    if (!taken) ended({Kind::Available, "not installed", update.version});
  }

  void ended(const UpdateOutcome& outcome) {
    busy_ = false;
    lastOutcome_ = outcome;
    if (outcome.kind == Kind::Declined) declinedVersion_ = outcome.version;
    sayOnce(describeOutcome(outcome), outcome.kind == Kind::Installed);
    if (options_.onOutcome) options_.onOutcome(outcome);
    if (outcome.kind == Kind::Installed && options_.onRestartRequested) {
      InstalledPackage updated = *options_.package;
      updated.version = outcome.version;
      options_.onRestartRequested(updated);
    }
  }

  // Hands a result to the main thread; dropped when the service is gone by then.
  void toMain(std::function<void(PackageKitUpdateService&)> fn) {
    std::weak_ptr<int> weak = alive_;
    loop_.post([weak, this, fn = std::move(fn)] {
      if (weak.lock()) fn(*this);
    });
  }

  // Bus thread from here on.

  enum class Step { Refresh, Query, Install };
  struct Transaction {
    Transaction(Step s, std::string w, std::string v = "")
        : step(s), what(std::move(w)), version(std::move(v)) {}
    Step step;
    std::string what;     // for people
    std::string version;  // Install: the version being installed
    std::string path;
    guint signals = 0;
    GSource* timeout = nullptr;
    std::vector<PackageId> updates;
    std::optional<std::pair<guint32, std::string>> error;
    unsigned generation = 0;
  };

  void endCheck(UpdateOutcome outcome) {
    toMain([outcome = std::move(outcome)](PackageKitUpdateService& self) { self.ended(outcome); });
  }

  bool connect() {
    if (connection_ != nullptr && g_dbus_connection_is_closed(connection_)) {
      g_object_unref(connection_);
      connection_ = nullptr;
      ownerSignal_ = 0;
    }
    if (connection_ != nullptr) return true;
    GError* error = nullptr;
    gchar* address = options_.bus
                         ? g_strdup(options_.bus->c_str())
                         : g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    if (address != nullptr) {
      connection_ = connectToBus(address, cancellable_, &error);
      g_free(address);
    }
    if (connection_ == nullptr) {
      endCheck({Kind::Unavailable,
                std::string("no system bus: ") + (error != nullptr ? error->message : "?"), ""});
      g_clear_error(&error);
      return false;
    }
    ++pending_;
    ownerSignal_ = g_dbus_connection_signal_subscribe(
        connection_, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
        "/org/freedesktop/DBus", kName, G_DBUS_SIGNAL_FLAGS_NONE,
        &PackageKitUpdateService::onOwnerChanged, this, &PackageKitUpdateService::settle);
    return true;
  }

  void beginCheck(bool automatic) {
    if (!connect()) return;
    hints_ = {"locale=C", automatic ? "background=true" : "background=false",
              automatic ? "interactive=false" : "interactive=true"};
    begin(Transaction(Step::Refresh, "refreshing the package lists"), "RefreshCache",
          g_variant_new("(b)", FALSE));
  }

  void install(const PackageId& update) {
    if (!connect()) return;
    // Installing asks for authorisation, so it is interactive even after a background check.
    hints_ = {"locale=C", "background=false", "interactive=true"};
    const gchar* ids[] = {update.id.c_str(), nullptr};
    begin(Transaction(Step::Install, "installing " + update.name + " " + update.version,
                      update.version),
          "UpdatePackages", g_variant_new("(t^as)", kOnlyTrusted, ids));
  }

  // Starts a transaction: create it, listen to it, set its hints, run `method`. The
  // deadline covers all of it, creation included (a daemon that never answers).
  void begin(Transaction t, const char* method, GVariant* parameters) {
    txn_ = std::move(t);
    method_ = method;
    parameters_ = g_variant_ref_sink(parameters);
    txn_->timeout =
        g_timeout_source_new(static_cast<guint>(std::lround(options_.transactionTimeout * 1000)));
    g_source_set_callback(txn_->timeout, &PackageKitUpdateService::onTimeout, this, nullptr);
    g_source_attach(txn_->timeout, g_main_context_get_thread_default());
    txn_->generation = ++generation_;
    ++pending_;
    g_dbus_connection_call(connection_, kName, kPath, kName, "CreateTransaction", nullptr,
                           G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
                           &PackageKitUpdateService::onCreated, new Reply{this, generation_});
  }

  // An answer belongs to the transaction that asked, which may since have timed out.
  struct Reply {
    PackageKitUpdateService* self;
    unsigned generation;
    bool current() const { return self->txn_ && self->txn_->generation == generation; }
  };

  static void onCreated(GObject* source, GAsyncResult* result, gpointer p) {
    const Reply r = *static_cast<Reply*>(p);
    delete static_cast<Reply*>(p);
    auto* self = r.self;
    --self->pending_;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply == nullptr) {
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) && r.current()) {
        const std::string name = remoteError(error);
        const bool absent = name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
                            name == "org.freedesktop.DBus.Error.NameHasNoOwner";
        self->fail(absent ? Kind::Unavailable : Kind::Failed,
                   (absent ? "PackageKit is not available: " : "PackageKit: ") + errorText(error));
      }
      g_clear_error(&error);
      return;
    }
    if (!r.current()) {
      g_variant_unref(reply);
      return;
    }
    const gchar* path = nullptr;
    g_variant_get(reply, "(&o)", &path);
    self->txn_->path = path;
    g_variant_unref(reply);
    self->listen();
  }

  void listen() {
    ++pending_;
    txn_->signals = g_dbus_connection_signal_subscribe(
        connection_, kName, kTransaction, nullptr, txn_->path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, &PackageKitUpdateService::onSignal, this,
        &PackageKitUpdateService::settle);
    std::vector<const gchar*> hints;
    for (const auto& h : hints_) hints.push_back(h.c_str());
    hints.push_back(nullptr);
    ++pending_;
    g_dbus_connection_call(connection_, kName, txn_->path.c_str(), kTransaction, "SetHints",
                           g_variant_new("(^as)", hints.data()), nullptr, G_DBUS_CALL_FLAGS_NONE,
                           -1, cancellable_, &PackageKitUpdateService::onIgnoredReply, this);
    ++pending_;
    g_dbus_connection_call(connection_, kName, txn_->path.c_str(), kTransaction, method_.c_str(),
                           parameters_, nullptr, G_DBUS_CALL_FLAGS_NONE, -1, cancellable_,
                           &PackageKitUpdateService::onMethodReply,
                           new Reply{this, txn_->generation});
  }

  static void onIgnoredReply(GObject* source, GAsyncResult* result, gpointer p) {
    --static_cast<PackageKitUpdateService*>(p)->pending_;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
    if (reply != nullptr) g_variant_unref(reply);
  }

  // The method itself was refused (the transaction then never runs).
  static void onMethodReply(GObject* source, GAsyncResult* result, gpointer p) {
    const Reply r = *static_cast<Reply*>(p);
    delete static_cast<Reply*>(p);
    auto* self = r.self;
    --self->pending_;
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (reply != nullptr) g_variant_unref(reply);
    if (error == nullptr) return;
    if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) && r.current()) {
      const std::string name = remoteError(error);
      const bool refused = name.find("RefusedByPolicy") != std::string::npos ||
                           name.find("NotAuthorized") != std::string::npos ||
                           name == "org.freedesktop.DBus.Error.AccessDenied";
      self->fail(refused ? Kind::Declined : Kind::Failed,
                 (refused ? "not authorised: " : "PackageKit: ") + errorText(error));
    }
    g_clear_error(&error);
  }

  static void onSignal(GDBusConnection*, const gchar*, const gchar* path, const gchar*,
                       const gchar* member, GVariant* parameters, gpointer p) {
    auto* self = static_cast<PackageKitUpdateService*>(p);
    if (!self->txn_ || self->txn_->path != path) return;
    const std::string signal = member;
    if (signal == "Package" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uss)"))) {
      guint32 info = 0;
      const gchar* id = nullptr;
      g_variant_get(parameters, "(u&s&s)", &info, &id, nullptr);
      auto parsed = parsePackageId(id);
      if (parsed && parsed->name == self->options_.package->name && info != kInfoBlocked) {
        self->txn_->updates.push_back(*parsed);
      }
    } else if (signal == "ErrorCode" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(us)"))) {
      guint32 code = 0;
      const gchar* details = nullptr;
      g_variant_get(parameters, "(u&s)", &code, &details);
      self->txn_->error = std::make_pair(code, std::string(details));
    } else if (signal == "Finished" && g_variant_is_of_type(parameters, G_VARIANT_TYPE("(uu)"))) {
      guint32 exit = 0;
      g_variant_get(parameters, "(uu)", &exit, nullptr);
      self->finished(exit);
    }
  }

  void finished(guint32 exit) {
    Transaction t = close();
    if (exit != kExitSuccess) {
      std::string detail;
      Kind kind = Kind::Failed;
      if (t.error && t.error->first == kErrorNotAuthorized) {
        kind = Kind::Declined;
        detail = "not authorised: " + t.error->second;
      } else if (t.error) {
        detail = "PackageKit: " + t.error->second + " (error " + std::to_string(t.error->first) +
                 ", while " + t.what + ")";
      } else if (exit == kExitNeedUntrusted) {
        detail = "PackageKit: the update is not signed by a trusted key (while " + t.what + ")";
      } else if (exit == kExitCancelled) {
        detail = "PackageKit: cancelled while " + t.what;
      } else {
        detail = "PackageKit: " + t.what + " failed (exit " + std::to_string(exit) + ")";
      }
      endCheck({kind, detail, t.version});
      return;
    }
    switch (t.step) {
      case Step::Refresh:
        begin(Transaction(Step::Query, "asking for updates"), "GetUpdates",
              g_variant_new("(t)", kFilterNone));
        return;
      case Step::Query:
        if (t.updates.empty()) {
          auto now = findInstalledPackage(options_.package->binary, options_.dpkgAdminDir,
                                          options_.package->name);
          if (now && now->version != options_.package->version) {
            endCheck({Kind::Installed, "installed by other means", now->version});
          } else {
            endCheck({Kind::UpToDate, "", ""});
          }
        } else {
          toMain(
              [update = t.updates.back()](PackageKitUpdateService& self) { self.found(update); });
        }
        return;
      case Step::Install:
        endCheck({Kind::Installed, "", t.version});
        return;
    }
  }

  void fail(Kind kind, std::string detail) {
    Transaction t = close();
    endCheck({kind, std::move(detail), t.version});
  }

  // Stops listening to the current transaction and forgets it.
  Transaction close() {
    Transaction t = std::move(*txn_);
    txn_.reset();
    if (t.signals != 0) g_dbus_connection_signal_unsubscribe(connection_, t.signals);
    if (t.timeout != nullptr) {
      g_source_destroy(t.timeout);
      g_source_unref(t.timeout);
    }
    if (parameters_ != nullptr) g_variant_unref(parameters_);
    parameters_ = nullptr;
    return t;
  }

  static gboolean onTimeout(gpointer p) {
    auto* self = static_cast<PackageKitUpdateService*>(p);
    if (!self->txn_) return G_SOURCE_REMOVE;
    const std::string path = self->txn_->path;
    const std::string what = self->txn_->what;
    // The source is being dispatched: close() must not destroy it a second time.
    g_source_unref(self->txn_->timeout);
    self->txn_->timeout = nullptr;
    Transaction t = self->close();
    if (!path.empty()) {
      ++self->pending_;
      g_dbus_connection_call(self->connection_, kName, path.c_str(), kTransaction, "Cancel",
                             nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, self->cancellable_,
                             &PackageKitUpdateService::onIgnoredReply, self);
    }
    self->endCheck({Kind::TimedOut,
                    "PackageKit did not finish " + what + " within " +
                        std::to_string(std::lround(self->options_.transactionTimeout)) +
                        " s; cancelled",
                    t.version});
    return G_SOURCE_REMOVE;
  }

  static void onOwnerChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                             const gchar*, GVariant* parameters, gpointer p) {
    auto* self = static_cast<PackageKitUpdateService*>(p);
    const gchar* newOwner = nullptr;
    g_variant_get(parameters, "(&s&s&s)", nullptr, nullptr, &newOwner);
    if (self->txn_ && !self->txn_->path.empty() && *newOwner == 0) {
      const std::string what = self->txn_->what;
      self->fail(Kind::Failed, "PackageKit went away while " + what);
    }
  }

  static void settle(gpointer p) { --static_cast<PackageKitUpdateService*>(p)->pending_; }

  void finish() {
    g_cancellable_cancel(cancellable_);
    if (txn_) close();
    if (ownerSignal_ != 0) g_dbus_connection_signal_unsubscribe(connection_, ownerSignal_);
    ownerSignal_ = 0;
  }

  RunLoop& loop_;
  PackageKitOptions options_;
  // Main thread.
  ReadyAtQuit readyAtQuit_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  RunLoop::TimerId firstTimer_ = 0;
  RunLoop::TimerId dailyTimer_ = 0;
  bool busy_ = false;
  bool automatic_ = false;
  bool threadStarted_ = false;
  std::optional<UpdateOutcome> lastOutcome_;
  std::string lastSaid_;
  std::string declinedVersion_;
  // Bus thread (and the destructor, after it stopped).
  GDBusConnection* connection_ = nullptr;
  GCancellable* cancellable_ = g_cancellable_new();
  guint ownerSignal_ = 0;
  std::optional<Transaction> txn_;
  std::string method_;
  GVariant* parameters_ = nullptr;
  std::vector<std::string> hints_;
  unsigned generation_ = 0;
  int pending_ = 0;
  GlibThread bus_;
};

}  // namespace

std::unique_ptr<UpdateService> makePackageKitUpdateService(RunLoop& loop,
                                                           PackageKitOptions options) {
  return std::make_unique<PackageKitUpdateService>(loop, std::move(options));
}

std::string probePackageKit(const std::optional<std::string>& bus) {
  GError* error = nullptr;
  gchar* address = bus ? g_strdup(bus->c_str())
                       : g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  GDBusConnection* connection =
      address != nullptr ? connectToBus(address, nullptr, &error) : nullptr;
  g_free(address);
  if (connection == nullptr) {
    std::string text = std::string("no system bus (") + (error ? error->message : "?") + ")";
    g_clear_error(&error);
    return text;
  }
  auto ask = [&](const char* method, GVariant* parameters) -> GVariant* {
    return g_dbus_connection_call_sync(connection, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", method, parameters, nullptr,
                                       G_DBUS_CALL_FLAGS_NONE, 3000, nullptr, nullptr);
  };
  std::string text = "PackageKit is not available on the system bus";
  if (GVariant* owner = ask("NameHasOwner", g_variant_new("(s)", kName))) {
    gboolean has = FALSE;
    g_variant_get(owner, "(b)", &has);
    g_variant_unref(owner);
    if (has) text = "PackageKit is running";
  }
  if (text != "PackageKit is running") {
    if (GVariant* names = ask("ListActivatableNames", nullptr)) {
      GVariantIter* iter = nullptr;
      const gchar* name = nullptr;
      g_variant_get(names, "(as)", &iter);
      while (g_variant_iter_next(iter, "&s", &name)) {
        if (g_strcmp0(name, kName) == 0) text = "PackageKit is installed (started on demand)";
      }
      g_variant_iter_free(iter);
      g_variant_unref(names);
    }
  }
  g_object_unref(connection);
  return text;
}

}  // namespace nuvlet::linux_platform
