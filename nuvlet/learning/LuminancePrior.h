#pragma once

#include <vector>

namespace nuvlet {

// The fallback ramp: a preferred backlight per luminance band, each value sitting
// at the centre of its band.
struct LuminancePrior {
  std::vector<double> bByLumBin;

  // A straight line from darkB in band 0 to brightB in the last of the eight bands.
  static LuminancePrior defaultRamp(double darkB = 0.75, double brightB = 0.45);

  // Interpolates between band centres and is flat beyond the outer ones. 0.6 for an
  // empty ramp. A NaN luminance is taken as 0; infinities land on the outer values.
  double backlight(double luminance) const;

  friend bool operator==(const LuminancePrior&, const LuminancePrior&) = default;
};

}  // namespace nuvlet
