#include "tests/harness/PulseServer.h"

#include <regex>

namespace nuvlet::test {

PulseServer::PulseServer() { start(); }

PulseServer::~PulseServer() { stop(); }

std::string PulseServer::address() const { return "unix:" + (dir_ / "native").string(); }

bool PulseServer::start() {
  if (process_) return true;
  std::filesystem::create_directories(dir_ / "home");
  std::filesystem::create_directories(dir_ / "runtime");
  std::map<std::string, std::string> env{{"HOME", (dir_ / "home").string()},
                                         {"PULSE_RUNTIME_PATH", (dir_ / "runtime").string()},
                                         {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
                                         {"PULSE_STATE_PATH", (dir_ / "home").string()}};
  process_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{
          "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
          "--log-level=error", "--log-target=stderr",
          "--load=module-native-protocol-unix socket=" + (dir_ / "native").string(),
          "--load=module-null-sink sink_name=testsink"},
      env);
  if (!process_->started()) {
    process_.reset();
    return false;
  }
  // Ready once a client gets an answer; each try is a real round trip, so this waits
  // on the server rather than on a guess.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    if (pactl({"info"}).status == 0) return true;
    if (process_->wait(0.02)) break;  // it exited
  }
  process_.reset();
  return false;
}

void PulseServer::stop() { process_.reset(); }

ChildProcess::Result PulseServer::pactl(std::vector<std::string> args) const {
  args.insert(args.begin(), "pactl");
  return ChildProcess::run(args, {{"PULSE_SERVER", address()}}, 10);
}

std::vector<long> PulseServer::sinkVolumes(const std::string& sink) const {
  const auto out = pactl({"get-sink-volume", sink}).out;
  std::vector<long> values;
  const std::regex channel(R"([\w-]+: (\d+) /)");
  for (std::sregex_iterator it(out.begin(), out.end(), channel), end; it != end; ++it) {
    values.push_back(std::stol((*it)[1]));
  }
  return values;
}

}  // namespace nuvlet::test
