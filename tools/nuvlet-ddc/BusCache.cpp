#include "tools/nuvlet-ddc/BusCache.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "nuvlet/platform/Files.h"

namespace nuvlet::ddc {

BusCache::BusCache(std::filesystem::path file) : file_(std::move(file)) {
  auto text = files::readFile(file_, std::size_t{1} << 20);
  if (!text) return;
  auto json = nlohmann::json::parse(*text, nullptr, false);
  if (!json.is_object() || !json.contains("buses") || !json["buses"].is_array()) return;
  for (const auto& e : json["buses"]) {
    if (entries_.size() >= kMaxEntries) break;
    if (!e.is_object() || !e.contains("edid") || !e.contains("bus")) continue;
    if (!e["edid"].is_string() || !e["bus"].is_number_integer()) continue;
    auto bus = e["bus"].get<long long>();
    if (bus < 0 || bus > 1023) continue;
    entries_.emplace_back(e["edid"].get<std::string>(), static_cast<int>(bus));
  }
}

std::optional<int> BusCache::busFor(const std::string& edidKey) const {
  for (const auto& [key, bus] : entries_) {
    if (key == edidKey) return bus;
  }
  return std::nullopt;
}

void BusCache::remember(const std::string& edidKey, int bus) {
  if (!entries_.empty() && entries_.front() == std::pair(edidKey, bus)) return;
  std::erase_if(entries_, [&](const auto& e) { return e.first == edidKey || e.second == bus; });
  entries_.insert(entries_.begin(), {edidKey, bus});
  if (entries_.size() > kMaxEntries) entries_.resize(kMaxEntries);
  dirty_ = true;
}

void BusCache::forget(const std::string& edidKey) {
  auto before = entries_.size();
  std::erase_if(entries_, [&](const auto& e) { return e.first == edidKey; });
  dirty_ = dirty_ || entries_.size() != before;
}

bool BusCache::save() {
  if (!dirty_) return true;
  nlohmann::json buses = nlohmann::json::array();
  for (const auto& [key, bus] : entries_) buses.push_back({{"edid", key}, {"bus", bus}});
  nlohmann::json doc{{"version", 1}, {"buses", buses}};
  if (!files::ensureDirectory(file_.parent_path(), 0700)) return false;
  if (!files::writeAtomically(file_, doc.dump() + "\n", 0600)) return false;
  dirty_ = false;
  return true;
}

}  // namespace nuvlet::ddc
