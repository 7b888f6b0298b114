#include "nuvlet/platform/Defaults.h"

#include <utility>

namespace nuvlet {

bool Defaults::boolOr(std::string_view key, bool fallback) const {
  auto v = value(key);
  return v && v->is_boolean() ? v->get<bool>() : fallback;
}

double Defaults::numberOr(std::string_view key, double fallback) const {
  auto v = value(key);
  return v && v->is_number() ? v->get<double>() : fallback;
}

std::string Defaults::stringOr(std::string_view key, std::string_view fallback) const {
  auto v = value(key);
  return v && v->is_string() ? v->get<std::string>() : std::string(fallback);
}

MemoryDefaults::MemoryDefaults(nlohmann::json initial) {
  if (initial.is_object()) values_ = std::move(initial);
}

std::optional<nlohmann::json> MemoryDefaults::value(std::string_view key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

void MemoryDefaults::setValue(std::string_view key, nlohmann::json value) {
  values_[std::string(key)] = std::move(value);
}

void MemoryDefaults::remove(std::string_view key) { values_.erase(std::string(key)); }

}  // namespace nuvlet
