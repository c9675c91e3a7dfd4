/// @file
/// Photon scatter: the energy of a Compton-scattered photon and the Compton and Rayleigh
/// shares of a composition's attenuation. The same shares over a Sherman model's chemistry
/// are declared beside the model (Sherman.h).
///
/// Units: energy keV, cross sections cm²/g (xraylib's CS_Total, CS_Compt, CS_Rayl). Functions
/// are stateless and free of input checks (data xraylib cannot give enter as 0; nothing is
/// logged), so they may be called from any thread.
#ifndef CALYX_SCATTER_H
#define CALYX_SCATTER_H

#include "calyx/Chemistry.h"
#include "calyx/XRFLine.h"
#include "calyx/export.h"

namespace calyx {

/// Energy assigned to a photon of energy E scattered through `angle`:
/// hc / (hc/E - λc (1 - cos θ)). The wavelength shift is subtracted (a physical Compton
/// photon loses energy; the scatter model and its calibration are built on this pairing),
/// so the result lies at or above E and grows without bound as the shift nears hc/E.
/// Domain: 0 < E < hc / (λc (1 - cos θ)), about 511 keV at 90 degrees and 316 keV at
/// 128 degrees. Outside it (and for a non-finite E or angle) the result is NaN.
CALYX_EXPORT double comptonScatterEnergy(const Angle& angle, double energyKeV);
/// The same at 128 degrees (domain below about 316 keV).
CALYX_EXPORT double comptonScatterEnergy(double energyKeV);

/// Σ w σC(E) / Σ w μ(E): the Compton share of the attenuation (weights not normalised;
/// NaN for an empty composition).
CALYX_EXPORT double comptonScatterCoefficient(const Compound& compound, double energyKeV);
/// Σ w σR(E) / Σ w μ(E): the Rayleigh share.
CALYX_EXPORT double rayleahScatterCoefficient(const Compound& compound, double energyKeV);

}  // namespace calyx

#endif  // CALYX_SCATTER_H
