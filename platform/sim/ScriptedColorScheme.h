#pragma once

#include <functional>
#include <utility>

#include "nuvlet/platform/ColorScheme.h"

namespace nuvlet::sim {

// A desktop colour preference the test sets; change() notifies like the desktop would.
class ScriptedColorScheme final : public ColorScheme {
 public:
  explicit ScriptedColorScheme(Preference preference = Preference::NoPreference)
      : preference_(preference) {}

  Preference preference() const override { return preference_; }
  void setOnChange(std::function<void()> onChange) override { onChange_ = std::move(onChange); }

  void change(Preference preference) {
    preference_ = preference;
    if (auto notify = onChange_) notify();
  }

 private:
  Preference preference_;
  std::function<void()> onChange_;
};

}  // namespace nuvlet::sim
