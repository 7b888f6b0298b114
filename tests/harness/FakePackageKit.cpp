#include "tests/harness/FakePackageKit.h"

namespace nuvlet::test {
namespace {

constexpr const char* kXml = R"(<node>
  <interface name="org.freedesktop.PackageKit">
    <method name="CreateTransaction"><arg type="o" direction="out"/></method>
  </interface>
  <interface name="org.freedesktop.PackageKit.Transaction">
    <method name="SetHints"><arg type="as" direction="in"/></method>
    <method name="RefreshCache"><arg type="b" direction="in"/></method>
    <method name="GetUpdates"><arg type="t" direction="in"/></method>
    <method name="UpdatePackages">
      <arg type="t" direction="in"/><arg type="as" direction="in"/>
    </method>
    <method name="Cancel"/>
    <signal name="Package"><arg type="u"/><arg type="s"/><arg type="s"/></signal>
    <signal name="ErrorCode"><arg type="u"/><arg type="s"/></signal>
    <signal name="Finished"><arg type="u"/><arg type="u"/></signal>
    <signal name="Destroy"/>
  </interface>
</node>)";
constexpr const char* kTransaction = "org.freedesktop.PackageKit.Transaction";

}  // namespace

FakePackageKit::FakePackageKit(const std::string& busAddress)
    : FakeBusService(busAddress, "/org/freedesktop/PackageKit", kXml) {
  onMethod([this](const std::string& method, GVariant* parameters, GDBusMethodInvocation* call) {
    if (method == "CreateTransaction") {
      std::string path;
      {
        std::lock_guard lock(scriptMutex_);
        path = "/" + std::to_string(++created_) + "_fake";
      }
      exportAt(path);
      g_dbus_method_invocation_return_value(call, g_variant_new("(o)", path.c_str()));
      return;
    }
    gchar* args = g_variant_print(parameters, FALSE);
    std::optional<Script> script;
    {
      std::lock_guard lock(scriptMutex_);
      calls_.push_back(method + " " + args);
      if (method != "SetHints" && method != "Cancel") script = scripts_[method];
    }
    g_free(args);
    if (script && method == "UpdatePackages" && script->exit == 1 && !script->hang &&
        !script->vanish) {
      installed(parameters);
    }
    const std::string path = g_dbus_method_invocation_get_object_path(call);
    g_dbus_method_invocation_return_value(call, nullptr);
    if (script) play(path, *script);
  });
}

void FakePackageKit::script(const std::string& method, Script script) {
  std::lock_guard lock(scriptMutex_);
  scripts_[method] = std::move(script);
}

std::vector<std::string> FakePackageKit::calls() {
  std::lock_guard lock(scriptMutex_);
  return calls_;
}

int FakePackageKit::transactionsCreated() {
  std::lock_guard lock(scriptMutex_);
  return created_;
}

// What the daemon shows once an update is in: it is no longer offered.
void FakePackageKit::installed(GVariant* parameters) {
  std::lock_guard lock(scriptMutex_);
  GVariantIter* ids = nullptr;
  g_variant_get(parameters, "(tas)", nullptr, &ids);
  const gchar* id = nullptr;
  auto& offered = scripts_["GetUpdates"].packages;
  while (g_variant_iter_next(ids, "&s", &id)) {
    std::erase_if(offered, [&](const auto& p) { return p.second == id; });
  }
  g_variant_iter_free(ids);
}

// Service thread, right after the method's reply.
void FakePackageKit::play(const std::string& path, const Script& script) {
  auto emit = [&](const char* signal, GVariant* parameters) {
    emitFrom(path, kTransaction, signal, parameters);
  };
  for (const auto& [info, id] : script.packages) {
    emit("Package", g_variant_new("(uss)", info, id.c_str(), "summary"));
  }
  if (script.vanish) return vanish();
  if (script.hang) return;
  if (script.error) {
    emit("ErrorCode", g_variant_new("(us)", script.error->first, script.error->second.c_str()));
  }
  emit("Finished", g_variant_new("(uu)", script.exit, 10u));
  emit("Destroy", nullptr);
}

}  // namespace nuvlet::test
