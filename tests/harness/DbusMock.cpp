#include "tests/harness/DbusMock.h"

#include <map>
#include <utility>

#include "platform/linux/session/BusConnection.h"
#include "tests/support/PollUntil.h"

namespace nuvlet::test {
namespace {

// python3-dbusmock is installed for Debian's own interpreter, which a python3 earlier on
// PATH (a virtual environment, say) may not see.
constexpr const char* kPython = "/usr/bin/python3";

struct Template {
  const char* name;
  const char* path;
  std::string module;  // dbusmock's own, or a file of ours
};
const std::map<std::string, Template> kTemplates = {
    {"logind", {"org.freedesktop.login1", "/org/freedesktop/login1", "logind"}},
    {"iio-sensors-proxy",
     {"net.hadess.SensorProxy", "/net/hadess/SensorProxy", "iio-sensors-proxy"}},
    {"notification_daemon",
     {"org.freedesktop.Notifications", "/org/freedesktop/Notifications", "notification_daemon"}},
    {"packagekit",
     {"org.freedesktop.PackageKit", "/org/freedesktop/PackageKit",
      NUVLET_HARNESS_DIR "/packagekit.py"}},
};

}  // namespace

std::unique_ptr<DbusMock> DbusMock::fromTemplate(const std::string& address, bool systemBus,
                                                 const std::string& name,
                                                 const std::string& parameters) {
  const Template& t = kTemplates.at(name);
  return std::unique_ptr<DbusMock>(
      new DbusMock(address, systemBus, t.name, t.path, {"-t", t.module, "-p", parameters}));
}

std::unique_ptr<DbusMock> DbusMock::bare(const std::string& address, bool systemBus,
                                         const std::string& name, const std::string& path,
                                         const std::string& interface) {
  return std::unique_ptr<DbusMock>(
      new DbusMock(address, systemBus, name, path, {name, path, interface}));
}

DbusMock::DbusMock(const std::string& address, bool systemBus, const std::string& name,
                   std::string path, std::vector<std::string> args)
    : name_(name), path_(std::move(path)) {
  std::vector<std::string> argv = {kPython, "-m", "dbusmock", systemBus ? "--system" : "--session"};
  argv.insert(argv.end(), args.begin(), args.end());
  process_ = std::make_unique<ChildProcess>(
      argv, std::map<std::string, std::string>{
                {systemBus ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS", address}});
  connection_ = linux_platform::connectToBus(address.c_str(), nullptr, nullptr);
  if (!process_->started() || connection_ == nullptr) return;
  g_dbus_connection_set_exit_on_close(connection_, FALSE);
  ready_ = pollUntil([&] {
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", name_.c_str()), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, 1000, nullptr, nullptr);
    gboolean owned = FALSE;
    if (reply) g_variant_get(reply, "(b)", &owned);
    if (reply) g_variant_unref(reply);
    return owned == TRUE;
  });
}

DbusMock::~DbusMock() {
  process_.reset();
  if (connection_ != nullptr) {
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
  }
}

GVariant* DbusMock::call(const std::string& method, GVariant* parameters,
                         const std::string& interface) {
  return g_dbus_connection_call_sync(connection_, name_.c_str(), path_.c_str(), interface.c_str(),
                                     method.c_str(), parameters, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                     5000, nullptr, nullptr);
}

bool DbusMock::addMethod(const std::string& interface, const std::string& name,
                         const std::string& in, const std::string& out, const std::string& code) {
  GVariant* reply = call("AddMethod", g_variant_new("(sssss)", interface.c_str(), name.c_str(),
                                                    in.c_str(), out.c_str(), code.c_str()));
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

bool DbusMock::emit(const std::string& interface, const std::string& name,
                    const std::string& signature, GVariant* args) {
  GVariantBuilder values;
  g_variant_builder_init(&values, G_VARIANT_TYPE("av"));
  GVariantIter iter;
  g_variant_iter_init(&iter, args);
  while (GVariant* child = g_variant_iter_next_value(&iter)) {
    g_variant_builder_add(&values, "v", child);
    g_variant_unref(child);
  }
  g_variant_unref(g_variant_ref_sink(args));
  GVariant* reply = call("EmitSignal", g_variant_new("(sssav)", interface.c_str(), name.c_str(),
                                                     signature.c_str(), &values));
  if (reply) g_variant_unref(reply);
  return reply != nullptr;
}

std::optional<std::string> DbusMock::nextCall(const std::string& method, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    auto line = process_->readLine(left);
    if (!line) return std::nullopt;
    // "<time stamp> Method arg..."
    auto space = line->find(' ');
    if (space == std::string::npos) continue;
    std::string call = line->substr(space + 1);
    if (call.rfind(method + " raised: ", 0) == 0) continue;  // the answer to an earlier call
    if (call == method || call.rfind(method + " ", 0) == 0) return call;
  }
}

std::vector<std::string> DbusMock::callsSoFar(const std::string& method) {
  std::vector<std::string> calls;
  while (auto line = process_->readLine(0.001)) {
    auto space = line->find(' ');
    std::string call = space == std::string::npos ? "" : line->substr(space + 1);
    if (call == method || call.rfind(method + " ", 0) == 0) calls.push_back(call);
  }
  return calls;
}

}  // namespace nuvlet::test
