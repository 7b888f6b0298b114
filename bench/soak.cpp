// Soak: does the real program stay flat over a long run? Two parts.
//  1. The tray program on a private Xvfb screen that changes twice a second, recording
//     telemetry, in real time for --minutes (default 10): resident memory, open
//     descriptors and threads sampled every minute, and CPU per hour of running.
//  2. The same components through --sim-days (default 1) of sampling ten times a
//     second and backlight polls in virtual time (`nuvlet simulate`): CPU per
//     simulated hour and peak memory.
// With --history DIR (as bench_history writes it) the program starts on those records:
// its first fit reads them all, and the fit cache keeps their samples.
// Run it by hand (bench_soak --minutes 60); it is not a test and judges nothing.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}) {
  std::vector<std::string> env = extraEnv;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string key = entry.substr(0, entry.find('=') + 1);
    bool overridden = false;
    for (const auto& x : extraEnv) overridden = overridden || x.starts_with(key);
    if (!overridden) env.push_back(entry);
  }
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int runQuietly(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  const pid_t pid = spawn(argv, env);
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  return status;
}

struct Sample {
  long rssKb = 0;
  long peakRssKb = 0;
  int fds = 0;
  int threads = 0;
  double cpuSeconds = 0;
};

Sample sample(pid_t pid) {
  Sample s;
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::ifstream status(proc / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) s.rssKb = std::stol(line.substr(6));
    if (line.starts_with("VmHWM:")) s.peakRssKb = std::stol(line.substr(6));
    if (line.starts_with("Threads:")) s.threads = std::stoi(line.substr(8));
  }
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc / "fd", ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    ++s.fds;
  }
  std::ifstream statFile(proc / "stat");
  std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
  // Fields after the command name (which may hold spaces): utime is the 14th field.
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  s.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  return s;
}

void print(const char* label, double minutes, const Sample& s) {
  std::printf("%-8s %7.1f min  rss %7ld kB  fds %3d  threads %2d  cpu %7.2f s\n", label, minutes,
              s.rssKb, s.fds, s.threads, s.cpuSeconds);
  std::fflush(stdout);
}

std::size_t lines(const fs::path& dir) {
  std::size_t n = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) ++n;
  }
  return n;
}

volatile sig_atomic_t interrupted = 0;

}  // namespace

int main(int argc, char** argv) {
  // Interrupted, it still stops the program and the X server it started, and reports.
  struct sigaction stop {};
  stop.sa_handler = [](int) { interrupted = 1; };
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);
  double minutes = 10;
  int simDays = 1;
  fs::path history;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--sim-days") == 0) simDays = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--history") == 0) history = argv[i + 1];
  }
  const fs::path self = fs::canonical("/proc/self/exe");
  const std::string nuvlet = (self.parent_path().parent_path() / "app/nuvlet").string();

  std::string pattern = (fs::temp_directory_path() / "nuvlet-soak-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path home = pattern;
  fs::create_directories(home / "sysfs/class/backlight/panel");
  fs::create_directories(home / "config/nuvlet");
  std::ofstream(home / "sysfs/class/backlight/panel/type") << "raw\n";
  std::ofstream(home / "sysfs/class/backlight/panel/max_brightness") << "255\n";
  std::ofstream(home / "sysfs/class/backlight/panel/brightness") << "128\n";
  std::ofstream(home / "config/nuvlet/settings.json") << R"({"telemetryRecording": true})";
  if (!history.empty()) {
    // Past days are only read: links will do. The log is appended to, so it is copied.
    std::error_code ec;
    fs::create_directories(home / "state/nuvlet/telemetry");
    for (const auto& day : fs::directory_iterator(history / "telemetry", ec)) {
      fs::create_symlink(fs::absolute(day.path()),
                         home / "state/nuvlet/telemetry" / day.path().filename(), ec);
    }
    fs::copy_file(history / "adjustments.csv", home / "state/nuvlet/adjustments.csv", ec);
  }

  // Part 1: the tray program in real time.
  int display = 0;
  pid_t xvfb = -1;
  for (display = 140; display < 200 && xvfb < 0; ++display) {
    if (fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) continue;
    xvfb = spawn(
        {"Xvfb", ":" + std::to_string(display), "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!fs::exists("/tmp/.X11-unix/X" + std::to_string(display)) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!fs::exists("/tmp/.X11-unix/X" + std::to_string(display))) {
      ::kill(xvfb, SIGKILL);
      ::waitpid(xvfb, nullptr, 0);
      xvfb = -1;
    }
  }
  --display;
  if (xvfb < 0) {
    std::fprintf(stderr, "soak: Xvfb did not start\n");
    return 1;
  }
  const std::string dpy = "DISPLAY=:" + std::to_string(display);
  const std::string noBus = "unix:path=" + (home / "no-bus").string();
  const std::vector<std::string> env = {dpy,
                                        "WAYLAND_DISPLAY=",
                                        "DBUS_SESSION_BUS_ADDRESS=" + noBus,
                                        "DBUS_SYSTEM_BUS_ADDRESS=" + noBus,
                                        "XDG_RUNTIME_DIR=" + home.string(),
                                        "PULSE_SERVER=unix:" + (home / "no-pulse").string(),
                                        "NUVLET_SYSFS_ROOT=" + (home / "sysfs").string(),
                                        "HOME=" + home.string(),
                                        "XDG_CONFIG_HOME=" + (home / "config").string(),
                                        "XDG_DATA_HOME=" + (home / "data").string(),
                                        "XDG_STATE_HOME=" + (home / "state").string(),
                                        "XDG_CACHE_HOME=" + (home / "cache").string()};
  const pid_t app = spawn({nuvlet}, env);
  std::printf(
      "soak: the tray program on Xvfb :%d for %.0f min, the screen changing twice a "
      "second, recording on\n",
      display, minutes);

  const auto started = Clock::now();
  const auto elapsedMinutes = [&] {
    return std::chrono::duration<double>(Clock::now() - started).count() / 60;
  };
  Sample first, last;
  bool haveFirst = false;
  double nextSample = 0.5;  // after half a minute of warming up
  for (int shade = 0; elapsedMinutes() < minutes && !interrupted; shade = (shade + 23) % 256) {
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", shade, (shade * 3) % 256, 255 - shade);
    if (runQuietly({"xsetroot", "-solid", colour}, {dpy}) != 0) {
      std::fprintf(stderr, "soak: xsetroot failed\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (::waitpid(app, nullptr, WNOHANG) == app) {
      std::fprintf(stderr, "soak: the program ended early\n");
      return 1;
    }
    if (elapsedMinutes() >= nextSample) {
      last = sample(app);
      if (!haveFirst) {
        first = last;
        haveFirst = true;
        print("start", elapsedMinutes(), last);
      } else {
        print("", elapsedMinutes(), last);
      }
      nextSample = std::floor(elapsedMinutes()) + 1;
    }
  }
  last = sample(app);
  const double spanMinutes = elapsedMinutes() - 0.5;
  print("end", elapsedMinutes(), last);
  ::kill(app, SIGTERM);
  int status = 0;
  ::waitpid(app, &status, 0);
  ::kill(xvfb, SIGTERM);
  ::waitpid(xvfb, nullptr, 0);
  std::printf(
      "soak: rss %+ld kB, fds %+d, threads %+d from start to end, peak rss %ld kB; cpu %.1f s "
      "per hour (%.2f %% of a core); %zu telemetry rows; exit status %d\n",
      last.rssKb - first.rssKb, last.fds - first.fds, last.threads - first.threads, last.peakRssKb,
      (last.cpuSeconds - first.cpuSeconds) / spanMinutes * 60,
      (last.cpuSeconds - first.cpuSeconds) / (spanMinutes * 60) * 100,
      lines(home / "state/nuvlet/telemetry"), WIFEXITED(status) ? WEXITSTATUS(status) : -1);

  // Part 2: the same components through whole days in virtual time.
  if (simDays > 0 && !interrupted) {
    const auto simStart = Clock::now();
    const pid_t sim = spawn(
        {nuvlet, "simulate", "--days", std::to_string(simDays), "--home", (home / "sim").string()});
    struct rusage usage {};
    ::wait4(sim, &status, 0, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    // simulate runs the days twice: with compensation and the baseline without.
    const double hours = 2.0 * 24 * simDays;
    std::printf(
        "soak: %d simulated day(s) twice over in %.1f s: cpu %.2f s per simulated hour, "
        "peak rss %ld kB, exit status %d\n",
        simDays, std::chrono::duration<double>(Clock::now() - simStart).count(), cpu / hours,
        usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  std::error_code ec;
  fs::remove_all(home, ec);
  return 0;
}
