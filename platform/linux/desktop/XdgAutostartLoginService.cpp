#include "platform/linux/desktop/XdgAutostartLoginService.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "nuvlet/platform/Files.h"
#include "nuvlet/platform/Text.h"

namespace nuvlet::linux_platform {
namespace {

constexpr std::size_t kMaxEntryBytes = 64 * 1024;

bool isExecutableFile(const std::filesystem::path& file) {
  std::error_code ec;
  return file.is_absolute() && std::filesystem::is_regular_file(file, ec) &&
         ::access(file.c_str(), X_OK) == 0;
}

// One Exec argument: quoted when it holds a reserved character, then escaped for
// the string value that carries it, with '%' doubled so it is no field code.
std::string execArgument(std::string_view arg) {
  constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string quoted;
  if (arg.find_first_of(reserved) == std::string_view::npos) {
    quoted = arg;
  } else {
    quoted = "\"";
    for (char c : arg) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  }
  std::string escaped;
  for (char c : quoted) {
    if (c == '\\') {
      escaped += "\\\\";
    } else if (c == '%') {
      escaped += "%%";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

bool hasControlCharacter(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Whether the entry's [Desktop Entry] group exists and is not switched off.
bool entryIsActive(std::string_view text) {
  bool inMainGroup = false;
  bool sawMainGroup = false;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      inMainGroup = line == "[Desktop Entry]";
      sawMainGroup = sawMainGroup || inMainGroup;
      continue;
    }
    if (!inMainGroup) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = trim(line.substr(0, eq));
    const std::string_view value = trim(line.substr(eq + 1));
    if (key == "Hidden" && value == "true") return false;
    if (key == "X-GNOME-Autostart-enabled" && value == "false") return false;
  }
  return sawMainGroup;
}

class XdgAutostartLoginService final : public LoginService {
 public:
  XdgAutostartLoginService(std::filesystem::path entryFile, std::filesystem::path executable)
      : entryFile_(std::move(entryFile)), executable_(std::move(executable)) {}

  Status status() const override {
    if (auto text = files::readFile(entryFile_, kMaxEntryBytes); text && entryIsActive(*text)) {
      return Status::Enabled;
    }
    return isExecutableFile(executable_) ? Status::NotRegistered : Status::NotFound;
  }

  bool registerItem() override {
    if (!isExecutableFile(executable_)) {
      return fail("cannot find the Nuvlet executable" +
                  (executable_.empty() ? std::string() : " at " + executable_.string()));
    }
    const std::string path = executable_.string();
    // The entry must be valid UTF-8 and one line per key.
    if (text::repairUtf8(path) != path || hasControlCharacter(path)) {
      return fail("the executable's path cannot be written into a desktop entry: " +
                  text::repairUtf8(path));
    }
    const std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Nuvlet\n"
        "Comment=Keeps the light your display emits comfortable\n"
        "Exec=" +
        execArgument(path) +
        "\n"
        "Icon=nuvlet\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    // New directories get 0700, as the XDG base directory rules ask.
    errno = 0;
    if (!files::ensureDirectory(entryFile_.parent_path())) {
      return failErrno("cannot create " + entryFile_.parent_path().string());
    }
    errno = 0;
    if (!files::writeAtomically(entryFile_, entry, 0644)) {
      return failErrno("cannot write " + entryFile_.string());
    }
    error_.clear();
    return true;
  }

  bool unregisterItem() override {
    if (::unlink(entryFile_.c_str()) != 0 && errno != ENOENT) {
      return failErrno("cannot remove " + entryFile_.string());
    }
    error_.clear();
    return true;
  }

  std::string lastError() const override { return error_; }

 private:
  bool fail(std::string error) {
    error_ = std::move(error);
    return false;
  }

  bool failErrno(const std::string& what) {
    const int err = errno;
    return fail(err != 0 ? what + ": " + std::strerror(err) : what);
  }

  std::filesystem::path entryFile_;
  std::filesystem::path executable_;
  std::string error_;
};

}  // namespace

std::unique_ptr<LoginService> makeXdgAutostartLoginService(std::filesystem::path entryFile,
                                                           std::filesystem::path executable) {
  return std::make_unique<XdgAutostartLoginService>(std::move(entryFile), std::move(executable));
}

std::unique_ptr<LoginService> makeXdgAutostartLoginService(const Paths& paths) {
  return makeXdgAutostartLoginService(paths.autostartFile(),
                                      currentExecutable().value_or(std::filesystem::path()));
}

std::optional<std::filesystem::path> currentExecutable() {
  std::error_code ec;
  std::string target = std::filesystem::read_symlink("/proc/self/exe", ec).string();
  if (ec || target.empty()) return std::nullopt;
  constexpr std::string_view deleted = " (deleted)";
  if (target.ends_with(deleted) && !isExecutableFile(target)) {
    target.resize(target.size() - deleted.size());
  }
  return std::filesystem::path(target);
}

}  // namespace nuvlet::linux_platform
