#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/harness/FakeBusService.h"

namespace nuvlet::test {

// A stand-in for the PackageKit daemon on a private bus: CreateTransaction hands out a
// new transaction object, and each transaction method answers at once and then plays
// its script as signals, the way the daemon does (Package..., ErrorCode, Finished,
// Destroy), from the one connection that owns the name.
class FakePackageKit : public FakeBusService {
 public:
  struct Script {
    std::vector<std::pair<std::uint32_t, std::string>> packages;  // (info, package id)
    std::optional<std::pair<std::uint32_t, std::string>> error;   // ErrorCode
    std::uint32_t exit = 1;                                       // Finished: success
    bool hang = false;                                            // never finishes
    bool vanish = false;  // the daemon dies instead of finishing
  };

  explicit FakePackageKit(const std::string& busAddress);

  bool own() { return FakeBusService::own("org.freedesktop.PackageKit"); }
  // What a method (RefreshCache, GetUpdates, UpdatePackages) plays; unset: success. A
  // successful UpdatePackages takes what it installed out of GetUpdates' answer.
  void script(const std::string& method, Script script);

  // Every call on a transaction, as "Method" or "Method args" (args printed by GVariant).
  std::vector<std::string> calls();
  int transactionsCreated();

 private:
  void play(const std::string& path, const Script& script);
  void installed(GVariant* parameters);

  std::mutex scriptMutex_;
  std::map<std::string, Script> scripts_;
  std::vector<std::string> calls_;
  int created_ = 0;
};

}  // namespace nuvlet::test
