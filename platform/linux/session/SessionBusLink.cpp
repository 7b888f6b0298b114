#include "platform/linux/session/SessionBusLink.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "nuvlet/platform/Log.h"

namespace nuvlet::linux_platform {
namespace {

constexpr double kFirstRetry = 1.0;
constexpr double kLastRetry = 30.0;

// What --verbose last said about each bus address: the problem, or "" once connected.
// Shared by every link (the items, the bar and the colour scheme each hold one), so that
// a bus that stays away is reported once, not at every retry of every link. Main thread.
void report(const std::string& address, const std::string& problem) {
  static std::map<std::string, std::string> told;
  auto [it, first] = told.try_emplace(address, "");
  if (it->second == problem || (first && problem.empty())) return;
  it->second = problem;
  log::debug(problem.empty() ? "session bus: connected" : "session bus: " + problem);
}

}  // namespace

std::string sessionBusAddress() {
  if (const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS"); env && *env) return env;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    std::string socket = std::string(runtime) + "/bus";
    struct stat info {};
    if (::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) return "unix:path=" + socket;
  }
  return {};
}

SessionBusLink::SessionBusLink(RunLoop& loop, std::string address, OnUp onUp, OnDown onDown)
    : loop_(loop),
      address_(address.empty() ? sessionBusAddress() : std::move(address)),
      onUp_(std::move(onUp)),
      onDown_(std::move(onDown)),
      cancellable_(g_cancellable_new()) {}

SessionBusLink::~SessionBusLink() {
  loop_.cancel(retryTimer_);
  // Pending connects finish with G_IO_ERROR_CANCELLED and never touch this object.
  g_cancellable_cancel(cancellable_);
  g_object_unref(cancellable_);
  if (connection_) {
    g_signal_handler_disconnect(connection_, closedHandler_);
    g_dbus_connection_close(connection_, nullptr, nullptr, nullptr);
    g_object_unref(connection_);
  }
}

void SessionBusLink::start() {
  if (!connection_ && retryTimer_ == 0) connect();
}

void SessionBusLink::connect() {
  retryTimer_ = 0;
  if (address_.empty()) {
    report(address_, "no address (DBUS_SESSION_BUS_ADDRESS is unset)");
    return;  // nothing will appear later at an address nobody gave us
  }
  auto flags = static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION);
  g_dbus_connection_new_for_address(address_.c_str(), flags, nullptr, cancellable_, &connectDone,
                                    this);
}

void SessionBusLink::connectDone(GObject*, GAsyncResult* result, gpointer data) {
  GError* error = nullptr;
  GDBusConnection* connection = g_dbus_connection_new_for_address_finish(result, &error);
  // Not to be touched when cancelled: the link is gone.
  auto* self = static_cast<SessionBusLink*>(data);
  if (!connection) {
    bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (!cancelled) report(self->address_, error->message);
    g_error_free(error);
    if (!cancelled) self->scheduleRetry();
    return;
  }
  report(self->address_, "");
  self->connection_ = connection;
  self->retryDelay_ = kFirstRetry;
  g_dbus_connection_set_exit_on_close(connection, FALSE);
  self->closedHandler_ = g_signal_connect_data(connection, "closed",
                                               reinterpret_cast<GCallback>(&SessionBusLink::closed),
                                               self, nullptr, static_cast<GConnectFlags>(0));
  if (self->onUp_) self->onUp_(connection);
}

void SessionBusLink::closed(GDBusConnection*, gboolean, GError*, gpointer data) {
  static_cast<SessionBusLink*>(data)->lost();
}

void SessionBusLink::lost() {
  if (!connection_) return;
  report(address_, "the connection closed");
  if (onDown_) onDown_();
  g_signal_handler_disconnect(connection_, closedHandler_);
  closedHandler_ = 0;
  g_object_unref(connection_);
  connection_ = nullptr;
  scheduleRetry();
}

void SessionBusLink::scheduleRetry() {
  double delay = retryDelay_;
  retryDelay_ = std::min(retryDelay_ * 2, kLastRetry);
  retryTimer_ = loop_.scheduleAfter(delay, [this] { connect(); });
}

}  // namespace nuvlet::linux_platform
