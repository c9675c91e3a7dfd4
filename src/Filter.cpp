// Filters in the beam path.
//
// Transmission through a homogeneous layer follows the Beer-Lambert law with the mass
// attenuation coefficient of a mixture taken as the mass-fraction-weighted sum of its
// elements' coefficients (the mixture rule; see e.g. J.H. Hubbell, Int. J. Appl. Radiat.
// Isot. 33 (1982) 1269). Coefficients are xraylib's.
#include "calyx/Filter.h"

#include <cmath>

#include "detail/Xraylib.h"

namespace calyx {
namespace {

constexpr double kMicrometreToCm = 1e-4;

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

}  // namespace calyx
