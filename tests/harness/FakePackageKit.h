#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/harness/DbusMock.h"

namespace nuvlet::test {

// A stand-in for the PackageKit daemon on a private bus (tests/harness/packagekit.py, a
// python3-dbusmock template): CreateTransaction hands out a new transaction object, and
// each transaction method answers at once and then plays its script as signals, the way
// the daemon does (Package..., ErrorCode, Finished, Destroy).
class FakePackageKit {
 public:
  struct Script {
    std::vector<std::pair<std::uint32_t, std::string>> packages{};  // (info, package id)
    std::optional<std::pair<std::uint32_t, std::string>> error{};   // ErrorCode
    std::uint32_t exit = 1;                                         // Finished: success
    bool hang = false;                                              // never finishes
    bool vanish = false;  // the daemon dies instead of finishing
  };

  explicit FakePackageKit(std::string busAddress) : address_(std::move(busAddress)) {}

  // Starts the daemon, which takes its name; true once it has.
  bool own();
  // What a method (RefreshCache, GetUpdates, UpdatePackages) plays; unset: success. A
  // successful UpdatePackages takes what it installed out of GetUpdates' answer.
  void script(const std::string& method, Script script);

  // Every call on a transaction, as "Method args" (args printed by GVariant).
  std::vector<std::string> calls();
  // How many of them begin with `prefix` ("UpdatePackages", "RefreshCache (false,)").
  int calls(const std::string& prefix);
  int transactionsCreated();

 private:
  std::string address_;
  std::map<std::string, Script> scripts_;  // until the daemon starts
  std::unique_ptr<DbusMock> daemon_;
  std::vector<std::string> calls_;  // CreateTransaction included
};

}  // namespace nuvlet::test
