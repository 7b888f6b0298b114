#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/BusConnection.h"
#include "platform/linux/GlibThread.h"

namespace nuvlet::test {

// A login manager that knows one thing: Session.SetBrightness on the caller's session
// object, carried out by writing into a fake sysfs tree. Served from a thread of its own
// (the adapter's calls block), on a bus the test started.
class FakeLogind {
 public:
  enum class Answer { Write, NotYourDevice, AccessDenied, Silent };
  struct Call {
    std::string subsystem, name;
    std::uint32_t value;
  };

  FakeLogind(const std::string& address, std::filesystem::path sysfsRoot)
      : root_(std::move(sysfsRoot)) {
    sync([&] {
      connection_ = linux_platform::connectToBus(address.c_str(), nullptr, nullptr);
      if (!connection_) return;
      node_ = g_dbus_node_info_new_for_xml(R"(<node>
  <interface name="org.freedesktop.login1.Session">
    <method name="SetBrightness">
      <arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="u" direction="in"/>
    </method>
  </interface>
</node>)",
                                           nullptr);
      static const GDBusInterfaceVTable vtable = {
          [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
             GVariant* parameters, GDBusMethodInvocation* invocation,
             gpointer self) { static_cast<FakeLogind*>(self)->handle(parameters, invocation); },
          nullptr,
          nullptr,
          {}};
      registration_ =
          g_dbus_connection_register_object(connection_, "/org/freedesktop/login1/session/auto",
                                            node_->interfaces[0], &vtable, this, nullptr, nullptr);
      GVariant* reply = g_dbus_connection_call_sync(
          connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", "org.freedesktop.login1", 4u /* do not queue */),
          G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      guint32 result = 0;
      if (reply) g_variant_get(reply, "(u)", &result);
      if (reply) g_variant_unref(reply);
      running_ = result == 1;  // primary owner
    });
  }

  ~FakeLogind() {
    sync([&] {
      for (auto* call : unanswered_) fail(call, "org.freedesktop.DBus.Error.Failed", "stopping");
      if (!connection_) return;
      g_dbus_connection_unregister_object(connection_, registration_);
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    });
    thread_.stop([] {}, [] { return true; });
    if (connection_) g_object_unref(connection_);
    if (node_) g_dbus_node_info_unref(node_);
  }

  bool running() const { return running_; }  // owns org.freedesktop.login1
  void setAnswer(Answer answer) {
    std::lock_guard lock(mutex_);
    answer_ = answer;
  }
  std::vector<Call> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void handle(GVariant* parameters, GDBusMethodInvocation* invocation) {
    const gchar* subsystem = nullptr;
    const gchar* name = nullptr;
    guint32 value = 0;
    g_variant_get(parameters, "(&s&su)", &subsystem, &name, &value);
    std::lock_guard lock(mutex_);
    calls_.push_back({subsystem, name, value});
    const auto file = root_ / "class/backlight" / name / "brightness";
    if (answer_ == Answer::NotYourDevice) {
      fail(invocation, "org.freedesktop.login1.NotYourDevice", "Your session has no seat.");
    } else if (answer_ == Answer::AccessDenied) {
      fail(invocation, "org.freedesktop.DBus.Error.AccessDenied", "Only the session's owner.");
    } else if (answer_ == Answer::Silent) {
      unanswered_.push_back(invocation);
    } else if (std::string(subsystem) != "backlight" || !std::filesystem::exists(file)) {
      fail(invocation, "org.freedesktop.DBus.Error.FileNotFound", "Failed to open device.");
    } else {
      std::ofstream(file, std::ios::trunc) << value << '\n';
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  }
  static void fail(GDBusMethodInvocation* call, const char* error, const char* message) {
    g_dbus_method_invocation_return_dbus_error(call, error, message);
  }
  void sync(std::function<void()> fn) {
    std::promise<void> done;
    thread_.invoke([&] {
      fn();
      done.set_value();
    });
    done.get_future().wait();
  }

  std::filesystem::path root_;
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* node_ = nullptr;
  guint registration_ = 0;
  bool running_ = false;
  std::mutex mutex_;
  Answer answer_ = Answer::Write;
  std::vector<Call> calls_;
  std::vector<GDBusMethodInvocation*> unanswered_;
  linux_platform::GlibThread thread_;
};

}  // namespace nuvlet::test
