#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace nuvlet::ddc {

// "display id=N get luminance"
struct GetLuminance {
  std::uint32_t output;
};
// "display id=N set luminance P", P a whole percentage 0..100
struct SetLuminance {
  std::uint32_t output;
  int percent;
};
// "list": every connected external output and what DDC/CI says about it
struct ListMonitors {};
struct UsageError {
  std::string reason;
};

using Command = std::variant<GetLuminance, SetLuminance, ListMonitors, UsageError>;

// The arguments after the program name. Numbers are plain decimal: no sign, no
// leading zero, no white space; N fits 32 bits.
Command parseCommand(const std::vector<std::string>& args);

}  // namespace nuvlet::ddc
