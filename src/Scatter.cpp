// Photon scatter. The scattered-photon energy uses the Compton wavelength shift
// Δλ = λc (1 - cos θ) (A.H. Compton, Phys. Rev. 21 (1923) 483); cross sections are xraylib's.
#include "calyx/Scatter.h"

#include <cmath>

#include "detail/ScatterShare.h"
#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr double kHcKeVAngstrom = 12.3984193;
constexpr double kComptonWavelengthAngstrom = 0.024266195720864605;
constexpr double kDefaultScatterAngleDegrees = 128.0;

auto overCompound(const Compound& compound) {
  return [&compound](auto&& add) {
    for (const ElementChemistry& entry : compound) add(entry.element.atomicNumber(), entry.fraction);
  };
}

}  // namespace

double comptonScatterEnergy(const Angle& angle, double energyKeV) {
  // The shift is subtracted from the wavelength: the energy assigned lies above E for every
  // angle with cos θ < 1. The light-element calibration is built on this convention.
  const double lambda = kHcKeVAngstrom / energyKeV;
  const double shifted = lambda - kComptonWavelengthAngstrom * (1.0 - std::cos(angle.radians()));
  // A wavelength of 0 or below (E at or past hc / shift, or E not above 0) has no energy.
  if (!(energyKeV > 0.0) || !(shifted > 0.0)) return std::nan("");
  return kHcKeVAngstrom / shifted;
}

double comptonScatterEnergy(double energyKeV) {
  return comptonScatterEnergy(Angle::createFromDegrees(kDefaultScatterAngleDegrees), energyKeV);
}

double comptonScatterCoefficient(const Compound& compound, double energyKeV) {
  return detail::scatterShare(detail::xrl::csCompt, energyKeV, overCompound(compound));
}

double rayleahScatterCoefficient(const Compound& compound, double energyKeV) {
  return detail::scatterShare(detail::xrl::csRayl, energyKeV, overCompound(compound));
}

}  // namespace calyx
