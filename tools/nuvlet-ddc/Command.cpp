#include "tools/nuvlet-ddc/Command.h"

#include <charconv>
#include <optional>

namespace nuvlet::ddc {
namespace {

std::optional<std::uint64_t> plainDecimal(const std::string& s, std::uint64_t max) {
  if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t value = 0;
  std::from_chars(s.data(), s.data() + s.size(), value);
  if (value > max) return std::nullopt;
  return value;
}

}  // namespace

Command parseCommand(const std::vector<std::string>& args) {
  const std::string usage =
      "usage: nuvlet-ddc display id=N get luminance | display id=N set luminance P | list";
  if (args.size() == 1 && args[0] == "list") return ListMonitors{};
  if ((args.size() != 4 && args.size() != 5) || args[0] != "display" || args[3] != "luminance" ||
      args[1].rfind("id=", 0) != 0) {
    return UsageError{usage};
  }
  auto output = plainDecimal(args[1].substr(3), UINT32_MAX);
  if (!output) return UsageError{"not a display id: " + args[1]};
  auto id = static_cast<std::uint32_t>(*output);
  if (args[2] == "get" && args.size() == 4) return GetLuminance{id};
  if (args[2] == "set" && args.size() == 5) {
    auto percent = plainDecimal(args[4], 100);
    if (!percent) return UsageError{"not a percentage from 0 to 100: " + args[4]};
    return SetLuminance{id, static_cast<int>(*percent)};
  }
  return UsageError{usage};
}

}  // namespace nuvlet::ddc
