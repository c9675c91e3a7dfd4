// Attenuation and scatter primitives.
//
// Transmission through a homogeneous layer follows the Beer-Lambert law with the mass
// attenuation coefficient of a mixture taken as the mass-fraction-weighted sum of its
// elements' coefficients (the mixture rule; see e.g. J.H. Hubbell, Int. J. Appl. Radiat.
// Isot. 33 (1982) 1269). The scattered-photon energy uses the Compton wavelength shift
// Δλ = λc (1 - cos θ) (A.H. Compton, Phys. Rev. 21 (1923) 483). Coefficients are xraylib's.
#include "calyx/Filter.h"

#include <cmath>

#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr double kMicrometreToCm = 1e-4;
constexpr double kHcKeVAngstrom = 12.3984193;
constexpr double kComptonWavelengthAngstrom = 0.024266195720864605;
constexpr double kDefaultScatterAngleDegrees = 128.0;

}  // namespace

Filter Filter::create(const Element& element, double thicknessMicrometres, double density) {
  return create(Compound::createPure(element.atomicNumber()), thicknessMicrometres, density);
}

Filter Filter::create(const Compound& compound, double thicknessMicrometres, double density) {
  Filter f;
  f.compound_ = compound;
  f.thickness_ = thicknessMicrometres * kMicrometreToCm;
  f.density_ = density;
  return f;
}

double Filter::getTransmissionCoef(double energyKeV) const {
  // Density 0 takes each element at its own density, so a layer of a pure element needs
  // no configured density.
  double s = 0.0;
  for (const ElementChemistry& entry : compound_) {
    const int z = entry.element.atomicNumber();
    const double rho = (density_ == 0.0) ? detail::xrl::elementDensity(z) : density_;
    s = s + rho * (detail::xrl::csTotal(z, energyKeV) * entry.fraction);
  }
  return std::exp(-(s * thickness_));
}

double Filter::getTransmissionCoef(double energyKeV, const std::vector<Filter>& filters) {
  double t = 1.0;
  for (const Filter& f : filters) t = t * f.getTransmissionCoef(energyKeV);
  return t;
}

double filterTransmission(int atomicNumber, double thicknessMicrometres, double density,
                          double energyKeV) {
  return std::exp(((thicknessMicrometres * -kMicrometreToCm) *
                   detail::xrl::csTotal(atomicNumber, energyKeV)) *
                  density);
}

double filterTransmission(int atomicNumber, double thicknessMicrometres, double energyKeV) {
  return std::exp(detail::xrl::elementDensity(atomicNumber) *
                  ((thicknessMicrometres * -kMicrometreToCm) *
                   detail::xrl::csTotal(atomicNumber, energyKeV)));
}

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

namespace {

// Σ w σ(Z, E) / Σ w μ(Z, E) in one pass over (element, weight) pairs.
template <typename Cross, typename Visit>
double scatterShare(Cross cross, double energyKeV, Visit visit) {
  double scatter = 0.0;
  double total = 0.0;
  visit([&](int z, double w) {
    scatter = scatter + w * cross(z, energyKeV);
    total = total + w * detail::xrl::csTotal(z, energyKeV);
  });
  return scatter / total;
}

auto overCompound(const Compound& compound) {
  return [&compound](auto&& add) {
    for (const ElementChemistry& entry : compound) add(entry.element.atomicNumber(), entry.fraction);
  };
}

auto overChemistry(const Sherman::Chemistry& chemistry) {
  return [&chemistry](auto&& add) {
    for (std::size_t i = 0; i < chemistry.elements.size(); ++i)
      add(chemistry.elements[i].atomicNumber(), chemistry.fractions[i]);
  };
}

}  // namespace

double comptonScatterCoefficient(const Compound& compound, double energyKeV) {
  return scatterShare(detail::xrl::csCompt, energyKeV, overCompound(compound));
}

double comptonScatterCoefficient(const Sherman::Chemistry& chemistry, double energyKeV) {
  return scatterShare(detail::xrl::csCompt, energyKeV, overChemistry(chemistry));
}

double rayleahScatterCoefficient(const Compound& compound, double energyKeV) {
  return scatterShare(detail::xrl::csRayl, energyKeV, overCompound(compound));
}

double rayleahScatterCoefficient(const Sherman::Chemistry& chemistry, double energyKeV) {
  return scatterShare(detail::xrl::csRayl, energyKeV, overChemistry(chemistry));
}

}  // namespace calyx
