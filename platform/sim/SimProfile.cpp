#include "platform/sim/SimProfile.h"

#include <cmath>
#include <functional>
#include <set>
#include <vector>

namespace nuvlet::sim {
namespace {

struct Member {
  const char* name;
  // Range checks keep the simulation away from nonsense (a negative tolerance would
  // make the user correct forever).
  double min;
  double max;
  std::function<double&(SimProfile&)> field;
};

const std::vector<Member>& userMembers() {
  static const std::vector<Member> members = {
      {"baseEmitted", 0.001, 1, [](SimProfile& p) -> double& { return p.user.baseEmitted; }},
      {"ambientExponent", 0, 2, [](SimProfile& p) -> double& { return p.user.ambientExponent; }},
      {"contentExponent", 0, 1, [](SimProfile& p) -> double& { return p.user.contentExponent; }},
      {"eveningDimming", 0, 0.9, [](SimProfile& p) -> double& { return p.user.eveningDimming; }},
      {"dailyNoise", 0, 1, [](SimProfile& p) -> double& { return p.user.dailyNoise; }},
      {"tolerance", 0.05, 2, [](SimProfile& p) -> double& { return p.user.tolerance; }},
      {"patienceSeconds", 0, 3600, [](SimProfile& p) -> double& { return p.user.patienceSeconds; }},
      {"keyShare", 0, 1, [](SimProfile& p) -> double& { return p.user.keyShare; }},
  };
  return members;
}

const std::vector<Member>& worldMembers() {
  static const std::vector<Member> members = {
      {"wakeHour", 0, 24, [](SimProfile& p) -> double& { return p.world.wakeHour; }},
      {"sleepHour", 0, 24, [](SimProfile& p) -> double& { return p.world.sleepHour; }},
      {"sunriseHour", 0, 24, [](SimProfile& p) -> double& { return p.world.sunriseHour; }},
      {"sunsetHour", 0, 24, [](SimProfile& p) -> double& { return p.world.sunsetHour; }},
      {"daylightLux", 0, 100000, [](SimProfile& p) -> double& { return p.world.daylightLux; }},
      {"lampLux", 0, 10000, [](SimProfile& p) -> double& { return p.world.lampLux; }},
      {"cloudiness", 0, 1, [](SimProfile& p) -> double& { return p.world.cloudiness; }},
      {"backlightGamma", 0.3, 4, [](SimProfile& p) -> double& { return p.world.backlightGamma; }},
      {"backlightFloor", 0, 0.5, [](SimProfile& p) -> double& { return p.world.backlightFloor; }},
  };
  return members;
}

bool readNumber(const nlohmann::json& object, const std::string& path, const Member& m,
                SimProfile& profile, std::string& error) {
  const std::string where = path + "." + m.name;
  auto it = object.find(m.name);
  if (it == object.end()) {
    error = where + ": missing";
    return false;
  }
  if (!it->is_number()) {
    error = where + ": expected a number";
    return false;
  }
  const double v = it->get<double>();
  if (!std::isfinite(v) || v < m.min || v > m.max) {
    char buf[96];
    std::snprintf(buf, sizeof buf, ": %g is outside %g to %g", v, m.min, m.max);
    error = where + buf;
    return false;
  }
  m.field(profile) = v;
  return true;
}

bool rejectUnknown(const nlohmann::json& object, const std::string& path,
                   const std::set<std::string>& known, std::string& error) {
  for (const auto& [key, value] : object.items()) {
    if (!known.contains(key)) {
      error = path + "." + key + ": unknown member";
      return false;
    }
  }
  return true;
}

bool readUser(const nlohmann::json& user, SimProfile& profile, std::string& error) {
  std::set<std::string> known = {"contentFactor"};
  for (const Member& m : userMembers()) {
    known.insert(m.name);
    if (!readNumber(user, "user", m, profile, error)) return false;
  }
  auto factors = user.find("contentFactor");
  if (factors == user.end()) {
    error = "user.contentFactor: missing";
    return false;
  }
  if (!factors->is_object()) {
    error = "user.contentFactor: expected an object of the four content kinds";
    return false;
  }
  std::set<std::string> kinds;
  for (std::size_t k = 0; k < kContentKindNames.size(); ++k) {
    kinds.insert(kContentKindNames[k]);
    Member m{kContentKindNames[k], 0.05, 20,
             [k](SimProfile& p) -> double& { return p.user.contentFactor[k]; }};
    if (!readNumber(*factors, "user.contentFactor", m, profile, error)) return false;
  }
  if (!rejectUnknown(*factors, "user.contentFactor", kinds, error)) return false;
  return rejectUnknown(user, "user", known, error);
}

bool readWorld(const nlohmann::json& world, SimProfile& profile, std::string& error) {
  std::set<std::string> known = {"backlightSteps"};
  for (const Member& m : worldMembers()) {
    known.insert(m.name);
    if (!readNumber(world, "world", m, profile, error)) return false;
  }
  double steps = 0;
  Member stepsMember{"backlightSteps", 2, 100000,
                     [&steps](SimProfile&) -> double& { return steps; }};
  if (!readNumber(world, "world", stepsMember, profile, error)) return false;
  if (steps != std::floor(steps)) {
    error = "world.backlightSteps: expected a whole number";
    return false;
  }
  profile.world.backlightSteps = static_cast<int>(steps);
  const SimProfile::World& w = profile.world;
  if (!(w.wakeHour < w.sleepHour)) {
    error = "world.sleepHour: must come after world.wakeHour on the same day";
    return false;
  }
  if (!(w.sunriseHour < w.sunsetHour)) {
    error = "world.sunsetHour: must come after world.sunriseHour";
    return false;
  }
  return rejectUnknown(world, "world", known, error);
}

}  // namespace

nlohmann::json SimProfile::toJson() const {
  SimProfile copy = *this;
  nlohmann::json j;
  for (const Member& m : userMembers()) j["user"][m.name] = m.field(copy);
  for (std::size_t k = 0; k < kContentKindNames.size(); ++k) {
    j["user"]["contentFactor"][kContentKindNames[k]] = user.contentFactor[k];
  }
  for (const Member& m : worldMembers()) j["world"][m.name] = m.field(copy);
  j["world"]["backlightSteps"] = world.backlightSteps;
  return j;
}

std::optional<SimProfile> parseProfile(const std::string& text, std::string& error) {
  const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
  if (root.is_discarded()) {
    error = "not valid JSON";
    return std::nullopt;
  }
  if (!root.is_object()) {
    error = "expected an object with the members user and world";
    return std::nullopt;
  }
  SimProfile profile;
  for (const char* part : {"user", "world"}) {
    auto it = root.find(part);
    if (it == root.end()) {
      error = std::string(part) + ": missing";
      return std::nullopt;
    }
    if (!it->is_object()) {
      error = std::string(part) + ": expected an object";
      return std::nullopt;
    }
  }
  if (!readUser(root["user"], profile, error) || !readWorld(root["world"], profile, error)) {
    return std::nullopt;
  }
  for (const auto& [key, value] : root.items()) {
    if (key != "user" && key != "world") {
      error = key + ": unknown member";
      return std::nullopt;
    }
  }
  return profile;
}

}  // namespace nuvlet::sim
