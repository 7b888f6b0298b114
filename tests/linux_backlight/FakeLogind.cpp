#include "tests/linux_backlight/FakeLogind.h"

#include <gio/gio.h>

#include <fstream>

namespace nuvlet::test {

struct FakeLogind::State {
  std::filesystem::path root;
  mutable std::mutex mutex;
  Answer answer = Answer::Write;
  std::vector<Call> calls;
  std::vector<GDBusMethodInvocation*> unanswered;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
};

namespace {

constexpr const char* kIntrospection = R"(
<node>
  <interface name="org.freedesktop.login1.Session">
    <method name="SetBrightness">
      <arg name="subsystem" type="s" direction="in"/>
      <arg name="name" type="s" direction="in"/>
      <arg name="brightness" type="u" direction="in"/>
    </method>
  </interface>
</node>)";

void handleCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
  auto* state = static_cast<FakeLogind::State*>(data);
  if (g_strcmp0(method, "SetBrightness") != 0) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.UnknownMethod", "no such method");
    return;
  }
  const gchar* subsystem = nullptr;
  const gchar* name = nullptr;
  guint32 value = 0;
  g_variant_get(parameters, "(&s&su)", &subsystem, &name, &value);
  std::unique_lock lock(state->mutex);
  state->calls.push_back({subsystem, name, value});
  switch (state->answer) {
    case FakeLogind::Answer::NotYourDevice:
      g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.login1.NotYourDevice",
                                                 "Your session has no seat, refusing.");
      return;
    case FakeLogind::Answer::AccessDenied:
      g_dbus_method_invocation_return_dbus_error(invocation,
                                                 "org.freedesktop.DBus.Error.AccessDenied",
                                                 "Only owner of session may change brightness.");
      return;
    case FakeLogind::Answer::Silent:
      state->unanswered.push_back(invocation);  // answered when the fake stops
      return;
    case FakeLogind::Answer::Write:
      break;
  }
  const auto file = state->root / "class/backlight" / name / "brightness";
  if (std::string(subsystem) != "backlight" || !std::filesystem::exists(file)) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.FileNotFound", "Failed to open device.");
    return;
  }
  std::ofstream(file, std::ios::trunc) << value << '\n';
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

const GDBusInterfaceVTable kVtable = {handleCall, nullptr, nullptr, {}};

}  // namespace

FakeLogind::FakeLogind(std::string busAddress, std::filesystem::path sysfsRoot)
    : address_(std::move(busAddress)), root_(std::move(sysfsRoot)) {
  state_ = new State;
  state_->root = root_;
  thread_ = std::thread([this] { run(); });
  std::unique_lock lock(startMutex_);
  started_.wait(lock, [this] { return startDone_; });
}

FakeLogind::~FakeLogind() {
  if (state_->loop != nullptr) {
    g_main_context_invoke(
        state_->context,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        state_->loop);
  }
  thread_.join();
  delete state_;
}

void FakeLogind::setAnswer(Answer answer) {
  std::lock_guard lock(state_->mutex);
  state_->answer = answer;
}

std::vector<FakeLogind::Call> FakeLogind::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

void FakeLogind::run() {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GError* error = nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address_.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  guint registration = 0;
  bool owned = false;
  if (bus != nullptr && node != nullptr) {
    registration =
        g_dbus_connection_register_object(bus, "/org/freedesktop/login1/session/auto",
                                          node->interfaces[0], &kVtable, state_, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.login1", 4u /* do not queue */),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply != nullptr) {
      guint32 result = 0;
      g_variant_get(reply, "(u)", &result);
      owned = result == 1;  // primary owner
      g_variant_unref(reply);
    }
  }
  if (error != nullptr) g_error_free(error);

  GMainLoop* loop = owned ? g_main_loop_new(context, FALSE) : nullptr;
  {
    std::lock_guard lock(startMutex_);
    state_->context = context;
    state_->loop = loop;
    running_ = owned;
    startDone_ = true;
  }
  started_.notify_all();
  if (loop != nullptr) {
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
  }

  for (GDBusMethodInvocation* invocation : state_->unanswered) {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                               "shutting down");
  }
  if (registration != 0) g_dbus_connection_unregister_object(bus, registration);
  if (node != nullptr) g_dbus_node_info_unref(node);
  if (bus != nullptr) {
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
  }
  // Let the closing connection's last callbacks run before the context goes.
  while (g_main_context_iteration(context, FALSE)) {
  }
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

}  // namespace nuvlet::test
