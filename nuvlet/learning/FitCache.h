#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "nuvlet/learning/BrightnessModel.h"
#include "nuvlet/learning/FitSample.h"

namespace nuvlet {

// The contribution of one record file to earlier fits, as read so far. Outside FitCache
// so that it is complete where std::optional<FitCache::Entry> needs it (clang).
struct FitCacheEntry {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;  // bytes the last fit saw
  std::int64_t mtimeNanos = 0;
  std::uint64_t parsedEnd = 0;     // end of the last complete line read
  std::uint64_t headHash = 0;      // of the first bytes before parsedEnd
  std::uint64_t tailHash = 0;      // of the last bytes before parsedEnd
  bool invalidUtf8 = false;        // the read part is not UTF-8: the file counts for nothing
  bool headerSeen = false;         // adjustment log: its first non-empty line has passed
  std::vector<FitSample> samples;  // from the complete lines
};

// What each record file contributed to earlier fits, so that a refit parses only
// what is new. Past day files never change and today's only grows; an entry is
// reused while the file keeps its identity (device and inode), has not shrunk, and
// the bytes at the start and at the end of the part already read are unchanged. A
// file whose size stayed the same while its modification time moved was rewritten
// and is read again whole. Only complete lines are kept: a last line without its
// line feed is read afresh by every fit.
//
// Thread-safe: a fit holds the cache for its whole run, so overlapping fits take
// turns.
class FitCache {
 public:
  FitCache() = default;
  FitCache(const FitCache&) = delete;
  FitCache& operator=(const FitCache&) = delete;

  using Entry = FitCacheEntry;

 private:
  friend class ModelFitter;
  std::mutex mutex_;
  std::map<std::string, Entry> telemetry_;  // by file name
  std::optional<Entry> log_;
  // The last fit's model and the state of every file it came from: when a refit reads
  // nothing new from the same files, the grouping and medians need not be redone.
  std::vector<std::uint64_t> lastState_;
  std::optional<BrightnessModel> lastModel_;
};

}  // namespace nuvlet
