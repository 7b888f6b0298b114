// The incremental fit cache: after any sequence of appends, torn lines, rewrites in
// place or by rename, truncations and deletions of record files, a fit through the
// cache equals a fit of the same files from scratch.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "nuvlet/learning/ModelFitter.h"

using namespace nuvlet;

namespace {

constexpr double kNow = 1796558400.0;

// Rows the fitter learns from, so that most operations change the model.
std::string telemetryRow(FuzzedDataProvider& in) {
  char row[200];
  std::snprintf(row, sizeof row,
                "{\"t\":%d,\"auto_on\":%s,\"lum_slow\":%.3f,\"brightness\":%.3f,"
                "\"sig_dark\":%.2f,\"amb_avail\":true,\"amb_norm\":%.2f}\n",
                1796500000 + in.ConsumeIntegralInRange(0, 86400),
                in.ConsumeIntegralInRange(0, 7) == 0 ? "true" : "false",
                in.ConsumeProbability<double>(), in.ConsumeProbability<double>(),
                in.ConsumeProbability<double>(), in.ConsumeProbability<double>());
  return row;
}

std::string logRow(FuzzedDataProvider& in) {
  char row[200];
  std::snprintf(row, sizeof row, "2026-12-05T%02d:00:00Z,%s,0.4,%.3f,%.3f,0.5,app,0.1,0.2,0.3,0,\n",
                in.ConsumeIntegralInRange(0, 23), in.ConsumeBool() ? "scroll" : "system_key",
                in.ConsumeProbability<double>(), in.ConsumeProbability<double>());
  return row;
}

void append(const std::filesystem::path& file, const std::string& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  (void)!::write(fd, bytes.data(), bytes.size());
  ::close(fd);
}

// Moves the modification time on, as a later write would, even on a file system
// whose clock has not ticked since the last one.
void touchLater(const std::filesystem::path& file, std::int64_t& fakeSeconds) {
  const struct timespec times[2] = {{fakeSeconds, 0}, {fakeSeconds, 0}};
  ++fakeSeconds;
  ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

bool sameFit(const FitResult& a, const FitResult& b) {
  return a.model == b.model && a.telemetryObservations == b.telemetryObservations &&
         a.logObservations == b.logObservations && a.telemetryFiles == b.telemetryFiles &&
         a.skippedFiles == b.skippedFiles;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto dir = fuzz::freshScratch();
  const FitSources sources{dir / "telemetry", dir / "adjustments.csv"};
  std::filesystem::create_directories(sources.telemetryDir);
  const std::array<std::filesystem::path, 4> files = {
      sources.adjustmentLog, sources.telemetryDir / "telemetry-2026-12-03.jsonl",
      sources.telemetryDir / "telemetry-2026-12-04.jsonl",
      sources.telemetryDir / "telemetry-2026-12-05.jsonl"};
  FitCache cache;
  std::int64_t fakeSeconds = 1700000000;

  while (in.remaining_bytes() > 0) {
    const std::size_t which = in.ConsumeIntegralInRange<std::size_t>(0, files.size() - 1);
    const auto& file = files[which];
    const bool isLog = which == 0;
    switch (in.ConsumeIntegralInRange(0, 7)) {
      case 0:  // a whole row
        append(file, isLog ? logRow(in) : telemetryRow(in));
        break;
      case 1:  // any bytes: damage, or a row torn by a crash and its rest later
        append(file, in.ConsumeRandomLengthString(256));
        break;
      case 2: {  // rewritten in place
        const std::string bytes = in.ConsumeRandomLengthString(512);
        fuzz::writeFile(file, bytes);
        touchLater(file, fakeSeconds);
        break;
      }
      case 3: {  // replaced by a new file
        const auto next = file.string() + ".new";
        fuzz::writeFile(next, in.ConsumeRandomLengthString(512));
        std::filesystem::rename(next, file);
        break;
      }
      case 4: {  // cut short
        std::error_code ec;
        const auto length = std::filesystem::file_size(file, ec);
        if (!ec) {
          std::filesystem::resize_file(file, in.ConsumeIntegralInRange<std::uintmax_t>(0, length),
                                       ec);
        }
        break;
      }
      case 5: {
        std::error_code ec;
        std::filesystem::remove(file, ec);
        break;
      }
      default: {
        const FitResult cached = ModelFitter::fit(sources, kNow, &cache);
        const FitResult fresh = ModelFitter::fit(sources, kNow);
        FUZZ_CHECK(sameFit(cached, fresh));
        break;
      }
    }
  }
  const FitResult cached = ModelFitter::fit(sources, kNow, &cache);
  const FitResult fresh = ModelFitter::fit(sources, kNow);
  FUZZ_CHECK(sameFit(cached, fresh));
  return 0;
}
