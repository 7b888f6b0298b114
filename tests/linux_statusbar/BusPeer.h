#pragma once

#include <gio/gio.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvlet::test {

using VariantPtr = std::shared_ptr<GVariant>;
VariantPtr adopt(GVariant* value);  // takes over the caller's reference (or a floating one)

// Iterates the default GMainContext, where both the adapters and the peers below get
// their D-Bus traffic, until done() holds or timeoutSeconds of real time pass.
bool pumpUntil(const std::function<bool()>& done, double timeoutSeconds = 5);

// The other end of a test: a connection of its own to the test's bus that can own
// names, export objects, call and record signals. Everything runs on the default
// GMainContext, so calls wait by pumping it (the adapter under test answers there).
class BusPeer {
 public:
  using MethodHandler =
      std::function<void(const std::string& method, GVariant* parameters, GDBusMethodInvocation*)>;
  using PropertyHandler = std::function<GVariant*(const std::string& name)>;

  struct Reply {
    VariantPtr value;
    std::string error;  // the D-Bus error name and message, when the call failed
    bool ok() const { return value != nullptr; }
  };

  struct Signal {
    std::string sender;
    std::string path;
    std::string member;
    VariantPtr parameters;
  };

  explicit BusPeer(const std::string& address);
  ~BusPeer();
  BusPeer(const BusPeer&) = delete;
  BusPeer& operator=(const BusPeer&) = delete;

  bool connected() const { return connection_ != nullptr; }
  GDBusConnection* connection() const { return connection_; }
  std::string uniqueName() const;

  bool own(const std::string& name);  // waits until the bus grants it
  void exportObject(const std::string& path, const char* introspectionXml, MethodHandler methods,
                    PropertyHandler properties = {});
  Reply call(const std::string& destination, const std::string& path, const std::string& interface,
             const std::string& method, GVariant* parameters = nullptr, double timeoutSeconds = 5);
  void emitSignal(const std::string& path, const std::string& interface, const std::string& member,
                  GVariant* parameters);

  // Signals received since the peer was made (any sender, any path).
  const std::vector<Signal>& signals() const { return signals_; }
  int count(const std::string& member) const;
  void clearSignals() { signals_.clear(); }

  // Leaves the bus: every name it owned goes with it.
  void close();

 private:
  struct Exported {
    GDBusNodeInfo* node = nullptr;
    MethodHandler methods;
    PropertyHandler properties;
    guint id = 0;
  };

  GDBusConnection* connection_ = nullptr;
  std::vector<guint> owned_;
  std::vector<std::unique_ptr<Exported>> exported_;
  guint subscription_ = 0;
  std::vector<Signal> signals_;
};

// Collects the log lines written while it exists.
class LogCapture {
 public:
  explicit LogCapture(bool verbose = false);
  ~LogCapture();
  int count(const std::string& fragment) const;  // lines that contain it

 private:
  std::vector<std::string> lines_;
};

// GVariant's text form, without type annotations.
std::string printed(GVariant* value);

// The value of a property in an a{sv} (GetAll), or null.
VariantPtr lookup(GVariant* dict, const char* name);

}  // namespace nuvlet::test
