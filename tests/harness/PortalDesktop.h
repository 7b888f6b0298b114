#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/harness/PipeWire.h"
#include "tests/harness/Servers.h"
#include "tests/harness/StandInPortal.h"
#include "tests/harness/TrayHost.h"

namespace nuvlet::test {

// A desktop in miniature: a private session bus with the stand-in portal on it and a
// private PipeWire daemon whose producer (320x200) is the "monitor" the portal shares.
struct PortalDesktop {
  // Bus, PipeWire and producer below `dir`; what is missing, or "" once they run.
  std::string startDesktop(const std::filesystem::path& dir) {
    std::string why;
    pipewire = PipeWireDaemon::start(dir, &why);
    if (!pipewire) return why;
    if (!bus.running()) return "dbus-daemon is required";
    producer = std::make_unique<PipeWireProducer>(*pipewire, 320, 200);
    return producer->node() != 0 ? "" : "the producer got no node\n" + pipewire->logs();
  }

  // The portal on the bus; it streams `node`, or the producer's node when 0.
  bool startPortal(StandInPortal::Options options = {}, std::uint32_t node = 0) {
    portal.reset();
    portal = std::make_unique<StandInPortal>(
        bus.address(), options, [this, node] { return node != 0 ? node : producer->node(); },
        [this] { return pipewire->connect(); });
    return portal->own();
  }

  // Deletes the grant of `token` from the portal's permission store, through the bus as
  // the user's tool for desktop permissions does; whether the store took it.
  bool deleteGrant(const std::string& token) {
    return BusPeer(bus.address())
        .call("org.freedesktop.impl.portal.PermissionStore",
              "/org/freedesktop/impl/portal/PermissionStore",
              "org.freedesktop.impl.portal.PermissionStore", "Delete",
              g_variant_new("(ss)", "screencast", token.c_str()))
        .ok();
  }

  DbusDaemon bus;
  std::unique_ptr<PipeWireDaemon> pipewire;
  std::unique_ptr<PipeWireProducer> producer;
  std::unique_ptr<StandInPortal> portal;
};

}  // namespace nuvlet::test
