#include "tests/harness/RandrEdid.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>

namespace nuvlet::test {

std::uint32_t giveFirstOutputEdid(const std::string& display,
                                  const std::vector<std::uint8_t>& edid) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  xcb_randr_output_t output = 0;
  if (xcb_connection_has_error(c) == 0) {
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    auto* res = xcb_randr_get_screen_resources_current_reply(
        c, xcb_randr_get_screen_resources_current(c, root), nullptr);
    auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 4, "EDID"), nullptr);
    if (res && atom && xcb_randr_get_screen_resources_current_outputs_length(res) > 0) {
      output = xcb_randr_get_screen_resources_current_outputs(res)[0];
      auto* error = xcb_request_check(
          c, xcb_randr_change_output_property_checked(
                 c, output, atom->atom, XCB_ATOM_INTEGER, 8, XCB_PROP_MODE_REPLACE,
                 static_cast<std::uint32_t>(edid.size()), edid.data()));
      if (error) output = 0;
      std::free(error);
    }
    std::free(res);
    std::free(atom);
  }
  xcb_disconnect(c);
  return output;
}

}  // namespace nuvlet::test
