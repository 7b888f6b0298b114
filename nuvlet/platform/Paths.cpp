#include "nuvlet/platform/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace nuvlet {
namespace {

std::filesystem::path homeDirectory(const Paths::Getenv& getenv) {
  const char* home = getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  // No usable $HOME (a service started without one): ask the password database.
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr &&
                                              pw->pw_dir[0] == '/') {
    return pw->pw_dir;
  }
  return "/tmp";
}

std::filesystem::path xdgOr(const Paths::Getenv& getenv, const char* variable,
                            const std::filesystem::path& fallback) {
  const char* value = getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  return fallback;
}

}  // namespace

Paths::Paths(std::filesystem::path dataHome, std::filesystem::path stateHome,
             std::filesystem::path configHome, std::filesystem::path cacheHome)
    : dataHome_(std::move(dataHome)),
      stateHome_(std::move(stateHome)),
      configHome_(std::move(configHome)),
      cacheHome_(std::move(cacheHome)) {}

Paths Paths::fromEnvironment(const Getenv& getenv) {
  const auto home = homeDirectory(getenv);
  return Paths(xdgOr(getenv, "XDG_DATA_HOME", home / ".local/share"),
               xdgOr(getenv, "XDG_STATE_HOME", home / ".local/state"),
               xdgOr(getenv, "XDG_CONFIG_HOME", home / ".config"),
               xdgOr(getenv, "XDG_CACHE_HOME", home / ".cache"));
}

Paths Paths::fromEnvironment() {
  return fromEnvironment([](const char* name) { return std::getenv(name); });
}

Paths Paths::under(const std::filesystem::path& root) {
  return Paths(root / "data", root / "state", root / "config", root / "cache");
}

}  // namespace nuvlet
