#pragma once

#include <filesystem>
#include <functional>

namespace nuvlet {

// Every place on disk the system reads or writes, resolved once. No component
// builds a path of its own.
class Paths {
 public:
  using Getenv = std::function<const char*(const char*)>;

  // The XDG base directories of the current user. A variable that is unset,
  // empty or relative is ignored and its default below $HOME is used.
  static Paths fromEnvironment(const Getenv& getenv);
  static Paths fromEnvironment();

  // All four base directories inside one root (tests, simulation).
  static Paths under(const std::filesystem::path& root);

  Paths(std::filesystem::path dataHome, std::filesystem::path stateHome,
        std::filesystem::path configHome, std::filesystem::path cacheHome);

  const std::filesystem::path& dataHome() const { return dataHome_; }
  const std::filesystem::path& stateHome() const { return stateHome_; }
  const std::filesystem::path& configHome() const { return configHome_; }
  const std::filesystem::path& cacheHome() const { return cacheHome_; }

  // $XDG_DATA_HOME/nuvlet: the learned model and the daily statistics.
  std::filesystem::path dataDir() const { return dataHome_ / "nuvlet"; }
  // $XDG_STATE_HOME/nuvlet: the adjustment log and telemetry.
  std::filesystem::path stateDir() const { return stateHome_ / "nuvlet"; }
  std::filesystem::path configDir() const { return configHome_ / "nuvlet"; }
  std::filesystem::path cacheDir() const { return cacheHome_ / "nuvlet"; }

  std::filesystem::path modelFile() const { return dataDir() / "brightness_model_v2.json"; }
  std::filesystem::path dailyStatsFile() const { return dataDir() / "dailystats.json"; }
  std::filesystem::path adjustmentLog() const { return stateDir() / "adjustments.csv"; }
  std::filesystem::path telemetryDir() const { return stateDir() / "telemetry"; }
  // The desktop portal's restore token: screen reading allowed without asking again.
  std::filesystem::path screencastTokenFile() const { return stateDir() / "screencast-token"; }
  std::filesystem::path settingsFile() const { return configDir() / "settings.json"; }
  std::filesystem::path autostartFile() const {
    return configHome_ / "autostart" / "nuvlet.desktop";
  }

 private:
  std::filesystem::path dataHome_;
  std::filesystem::path stateHome_;
  std::filesystem::path configHome_;
  std::filesystem::path cacheHome_;
};

}  // namespace nuvlet
