#pragma once

#include <functional>

namespace nuvlet {

// The desktop's light or dark preference, which decides the tray glyph's colour.
//
// Thread: main thread only. preference() answers from memory; with no desktop
// settings service it answers NoPreference.
class ColorScheme {
 public:
  enum class Preference { NoPreference, Dark, Light };

  virtual ~ColorScheme() = default;
  virtual Preference preference() const = 0;
  // Called on the main thread after the preference changed.
  virtual void setOnChange(std::function<void()> onChange) = 0;
};

}  // namespace nuvlet
