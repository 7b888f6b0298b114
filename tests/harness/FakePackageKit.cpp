#include "tests/harness/FakePackageKit.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace nuvlet::test {
namespace {

nlohmann::json toJson(const FakePackageKit::Script& s) {
  nlohmann::json j{
      {"packages", s.packages}, {"exit", s.exit}, {"hang", s.hang}, {"vanish", s.vanish}};
  if (s.error) j["error"] = *s.error;
  return j;
}

}  // namespace

bool FakePackageKit::own() {
  if (!daemon_) {
    nlohmann::json scripts = nlohmann::json::object();
    for (const auto& [method, script] : scripts_) scripts[method] = toJson(script);
    daemon_ = DbusMock::fromTemplate(address_, true, "packagekit",
                                     nlohmann::json{{"scripts", scripts}}.dump());
  }
  return daemon_->running();
}

void FakePackageKit::script(const std::string& method, Script script) {
  if (!daemon_) {
    scripts_[method] = std::move(script);
    return;
  }
  GVariant* reply = daemon_->call(
      "SetScript", g_variant_new("(ss)", method.c_str(), toJson(script).dump().c_str()));
  if (reply) g_variant_unref(reply);
}

std::vector<std::string> FakePackageKit::calls() {
  if (daemon_) {
    for (auto& line : daemon_->callsSoFar("CALL")) calls_.push_back(line.substr(5));
  }
  std::vector<std::string> transaction;
  std::copy_if(calls_.begin(), calls_.end(), std::back_inserter(transaction),
               [](const std::string& c) { return c.rfind("CreateTransaction", 0) != 0; });
  return transaction;
}

int FakePackageKit::calls(const std::string& prefix) {
  const auto all = calls();
  return static_cast<int>(std::count_if(
      all.begin(), all.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; }));
}

int FakePackageKit::transactionsCreated() {
  calls();
  return static_cast<int>(std::count_if(calls_.begin(), calls_.end(), [](const std::string& c) {
    return c.rfind("CreateTransaction", 0) == 0;
  }));
}

}  // namespace nuvlet::test
