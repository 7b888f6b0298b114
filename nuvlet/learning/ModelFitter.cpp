#include "nuvlet/learning/ModelFitter.h"

#include <dirent.h>
#include <fcntl.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "nuvlet/learning/AdjustmentLogParser.h"
#include "nuvlet/learning/TelemetryLineParser.h"

namespace nuvlet {
namespace {

constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::size_t kFingerprintBytes = 4096;

enum class Kind { Telemetry, Log };

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

ssize_t preadFull(int fd, char* buf, std::size_t len, std::uint64_t offset) {
  std::size_t got = 0;
  while (got < len) {
    ssize_t n = ::pread(fd, buf + got, len - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// A cheap fingerprint; it only has to notice that bytes were rewritten.
std::uint64_t hashBytes(const char* p, std::size_t n) {
  std::uint64_t h = 0x243F6A8885A308D3ULL ^ n;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  }
  for (; i < n; ++i) {
    h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001B3ULL;
  }
  return h;
}

// Head and tail fingerprints of [0, end) of the file; nothing when it cannot be read.
std::optional<std::pair<std::uint64_t, std::uint64_t>> fingerprints(int fd, std::uint64_t end) {
  char buf[kFingerprintBytes];
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(end, sizeof buf));
  if (preadFull(fd, buf, n, 0) != static_cast<ssize_t>(n)) return std::nullopt;
  const std::uint64_t head = hashBytes(buf, n);
  if (preadFull(fd, buf, n, end - n) != static_cast<ssize_t>(n)) return std::nullopt;
  return std::make_pair(head, hashBytes(buf, n));
}

std::int64_t mtimeNanos(const struct stat& st) {
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Whether the cached part of a file can be kept: see FitCache.
bool reusable(const FitCache::Entry& e, const struct stat& st, int fd) {
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (e.device != static_cast<std::uint64_t>(st.st_dev) ||
      e.inode != static_cast<std::uint64_t>(st.st_ino) || size < e.size) {
    return false;
  }
  if (size == e.size && mtimeNanos(st) != e.mtimeNanos) return false;  // rewritten in place
  auto prints = fingerprints(fd, e.parsedEnd);
  return prints && prints->first == e.headHash && prints->second == e.tailHash;
}

// Reads record files: complete lines into their cache entry, a last line without its
// line feed into a separate list that is not kept.
class Reader {
 public:
  Reader() : buf_(kChunk + TelemetryLineParser::kPadding) {}

  struct Tail {
    std::vector<FitSample> samples;
    bool invalidUtf8 = false;
  };

  // Reads [entry.parsedEnd, end). False when a read fails.
  bool read(int fd, std::uint64_t end, Kind kind, FitCache::Entry& entry, Tail& tail,
            std::uint64_t& bytesParsed) {
    std::uint64_t bufOffset = entry.parsedEnd;
    std::size_t have = 0;
    while (bufOffset + have < end) {
      if (buf_.size() < have + kChunk + TelemetryLineParser::kPadding) {
        buf_.resize(have + kChunk + TelemetryLineParser::kPadding);
      }
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - bufOffset - have));
      const ssize_t n = preadFull(fd, buf_.data() + have, want, bufOffset + have);
      if (n < 0) return false;
      have += static_cast<std::size_t>(n);
      bytesParsed += static_cast<std::uint64_t>(n);
      if (static_cast<std::size_t>(n) < want) break;  // the file shrank while we read
      const void* nl = ::memrchr(buf_.data(), '\n', have);
      if (nl == nullptr) continue;  // a long line: read on
      const std::size_t complete =
          static_cast<std::size_t>(static_cast<const char*>(nl) - buf_.data()) + 1;
      if (!entry.invalidUtf8 && !simdjson::validate_utf8(buf_.data(), complete)) {
        entry.invalidUtf8 = true;
        entry.samples.clear();
        entry.samples.shrink_to_fit();
      }
      if (!entry.invalidUtf8) {
        lines(buf_.data(), complete, kind, entry.headerSeen, entry.samples);
      }
      entry.parsedEnd = bufOffset + complete;
      std::memmove(buf_.data(), buf_.data() + complete, have - complete);
      bufOffset += complete;
      have -= complete;
    }
    if (have > 0 && !entry.invalidUtf8) {
      tail.invalidUtf8 = !simdjson::validate_utf8(buf_.data(), have);
      bool headerSeen = entry.headerSeen;
      if (!tail.invalidUtf8) lines(buf_.data(), have, kind, headerSeen, tail.samples);
    }
    return true;
  }

 private:
  // Every line in [data, data + size); the last one may lack its line feed.
  void lines(char* data, std::size_t size, Kind kind, bool& headerSeen,
             std::vector<FitSample>& out) {
    const char* p = data;
    const char* end = data + size;
    while (p < end) {
      const char* nl =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* lineEnd = nl != nullptr ? nl : end;
      const auto len = static_cast<std::size_t>(lineEnd - p);
      if (len > 0) {
        std::optional<FitSample> sample;
        if (kind == Kind::Telemetry) {
          sample = parser_.parse(p, len);
        } else if (!headerSeen) {
          headerSeen = true;  // the header, whatever it holds
        } else {
          sample = adjustment_log::parseLine(std::string_view(p, len));
        }
        if (sample) out.push_back(*sample);
      }
      p = lineEnd + 1;
    }
  }

  std::vector<char> buf_;
  TelemetryLineParser parser_;
};

// Brings one file's cache entry up to date and returns what the fit takes from it.
// Nothing when the file cannot be read or is not UTF-8.
std::optional<const FitCache::Entry*> update(const std::filesystem::path& path, Kind kind,
                                             std::optional<FitCache::Entry>& slot, Reader& reader,
                                             std::vector<FitSample>& tailOut,
                                             std::uint64_t& bytesParsed) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    slot.reset();
    return std::nullopt;
  }
  if (!slot || !reusable(*slot, st, fd.get())) {
    slot.emplace();
    slot->device = static_cast<std::uint64_t>(st.st_dev);
    slot->inode = static_cast<std::uint64_t>(st.st_ino);
  }
  FitCache::Entry& e = *slot;
  const std::uint64_t before = e.parsedEnd;
  Reader::Tail tail;
  if (!reader.read(fd.get(), static_cast<std::uint64_t>(st.st_size), kind, e, tail, bytesParsed)) {
    slot.reset();
    return std::nullopt;
  }
  e.size = static_cast<std::uint64_t>(st.st_size);
  e.mtimeNanos = mtimeNanos(st);
  if (e.parsedEnd != before || before == 0) {
    auto prints = fingerprints(fd.get(), e.parsedEnd);
    if (!prints) {
      slot.reset();
      return std::nullopt;
    }
    e.headHash = prints->first;
    e.tailHash = prints->second;
  }
  if (e.invalidUtf8 || tail.invalidUtf8) return std::nullopt;
  tailOut = std::move(tail.samples);
  return &e;
}

std::vector<std::string> listTelemetry(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* entry = ::readdir(d)) {
    if (std::filesystem::path(entry->d_name).extension() == ".jsonl") {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The median of [first, last), reordering it; the range must not be empty.
double medianOf(double* first, double* last) {
  const auto n = static_cast<std::size_t>(last - first);
  double* mid = first + n / 2;
  std::nth_element(first, mid, last);
  if (n % 2 == 1) return *mid;
  const double lower = *std::max_element(first, mid);
  return (lower + *mid) * 0.5;
}

}  // namespace

std::optional<double> ModelFitter::median(std::vector<double>& values) {
  if (values.empty()) return std::nullopt;
  return medianOf(values.data(), values.data() + values.size());
}

LuminancePrior ModelFitter::priorFromBands(const std::array<std::optional<double>, 8>& bands) {
  if (std::none_of(bands.begin(), bands.end(), [](const auto& b) { return b.has_value(); })) {
    return LuminancePrior::defaultRamp(0.75, 0.45);
  }
  std::array<std::optional<double>, 8> filled = bands;
  for (std::size_t i = 1; i < filled.size(); ++i) {
    if (!filled[i]) filled[i] = filled[i - 1];
  }
  for (std::size_t i = filled.size() - 1; i-- > 0;) {
    if (!filled[i]) filled[i] = filled[i + 1];
  }

  struct Block {
    double value;
    double weight;
  };
  std::vector<Block> stack;
  for (auto it = filled.rbegin(); it != filled.rend(); ++it) {
    stack.push_back({**it, 1});
    while (stack.size() >= 2 && stack.back().value < stack[stack.size() - 2].value) {
      const Block top = stack.back();
      stack.pop_back();
      const Block lower = stack.back();
      const double weight = lower.weight + top.weight;
      stack.back() = {(top.value * top.weight + lower.value * lower.weight) / weight, weight};
    }
  }
  LuminancePrior prior;
  for (const Block& b : stack) {
    for (int i = 0; i < static_cast<int>(b.weight); ++i) prior.bByLumBin.push_back(b.value);
  }
  std::reverse(prior.bByLumBin.begin(), prior.bByLumBin.end());
  return prior;
}

FitResult ModelFitter::fit(const FitSources& sources, double unixNow, FitCache* cache,
                           const FitOptions& options) {
  const Progress& progress = options.progress;
  FitCache local;
  FitCache& c = cache != nullptr ? *cache : local;
  std::lock_guard lock(c.mutex_);
  FitResult result;
  Reader reader;

  // Everything the fit takes: cached samples of complete lines and fresh tails.
  std::vector<const std::vector<FitSample>*> parts;
  std::vector<std::vector<FitSample>> tails;

  const auto names = listTelemetry(sources.telemetryDir);
  struct Job {
    std::optional<FitCache::Entry> slot;
    std::vector<FitSample> tail;
    bool contributed = false;
    std::uint64_t size = 0;
  };
  std::vector<Job> jobs(names.size());
  std::uint64_t pending = 0, total = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (auto it = c.telemetry_.find(names[i]); it != c.telemetry_.end()) {
      jobs[i].slot = std::move(it->second);
    }
    struct stat st {};
    if (::stat((sources.telemetryDir / names[i]).c_str(), &st) == 0) {
      jobs[i].size = static_cast<std::uint64_t>(st.st_size);
      total += jobs[i].size;
      const std::uint64_t known = jobs[i].slot ? jobs[i].slot->parsedEnd : 0;
      pending += jobs[i].size > known ? jobs[i].size - known : 0;
    }
  }

  // Day files are independent: a fit with much to read (the first one, at start-up)
  // spreads them over the cores; a refit reads too little to be worth a thread.
  // The adjustment log is one more job, taken first: read after the day files, it
  // would keep one thread busy while the others wait.
  std::optional<const FitCache::Entry*> logEntry;
  std::vector<FitSample> logTail;
  std::atomic<std::size_t> nextJob{0};
  std::atomic<std::uint64_t> bytesDone{0};
  auto work = [&](Reader& r, std::uint64_t& bytes, bool reports) {
    for (std::size_t i; (i = nextJob.fetch_add(1)) <= jobs.size();) {
      if (i == 0) {
        logEntry = update(sources.adjustmentLog, Kind::Log, c.log_, r, logTail, bytes);
        continue;
      }
      Job& job = jobs[i - 1];
      job.contributed =
          update(sources.telemetryDir / names[i - 1], Kind::Telemetry, job.slot, r, job.tail, bytes)
              .has_value();
      bytesDone += job.size;
      if (reports && progress) progress(std::min<std::uint64_t>(bytesDone, total), total);
    }
  };
  const unsigned cores = std::max(std::thread::hardware_concurrency(), 1u);
  const unsigned helpers = pending <= options.parallelAbove || jobs.size() < 2
                               ? 0
                               : std::min(cores, std::max(options.maxThreads, 1u)) - 1;
  std::vector<std::thread> threads;
  std::vector<std::uint64_t> helperBytes(helpers, 0);
  for (unsigned h = 0; h < helpers; ++h) {
    try {
      threads.emplace_back([&, h] {
        Reader own;
        work(own, helperBytes[h], false);
      });
    } catch (const std::system_error&) {
      break;  // no thread to spare: this one reads everything
    }
  }
  work(reader, result.bytesParsed, true);
  for (auto& t : threads) t.join();
  for (std::uint64_t b : helperBytes) result.bytesParsed += b;

  tails.reserve(names.size() + 1);
  std::map<std::string, FitCache::Entry> kept;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Job& job = jobs[i];
    if (job.contributed) {
      ++result.telemetryFiles;
    } else {
      ++result.skippedFiles;
    }
    if (job.slot) {
      auto& stored = kept.emplace(names[i], std::move(*job.slot)).first->second;
      if (job.contributed) {
        parts.push_back(&stored.samples);
        result.telemetryObservations += static_cast<std::int64_t>(stored.samples.size());
      }
    }
    if (job.contributed) {
      result.telemetryObservations += static_cast<std::int64_t>(job.tail.size());
      tails.push_back(std::move(job.tail));
      parts.push_back(&tails.back());
    }
  }
  c.telemetry_ = std::move(kept);  // files that are gone leave the cache
  std::vector<std::uint64_t> state;
  auto describe = [&state](const FitCache::Entry& e, bool contributed) {
    state.insert(state.end(), {e.device, e.inode, e.size, e.parsedEnd, e.headHash, e.tailHash,
                               contributed ? 1u : 0u});
  };
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (auto it = c.telemetry_.find(names[i]); it != c.telemetry_.end()) {
      describe(it->second, jobs[i].contributed);
    } else {
      state.push_back(0);
    }
  }

  if (logEntry) {
    result.logObservations =
        static_cast<std::int64_t>((*logEntry)->samples.size() + logTail.size());
    parts.push_back(&(*logEntry)->samples);
    tails.push_back(std::move(logTail));
    parts.push_back(&tails.back());
  }
  if (c.log_) describe(*c.log_, logEntry.has_value());

  const std::int64_t observations = result.telemetryObservations + result.logObservations;
  if (result.bytesParsed == 0 && c.lastModel_ && state == c.lastState_) {
    result.model = *c.lastModel_;
    if (observations > 0) result.model.fittedAt = unixNow - kReferenceDateOffset;
    return result;
  }
  c.lastState_ = std::move(state);
  c.lastModel_.reset();
  if (observations == 0) {
    result.model = BrightnessModel::empty();
    c.lastModel_ = result.model;
    return result;
  }

  // Group the levels by bucket with a counting sort: the keys of one luminance band
  // are adjacent, so each band's levels end up side by side as well.
  std::vector<std::uint32_t> starts(bucket_key::kCount + 1, 0);
  for (const auto* part : parts) {
    for (const FitSample& s : *part) ++starts[s.bucketKey + 1];
  }
  for (std::size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
  std::vector<double> levels(static_cast<std::size_t>(observations));
  {
    std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
    for (const auto* part : parts) {
      for (const FitSample& s : *part) levels[next[s.bucketKey]++] = s.backlight;
    }
  }

  BrightnessModel& model = result.model;
  for (std::size_t k = 0; k < bucket_key::kCount; ++k) {
    if (starts[k + 1] == starts[k]) continue;
    const double m = medianOf(levels.data() + starts[k], levels.data() + starts[k + 1]);
    model.table.emplace(bucket_key::decode(static_cast<std::uint16_t>(k)),
                        BucketStat{m, static_cast<std::int64_t>(starts[k + 1] - starts[k])});
  }
  std::array<std::optional<double>, 8> bands;
  for (std::size_t b = 0; b < bands.size(); ++b) {
    const std::uint32_t first = starts[b * bucket_key::kPerLumBin];
    const std::uint32_t last = starts[(b + 1) * bucket_key::kPerLumBin];
    if (last > first) bands[b] = medianOf(levels.data() + first, levels.data() + last);
  }
  model.prior = priorFromBands(bands);
  model.fittedAt = unixNow - kReferenceDateOffset;
  model.observationCount = observations;
  c.lastModel_ = model;
  return result;
}

BrightnessModel ModelFitter::fit(const Paths& paths, const Clock& clock, FitCache* cache) {
  return fit(FitSources::from(paths), clock.now(), cache).model;
}

void ModelFitter::fitInBackground(WorkQueue& queue, RunLoop& loop, const Paths& paths,
                                  std::shared_ptr<FitCache> cache,
                                  std::function<void(BrightnessModel)> done) {
  queue.async([&loop, sources = FitSources::from(paths), cache = std::move(cache),
               done = std::move(done)]() mutable {
    BrightnessModel model = fit(sources, loop.clock().now(), cache.get()).model;
    loop.post(
        [done = std::move(done), model = std::move(model)]() mutable { done(std::move(model)); });
  });
}

}  // namespace nuvlet
