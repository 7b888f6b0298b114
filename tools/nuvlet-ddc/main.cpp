// nuvlet-ddc: the brightness of external monitors over DDC/CI, for Nuvlet.
//
//   nuvlet-ddc display id=N get luminance     prints the brightness in percent
//   nuvlet-ddc display id=N set luminance P   sets it to P percent
//   nuvlet-ddc list                           the connected external outputs
//
// N is the display id Nuvlet uses: in an X11 session the RandR output id, otherwise
// (Wayland, or no display server) the id of a DRM connector under /sys/class/drm
// ($NUVLET_SYSFS_ROOT), a hash of its name and EDID. Its monitor is the one whose EDID
// is the output's. Exit
// status 0 on success; 1 with one line on stderr on any failure; 2 on bad usage.
// stdout carries the answer and nothing else.
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "nuvlet/platform/Paths.h"
#include "platform/linux/session/SessionKind.h"
#include "platform/linux/session/SysfsRoot.h"
#include "tools/nuvlet-ddc/BusCache.h"
#include "tools/nuvlet-ddc/Command.h"
#include "tools/nuvlet-ddc/Ddc.h"
#include "tools/nuvlet-ddc/DrmOutputs.h"
#include "tools/nuvlet-ddc/Edid.h"
#include "tools/nuvlet-ddc/Randr.h"

namespace {

using namespace nuvlet::ddc;

int answerFd = STDOUT_FILENO;
int reasonFd = STDERR_FILENO;

void writeAll(int fd, std::string text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

int fail(std::string reason, int status = 1) {
  for (char& c : reason) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  writeAll(reasonFd, "nuvlet-ddc: " + reason + "\n");
  return status;
}

// libddcutil writes to stdout and stderr from its load-time constructor and from
// its calls. Its load-time text still sits in stdio's buffer when stdout is a pipe:
// drop it, and send both descriptors to /dev/null for the rest of the run.
void silenceLibraryOutput() {
  __fpurge(stdout);
  __fpurge(stderr);
  answerFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  reasonFd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
}

// Where display ids come from: RandR in an X11 session. In a Wayland session XWayland
// numbers its outputs its own way, so the ids are the DRM connectors' there.
bool useRandr() {
  return nuvlet::linux_platform::sessionKindFromEnvironment() ==
         nuvlet::linux_platform::SessionKind::X11;
}

std::string displayName(std::uint32_t output) {
  return (useRandr() ? "RandR output " : "display ") + std::to_string(output);
}

// The connected outputs, or nothing with the reason.
std::optional<std::vector<RandrOutput>> connectedOutputs(std::string& why) {
  if (!useRandr()) return drmOutputs(nuvlet::linux_platform::sysfsRootFromEnvironment());
  auto x = Randr::connect(why);
  if (!x) return std::nullopt;
  return x->connectedOutputs();
}

const char* kNoI2c = "no I2C devices (/dev/i2c-*): load the i2c-dev module and allow access to it";

// The monitor showing `output`: on the bus the kernel links to its connector, else on
// the bus the cache names, else by full detection. `alike` connected outputs carry the
// same EDID; the cache cannot tell those apart.
std::optional<DdcMonitor> findMonitor(Ddc& ddc, BusCache& cache, const RandrOutput& output,
                                      std::size_t alike, std::string& why) {
  const std::string edid = edidKey(output.edid);
  const std::string key = output.name + " " + edid;
  auto shows = [&](const std::optional<DdcMonitor>& m) {
    return m && m->answers && edidKey(m->edid) == edid;
  };
  if (output.bus) {
    if (auto m = ddc.onBus(*output.bus); shows(m)) return m;
  } else if (auto bus = cache.busFor(key)) {
    if (auto m = ddc.onBus(*bus); shows(m) && alike == 1) return m;
    cache.forget(key);
  }
  auto all = ddc.detect();
  std::vector<Bytes> edids;
  for (const auto& m : all) edids.push_back(m.edid);
  auto match = matchEdid(output.edid, edids);
  if (!match.index) {
    why = match.matches > 1 ? std::to_string(match.matches) + " monitors have the EDID of " +
                                  displayName(output.id) + "; cannot tell them apart"
                            : "no monitor on an I2C bus has the EDID of " + displayName(output.id) +
                                  " (" + std::to_string(all.size()) + " found)";
    return std::nullopt;
  }
  const DdcMonitor& m = all[*match.index];
  if (!m.answers) {
    why = "the monitor of " + displayName(output.id) + " (" + m.model + " on i2c-" +
          std::to_string(m.bus) +
          ") does not answer DDC/CI; it may be switched off in the monitor's own menu";
    return std::nullopt;
  }
  if (!output.bus) cache.remember(key, m.bus);
  return m;
}

std::size_t alikeOutputs(const std::vector<RandrOutput>& outputs, const RandrOutput& output) {
  const std::string edid = edidKey(output.edid);
  return static_cast<std::size_t>(
      std::count_if(outputs.begin(), outputs.end(),
                    [&](const RandrOutput& o) { return edidKey(o.edid) == edid; }));
}

int runLuminance(std::uint32_t id, std::optional<int> setTo) {
  std::string why;
  auto outputs = connectedOutputs(why);
  if (!outputs) return fail(why);
  auto output = std::find_if(outputs->begin(), outputs->end(),
                             [&](const RandrOutput& o) { return o.id == id; });
  if (output == outputs->end()) {
    return fail(useRandr() ? "RandR output " + std::to_string(id) + " is not a connected output"
                           : "no connected display has id " + std::to_string(id));
  }
  if (output->edid.empty()) {
    return fail(displayName(id) + " (" + output->name + ") has no usable EDID");
  }
  if (!isEdidBaseBlock(output->edid)) return fail("the EDID of " + displayName(id) + " is damaged");
  if (!hasI2cDevices()) return fail(kNoI2c);
  Ddc ddc;
  BusCache cache(nuvlet::Paths::fromEnvironment().cacheDir() / "ddc-buses.json");
  auto monitor = findMonitor(ddc, cache, *output, alikeOutputs(*outputs, *output), why);
  cache.save();
  if (!monitor) return fail(why);
  if (setTo) {
    if (!ddc.setLuminance(*monitor, *setTo, why)) return fail(why);
    return 0;
  }
  int percent = 0;
  if (!ddc.getLuminance(*monitor, percent, why)) return fail(why);
  writeAll(answerFd, std::to_string(percent) + "\n");
  return 0;
}

int runList() {
  std::string why;
  auto outputs = connectedOutputs(why);
  if (!outputs) return fail(why);
  std::vector<RandrOutput> externals;
  for (auto& o : *outputs) {
    if (!o.builtIn) externals.push_back(o);
  }
  if (externals.empty()) {
    writeAll(answerFd, "no external output is connected\n");
    return 0;
  }
  bool i2c = hasI2cDevices();
  std::optional<Ddc> ddc;
  if (i2c) ddc.emplace();
  BusCache cache(nuvlet::Paths::fromEnvironment().cacheDir() / "ddc-buses.json");
  std::string out;
  for (const auto& o : externals) {
    std::string line = "id=" + std::to_string(o.id) + " " + o.name + ": ";
    std::optional<DdcMonitor> monitor;
    int percent = 0;
    if (!isEdidBaseBlock(o.edid)) {
      line += "no usable EDID";
    } else if (!i2c) {
      line += kNoI2c;
    } else if (!(monitor = findMonitor(*ddc, cache, o, alikeOutputs(*outputs, o), why))) {
      line += why;
    } else if (!ddc->getLuminance(*monitor, percent, why)) {
      line += monitor->model + " on i2c-" + std::to_string(monitor->bus) + ", " + why;
    } else {
      line += monitor->model + " on i2c-" + std::to_string(monitor->bus) + ", brightness " +
              std::to_string(percent) + "%";
    }
    out += line + "\n";
  }
  cache.save();
  writeAll(answerFd, out);
  return 0;
}

int run(const std::vector<std::string>& args) {
  auto command = parseCommand(args);
  if (auto* usage = std::get_if<UsageError>(&command)) return fail(usage->reason, 2);
  if (auto* get = std::get_if<GetLuminance>(&command)) return runLuminance(get->output, {});
  if (auto* set = std::get_if<SetLuminance>(&command))
    return runLuminance(set->output, set->percent);
  return runList();
}

}  // namespace

int main(int argc, char** argv) {
  silenceLibraryOutput();
  const int status = run({argv + 1, argv + argc});
  // Once loaded, libddcutil scans the graphics card's connectors on a thread of its
  // own, and its unload-time destructor frees what that thread reads: an ordinary exit
  // while the scan runs (an early answer such as a damaged EDID) crashes in it. Every
  // answer has been written with write(2) and the bus cache saved, so nothing is lost by
  // leaving without the destructors.
  std::_Exit(status);
}
