#pragma once

namespace nuvlet {

// What kind of picture is on screen, in five numbers.
struct ContentSignature {
  double pctDark = 0;    // share of pixels with relative luminance below 0.2
  double pctBright = 0;  // share of pixels with relative luminance above 0.8
  double mean = 0;       // mean relative luminance, 0 to 1
  double chroma = 0;     // max minus min of the mean red, green and blue
  double warmCool = 0;   // mean red minus mean blue, -1 to 1

  // Used wherever no signature is available: only the luminance is known.
  static constexpr ContentSignature neutral(double luminance) {
    return ContentSignature{0, 0, luminance, 0, 0};
  }

  friend bool operator==(const ContentSignature&, const ContentSignature&) = default;
};

}  // namespace nuvlet
