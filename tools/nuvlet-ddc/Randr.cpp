#include "tools/nuvlet-ddc/Randr.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace nuvlet::ddc {
namespace {

template <typename T>
struct Freed {
  T* p;
  explicit Freed(T* reply) : p(reply) {}
  ~Freed() { std::free(p); }
  Freed(const Freed&) = delete;
  Freed& operator=(const Freed&) = delete;
  T* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

}  // namespace

std::unique_ptr<Randr> Randr::connect(std::string& why) {
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    const char* display = std::getenv("DISPLAY");
    why = std::string("cannot connect to the X server") +
          (display != nullptr ? std::string(" ") + display : std::string(" ($DISPLAY is unset)"));
    return nullptr;
  }
  Freed version(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  if (!version) {
    xcb_disconnect(c);
    why = "the X server has no RandR extension";
    return nullptr;
  }
  return std::unique_ptr<Randr>(new Randr(c));
}

Randr::~Randr() { xcb_disconnect(c_); }

std::uint32_t Randr::atom(const char* name) {
  Freed reply(xcb_intern_atom_reply(
      c_, xcb_intern_atom(c_, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : std::uint32_t{XCB_ATOM_NONE};
}

std::optional<Bytes> Randr::edid(std::uint32_t id, std::string& why) {
  xcb_generic_error_t* error = nullptr;
  Freed info(xcb_randr_get_output_info_reply(
      c_, xcb_randr_get_output_info(c_, id, XCB_CURRENT_TIME), &error));
  if (error != nullptr || !info) {
    std::free(error);
    why = "RandR output " + std::to_string(id) + " does not exist";
    return std::nullopt;
  }
  why = "RandR output " + std::to_string(id) + " has no EDID";
  // Until some output has one, the server does not even know the atom.
  std::uint32_t edidAtom = atom("EDID");
  if (edidAtom == XCB_ATOM_NONE) return std::nullopt;
  // 1 KiB: a base block and up to seven extension blocks, far more than matching needs.
  Freed reply(xcb_randr_get_output_property_reply(
      c_, xcb_randr_get_output_property(c_, id, edidAtom, XCB_ATOM_ANY, 0, 256, 0, 0), &error));
  std::free(error);
  if (!reply || reply->format != 8 || xcb_randr_get_output_property_data_length(reply.p) <= 0) {
    return std::nullopt;
  }
  const std::uint8_t* data = xcb_randr_get_output_property_data(reply.p);
  why.clear();
  return Bytes(data, data + xcb_randr_get_output_property_data_length(reply.p));
}

std::optional<std::string> Randr::stringProperty(std::uint32_t output, std::uint32_t name) {
  if (name == XCB_ATOM_NONE) return std::nullopt;
  Freed reply(xcb_randr_get_output_property_reply(
      c_, xcb_randr_get_output_property(c_, output, name, XCB_ATOM_ATOM, 0, 1, 0, 0), nullptr));
  if (!reply || reply->format != 32 || xcb_randr_get_output_property_data_length(reply.p) < 4) {
    return std::nullopt;
  }
  std::uint32_t value;
  std::memcpy(&value, xcb_randr_get_output_property_data(reply.p), 4);
  Freed atomName(xcb_get_atom_name_reply(c_, xcb_get_atom_name(c_, value), nullptr));
  if (!atomName) return std::nullopt;
  return std::string(xcb_get_atom_name_name(atomName.p),
                     static_cast<std::size_t>(xcb_get_atom_name_name_length(atomName.p)));
}

std::vector<RandrOutput> Randr::connectedOutputs() {
  std::vector<RandrOutput> found;
  std::uint32_t connectorType = atom("ConnectorType");
  for (auto screens = xcb_setup_roots_iterator(xcb_get_setup(c_)); screens.rem != 0;
       xcb_screen_next(&screens)) {
    Freed resources(xcb_randr_get_screen_resources_current_reply(
        c_, xcb_randr_get_screen_resources_current(c_, screens.data->root), nullptr));
    if (!resources) continue;
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.p);
    int count = xcb_randr_get_screen_resources_current_outputs_length(resources.p);
    for (int i = 0; i < count; ++i) {
      Freed info(xcb_randr_get_output_info_reply(
          c_, xcb_randr_get_output_info(c_, outputs[i], resources->config_timestamp), nullptr));
      if (!info || info->connection != XCB_RANDR_CONNECTION_CONNECTED) continue;
      RandrOutput out;
      out.id = outputs[i];
      out.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.p)),
                      static_cast<std::size_t>(xcb_randr_get_output_info_name_length(info.p)));
      out.builtIn = stringProperty(out.id, connectorType) == "Panel";
      for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
        if (out.name.rfind(prefix, 0) == 0) out.builtIn = true;
      }
      std::string ignored;
      out.edid = edid(out.id, ignored).value_or(Bytes{});
      found.push_back(std::move(out));
    }
  }
  return found;
}

}  // namespace nuvlet::ddc
