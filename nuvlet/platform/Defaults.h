#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nuvlet {

// The user's settings: a flat map from key to a JSON value (Boolean, number or
// string).
//
// Thread: main thread only. Reads never fail: a missing key reads as nothing.
// Writes take effect in memory at once; an adapter that persists them absorbs a
// failed write (the value still holds for this run).
class Defaults {
 public:
  virtual ~Defaults() = default;

  virtual std::optional<nlohmann::json> value(std::string_view key) const = 0;
  virtual void setValue(std::string_view key, nlohmann::json value) = 0;
  virtual void remove(std::string_view key) = 0;

  // Typed reads: the fallback when the key is missing or holds another type.
  bool boolOr(std::string_view key, bool fallback) const;
  double numberOr(std::string_view key, double fallback) const;
  std::string stringOr(std::string_view key, std::string_view fallback) const;
};

// Settings kept in memory only (tests, simulation).
class MemoryDefaults final : public Defaults {
 public:
  MemoryDefaults() = default;
  explicit MemoryDefaults(nlohmann::json initial);

  std::optional<nlohmann::json> value(std::string_view key) const override;
  void setValue(std::string_view key, nlohmann::json value) override;
  void remove(std::string_view key) override;

 private:
  nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace nuvlet
