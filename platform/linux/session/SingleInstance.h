#pragma once

#include <memory>
#include <string>

namespace nuvlet::linux_platform {

// One Nuvlet per desktop session: the first instance owns a well-known name on the
// session bus for as long as it runs; the bus gives the name up by itself when the
// process ends, however it ends.
class SingleInstance {
 public:
  enum class Outcome {
    First,           // we own the name
    AlreadyRunning,  // another process owns it
    NoBus,           // no session bus to ask: nobody can tell, so we run
  };

  virtual ~SingleInstance() = default;
  virtual Outcome outcome() const = 0;
  // Why there was no bus, for a diagnostic line; empty otherwise.
  virtual std::string problem() const = 0;
};

inline constexpr const char* kInstanceBusName = "io.github.nuvlet.Nuvlet";

// Asks the session bus for the name ($DBUS_SESSION_BUS_ADDRESS, else the per-user bus
// socket; never an autolaunched bus). Blocks for one round trip, at most `timeoutMs`.
// Main thread, at start-up.
std::unique_ptr<SingleInstance> claimSingleInstance(const std::string& name = kInstanceBusName,
                                                    int timeoutMs = 2000);

}  // namespace nuvlet::linux_platform
