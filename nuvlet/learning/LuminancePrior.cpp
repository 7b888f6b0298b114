#include "nuvlet/learning/LuminancePrior.h"

#include <algorithm>
#include <cmath>

#include "nuvlet/learning/ContentBucket.h"

namespace nuvlet {

LuminancePrior LuminancePrior::defaultRamp(double darkB, double brightB) {
  constexpr auto n = static_cast<std::size_t>(ContentBucket::lumBins);
  LuminancePrior prior;
  prior.bByLumBin.reserve(n);
  const double steps = static_cast<double>(std::max<std::size_t>(n, 2) - 1);
  for (std::size_t i = 0; i < n; ++i) {
    prior.bByLumBin.push_back(darkB + (brightB - darkB) * static_cast<double>(i) / steps);
  }
  return prior;
}

double LuminancePrior::backlight(double luminance) const {
  const auto& b = bByLumBin;
  const std::size_t n = b.size();
  if (n == 0) return 0.6;
  if (std::isnan(luminance)) luminance = 0;
  const double x = luminance * static_cast<double>(n) - 0.5;
  if (n == 1 || x <= 0) return b[0];
  if (x >= static_cast<double>(n - 1)) return b[n - 1];
  const double i = std::floor(x);
  const double t = x - i;
  const auto k = static_cast<std::size_t>(i);
  return (1 - t) * b[k] + t * b[k + 1];
}

}  // namespace nuvlet
