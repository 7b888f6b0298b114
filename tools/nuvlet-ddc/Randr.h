#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/nuvlet-ddc/Edid.h"

struct xcb_connection_t;

namespace nuvlet::ddc {

struct RandrOutput {
  std::uint32_t id = 0;
  std::string name;
  bool builtIn = false;  // connector type Panel, or an eDP, LVDS or DSI output
  Bytes edid;            // empty when the output has none
  // The I2C bus the kernel links to the connector, when it says (DRM connectors only).
  std::optional<int> bus;
};

// The X server's RandR outputs: where the display ids the controller passes come from.
class Randr {
 public:
  // Nothing, with the reason in `why`, when no X server answers ($DISPLAY).
  static std::unique_ptr<Randr> connect(std::string& why);
  ~Randr();
  Randr(const Randr&) = delete;
  Randr& operator=(const Randr&) = delete;

  // The EDID property of output `id`; nothing, with the reason, when the output does
  // not exist or carries no EDID.
  std::optional<Bytes> edid(std::uint32_t id, std::string& why);

  // Every connected output of every screen.
  std::vector<RandrOutput> connectedOutputs();

 private:
  explicit Randr(xcb_connection_t* c) : c_(c) {}
  std::uint32_t atom(const char* name);
  std::optional<std::string> stringProperty(std::uint32_t output, std::uint32_t atom);

  xcb_connection_t* c_;
};

}  // namespace nuvlet::ddc
