/// @file
/// Filters in the beam path and single-element layers (the scatter functions are in
/// Scatter.h, included here for the code that found them in this header).
///
/// Units: energy keV, coefficients cm²/g (xraylib's CS_Total), density
/// g/cm³, thickness given in micrometres and held in cm. Functions are stateless and free of
/// input checks (data xraylib cannot give enter as 0; nothing is logged), so they may be
/// called from any thread.
#ifndef CALYX_FILTER_H
#define CALYX_FILTER_H

#include <vector>

#include "calyx/Chemistry.h"
#include "calyx/Scatter.h"  // the scatter functions lived here once
#include "calyx/XRFLine.h"
#include "calyx/export.h"

namespace calyx {

/// A homogeneous layer in a beam path: composition, thickness (cm), density (g/cm³;
/// 0 takes each element at its own density). An empty compound transmits 1.
class CALYX_EXPORT Filter {
 public:
  Filter() = default;
  /// A pure-element layer; thickness in µm (stored x 1e-4 as cm).
  static Filter create(const Element& element, double thicknessMicrometres, double density);
  /// A layer of the compound's mass fractions (not normalised); thickness in µm.
  static Filter create(const Compound& compound, double thicknessMicrometres, double density);

  const Compound& getCompound() const { return compound_; }
  double getThickness() const { return thickness_; }  ///< cm
  double getDensity() const { return density_; }      ///< g/cm³; 0 = each element's own

  /// exp(-t Σ ρ_i w_i μ_i(E)), ρ_i the filter's density or, when that is 0, the element's.
  double getTransmissionCoef(double energyKeV) const;
  /// Product of the transmissions of the list (exactly 1 for an empty list).
  static double getTransmissionCoef(double energyKeV, const std::vector<Filter>& filters);

 private:
  Compound compound_;
  double thickness_ = 0.0;
  double density_ = 0.0;
};

/// Transmission of a layer of one element: exp(-1e-4 t μ(Z, E) ρ), t in µm.
CALYX_EXPORT double filterTransmission(int atomicNumber, double thicknessMicrometres, double density,
                                       double energyKeV);
/// The same at the element's own density (xraylib ElementDensity).
CALYX_EXPORT double filterTransmission(int atomicNumber, double thicknessMicrometres, double energyKeV);

}  // namespace calyx

#endif  // CALYX_FILTER_H
