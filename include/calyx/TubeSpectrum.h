/// @file
/// The spectrum leaving an X-ray tube and its beam filters: a bremsstrahlung continuum on a
/// uniform grid plus the anode's characteristic lines KA, KB, LA, LB.
///
/// Continuum: Kramers' law in wavelength form with a stopping-power term, an anode
/// self-absorption factor (Philibert-type, with the Lenard coefficient 4e5/(V^1.65 - E^1.65))
/// and an empirical exponent on V/(2E), after H. Ebel, X-Ray Spectrom. 28 (1999) 255 and
/// the parametrisation of Pella, Feng and Small, X-Ray Spectrom. 14 (1985) 125. Lines:
/// the continuum at the line energy times an empirical line factor b + n/(a + Z⁴) and an
/// overvoltage function. Values are relative intensities with an overall factor 1e11.
#ifndef CALYX_TUBESPECTRUM_H
#define CALYX_TUBESPECTRUM_H

#include <memory>
#include <vector>

#include "calyx/Filter.h"
#include "calyx/Hardware.h"
#include "calyx/Spectrum.h"
#include "calyx/export.h"

namespace calyx {

/// Generates a tube's excitation spectrum from the tube record, the beam filters, the tube
/// voltage and a grid step. A plain value: no shared state, nothing logged.
class CALYX_EXPORT TubeSpectrumCreator {
 public:
  /// No filters, step 0.05 keV, voltage 0 and an empty hardware record until set.
  TubeSpectrumCreator() = default;

  void setHardware(const TubeHardware& hardware) { hardware_ = hardware; }  ///< copied
  void setFilters(const std::vector<Filter>& filters) { filters_ = filters; }  ///< copied
  void setVoltage(double kV) { voltage_ = kV; }  ///< also the highest photon energy, keV
  double getVoltage() const { return voltage_; }
  void setStepSize(double keV) { stepSize_ = keV; }  ///< continuum grid step
  double getStepSize() const { return stepSize_; }

  /// Raw continuum at each point's energy over a bin of `binWidthKeV` (no filters, no 1e11);
  /// a not-a-number value is stored as 0.
  void generateContinuumSpectrumImpl(double binWidthKeV, SpectrumBase<double>& spectrum) const;
  /// The raw continuum, then the beam filters, then x 1e11.
  void generateContinuumSpectrum(double binWidthKeV, SpectrumBase<double>& spectrum) const;
  /// The characteristic lines below the voltage, after the filters, x 1e11. Lines xraylib
  /// does not have for the anode (energy 0) are left out.
  DiscreteSpectrum<double> generateDiscreteSpectrum() const;
  /// The continuum (step, 2 step, ... up to the voltage) followed by the lines.
  std::shared_ptr<SpectrumBase<double>> generateTotalSpectrum() const;

 private:
  void applyFilters(SpectrumBase<double>& spectrum) const;

  TubeHardware hardware_;
  std::vector<Filter> filters_;
  double voltage_ = 0.0;
  double stepSize_ = 0.05;
};

}  // namespace calyx

#endif  // CALYX_TUBESPECTRUM_H
