// A fit that reuses what earlier fits read must equal a fit from nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "tests/learning_fit/FitTestSupport.h"

namespace nuvlet {
namespace {

using test::kHeader;
using test::Records;

class History {
 public:
  explicit History(const Records& r) : r_(r) { std::filesystem::create_directories(dir()); }

  std::filesystem::path dir() const { return r_.dir / "telemetry"; }
  std::filesystem::path file(int i) const {
    return dir() / ("telemetry-2026-12-0" + std::to_string(i) + ".jsonl");
  }

  std::string row() {
    std::uniform_real_distribution<double> u(0, 1);
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "{\"schema\":2,\"lum_slow\":%.4f,\"brightness\":%.4f,\"sig_dark\":%.4f,"
                  "\"chroma\":%.4f,\"amb_avail\":%s,\"amb_norm\":%.4f,\"hour\":%d,"
                  "\"auto_on\":%s}\n",
                  u(rng_), u(rng_), u(rng_), u(rng_) * 0.3, u(rng_) < 0.5 ? "true" : "false",
                  u(rng_), static_cast<int>(u(rng_) * 24), u(rng_) < 0.3 ? "true" : "false");
    return buf;
  }
  std::string logLine() {
    std::uniform_real_distribution<double> u(0, 1);
    char buf[128];
    std::snprintf(buf, sizeof buf, "2026-12-0%dT%02d:09:00Z,%s,0.5,%.4f,%.4f,0.5,app\n",
                  1 + pick(8), pick(24), u(rng_) < 0.8 ? "scroll" : "auto", u(rng_), u(rng_));
    return buf;
  }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }

  static void append(const std::filesystem::path& f, const std::string& bytes,
                     int mode = O_APPEND) {
    int fd = ::open(f.c_str(), O_WRONLY | O_CREAT | mode, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ::close(fd);
  }

  // One random change of the kind records see: mostly appends, sometimes damage.
  void step(const std::filesystem::path& log) {
    const auto f = file(1 + pick(6));
    std::error_code ec;
    const auto size = std::filesystem::file_size(f, ec);
    switch (pick(12)) {
      case 4: {  // a row cut short, to be completed (or not) by a later step
        const std::string r = row();
        append(f, r.substr(0, 1 + static_cast<std::size_t>(pick(static_cast<int>(r.size()) - 1))));
        break;
      }
      case 5:
        append(f, pick(2) == 0 ? "garbage\n" : "\n\n");
        break;
      case 6:
        if (!ec && size > 0)
          std::filesystem::resize_file(f,
                                       static_cast<std::uintmax_t>(pick(static_cast<int>(size))));
        break;
      case 7: {  // rewritten in place with other rows, same length or not
        std::string text = test::readText(f);
        for (char& c : text) {
          if (c >= '0' && c <= '9' && pick(4) == 0) c = static_cast<char>('0' + pick(10));
        }
        append(f, text, O_TRUNC);
        break;
      }
      case 8: {  // replaced by a new file
        const auto tmp = dir() / "tmp";
        append(tmp, row() + row(), O_TRUNC);
        std::filesystem::rename(tmp, f);
        break;
      }
      case 9:
        std::filesystem::remove(f, ec);
        break;
      case 10:
        append(f, pick(3) == 0 ? "{\"app_name\":\"\xff\"}\n" : "\xe2\x82");
        break;
      case 11: {
        std::string lines = std::filesystem::exists(log) || pick(3) > 0 ? "" : kHeader;
        for (int i = pick(5); i >= 0; --i) lines += logLine();
        if (pick(5) == 0) lines.resize(lines.size() - 3);
        append(log, lines);
        break;
      }
      default: {  // 0 to 3
        std::string rows;
        for (int i = pick(20); i >= 0; --i) rows += row();
        append(f, rows);
      }
    }
  }

 private:
  const Records& r_;
  std::mt19937 rng_{20261205};
};

TEST(IncrementalFit, EqualsAFitFromScratchThroughAppendsRewritesAndDamage) {
  Records r;
  History h(r);
  FitCache cache;
  std::uint64_t cachedBytes = 0, scratchBytes = 0;
  for (int i = 0; i < 400; ++i) {
    h.step(r.sources.adjustmentLog);
    const FitResult cached = r.fit(&cache);
    const FitResult scratch = r.fit();
    ASSERT_EQ(cached.model, scratch.model) << "step " << i;
    ASSERT_EQ(cached.telemetryObservations, scratch.telemetryObservations) << "step " << i;
    ASSERT_EQ(cached.logObservations, scratch.logObservations) << "step " << i;
    ASSERT_EQ(cached.skippedFiles, scratch.skippedFiles) << "step " << i;
    cachedBytes += cached.bytesParsed;
    scratchBytes += scratch.bytesParsed;
  }
  // The point of the cache: most bytes are read once.
  EXPECT_LT(cachedBytes * 4, scratchBytes);
}

TEST(IncrementalFit, ParsesOnlyWhatWasAppended) {
  Records r;
  History h(r);
  std::string rows;
  for (int i = 0; i < 100; ++i) rows += h.row();
  History::append(h.file(1), rows);
  FitCache cache;
  EXPECT_EQ(r.fit(&cache).bytesParsed, rows.size());
  EXPECT_EQ(r.fit(&cache).bytesParsed, 0u);
  const std::string more = h.row() + "{\"lum_slow\":0.5";
  History::append(h.file(1), more);
  EXPECT_EQ(r.fit(&cache).bytesParsed, more.size());
  // The incomplete last line is read again until it is complete.
  EXPECT_EQ(r.fit(&cache).bytesParsed, std::string("{\"lum_slow\":0.5").size());
}

TEST(IncrementalFit, ARewriteOfTheSameSizeIsNoticed) {
  Records r;
  History h(r);
  History::append(h.file(1), "{\"lum_slow\":0.5,\"brightness\":0.3}\n");
  FitCache cache;
  EXPECT_EQ(r.fit(&cache).model.table.begin()->second.preferredB, 0.3);
  History::append(h.file(1), "{\"lum_slow\":0.5,\"brightness\":0.7}\n", O_TRUNC);
  EXPECT_EQ(r.fit(&cache).model.table.begin()->second.preferredB, 0.7);
}

TEST(ParallelFit, SpreadingDayFilesOverThreadsChangesNothing) {
  Records r;
  History h(r);
  for (int step = 0; step < 60; ++step) h.step(r.sources.adjustmentLog);
  FitOptions one;
  one.maxThreads = 1;
  FitOptions many;
  many.parallelAbove = 0;
  many.maxThreads = 4;
  const FitResult serial = ModelFitter::fit(r.sources, 0, nullptr, one);
  for (int i = 0; i < 5; ++i) {
    FitCache cache;
    const FitResult parallel = ModelFitter::fit(r.sources, 0, &cache, many);
    EXPECT_EQ(parallel.model, serial.model);
    EXPECT_EQ(parallel.bytesParsed, serial.bytesParsed);
    EXPECT_EQ(parallel.telemetryFiles, serial.telemetryFiles);
    EXPECT_EQ(ModelFitter::fit(r.sources, 0, &cache, many).model, serial.model);
  }
}

}  // namespace
}  // namespace nuvlet
