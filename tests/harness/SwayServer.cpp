#include "tests/harness/SwayServer.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/PollUntil.h"

namespace nuvlet::test {
namespace {

constexpr uid_t kUnprivilegedId = 4242;

// Whether a socket accepts a connection: sway's IPC socket exists as a file a moment
// before sway listens on it, and a command sent then is refused.
bool accepts(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return ::close(fd), false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

SwayServer::SwayServer(const std::string& firstOutputSize) {
  if (!findProgram("sway")) return;
  const bool root = ::geteuid() == 0;
  runtimeDir_ = dir_ / "run";
  std::filesystem::create_directories(runtimeDir_);
  ::chmod(runtimeDir_.c_str(), 0700);
  const auto config =
      dir_.write("sway.conf", "xwayland disable\noutput HEADLESS-1 resolution " + firstOutputSize +
                                  " position 0 0\ndefault_border none\n");
  if (root) {
    for (const auto& p : {dir_.path(), runtimeDir_, config}) {
      if (::chown(p.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) return;
    }
  }
  std::vector<std::string> argv;
  if (root) {
    const std::string id = std::to_string(kUnprivilegedId);
    argv = {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--"};
  }
  for (const char* a : {"env", "-i"}) argv.emplace_back(a);
  argv.push_back("PATH=/usr/bin:/bin");
  argv.push_back("HOME=" + dir_.path().string());
  argv.push_back("XDG_RUNTIME_DIR=" + runtimeDir_.string());
  for (const char* a : {"WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1", "WLR_RENDERER=pixman",
                        "WLR_HEADLESS_OUTPUTS=1", "sway", "-c"}) {
    argv.emplace_back(a);
  }
  argv.push_back(config.string());
  process_ = std::make_unique<ChildProcess>(argv);
  if (!process_->started()) return;
  std::string socket, ipc;
  auto find = [&] {
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(runtimeDir_, ec)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) socket = name;
      if (name.rfind("sway-ipc.", 0) == 0) ipc = e.path().string();
    }
    return !socket.empty() && !ipc.empty() && accepts(ipc);
  };
  // Start-up takes about 0.3 s.
  if (!pollUntil(find, 20)) return;
  ipcSocket_ = ipc;
  socket_ = socket;
}

SwayServer::~SwayServer() {
  if (process_) process_->terminate();
}

std::map<std::string, std::string> SwayServer::clientEnvironment(
    const std::filesystem::path& dir) const {
  const auto runtime = dir / "run";
  std::filesystem::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  return {{"XDG_RUNTIME_DIR", runtime.string()},
          {"WAYLAND_DISPLAY", (runtimeDir_ / socket_).string()},
          {"XDG_SESSION_TYPE", "wayland"},
          {"XDG_CURRENT_DESKTOP", "sway"},
          {"DISPLAY", ""}};
}

bool SwayServer::command(const std::string& command) const {
  if (!running()) return false;
  auto r = ChildProcess::run({"swaymsg", "-s", ipcSocket_, command}, {}, 10);
  return r.status == 0;
}

void SwayServer::freeze(bool frozen) {
  if (process_ && process_->started()) ::kill(process_->pid(), frozen ? SIGSTOP : SIGCONT);
}

void SwayServer::kill() {
  if (process_ && process_->started()) ::kill(process_->pid(), SIGKILL);
  if (process_) process_->wait(10);
}

}  // namespace nuvlet::test
