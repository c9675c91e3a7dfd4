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
  /// The physics of the tube: `Default` is the model described above; `Ebel` is H. Ebel's
  /// (X-Ray Spectrom. 28 (1999) 255 for the continuum and K lines, 32 (2003) 46 for the L
  /// lines), with the electrons at normal incidence, the anode's self-absorption over the
  /// mean depth of photon generation and the exit window, in photons / (s sr mA) per point.
  enum class Model { Default, Ebel };

  /// No filters, step 0.05 keV, voltage 0 and an empty hardware record until set.
  TubeSpectrumCreator() = default;

  void setHardware(const TubeHardware& hardware) { hardware_ = hardware; }  ///< copied
  void setFilters(const std::vector<Filter>& filters) { filters_ = filters; }  ///< copied
  void setVoltage(double kV) { voltage_ = kV; }  ///< also the highest photon energy, keV
  double getVoltage() const { return voltage_; }
  void setStepSize(double keV) { stepSize_ = keV; }  ///< continuum grid step
  double getStepSize() const { return stepSize_; }
  /// Opt-in: each continuum point holds the continuum (window and filters applied) integrated
  /// over its bin [E - step/2, E + step/2] in sub-bins of at most 0.01 keV, between 1 keV and the
  /// voltage, so that the total excitation does not depend on the step. Off (the default):
  /// the value at the bin centre times the bin's width in wavelength. The Ebel model always
  /// integrates.
  void setIntegratedBins(bool on) { integratedBins_ = on; }
  bool integratedBins() const { return integratedBins_; }
  void setModel(Model model) { model_ = model; }
  Model model() const { return model_; }
  /// The electrons' incidence on the anode surface (Ebel model only; default 90 degrees).
  void setElectronIncidence(Angle angle) { electronIncidence_ = angle; }

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
  /// The continuum integrated over each bin of `spectrum`'s points (see setIntegratedBins).
  void integrateContinuum(SpectrumBase<double>& spectrum) const;
  /// Ebel's continuum density at `energies`, photons / (s sr mA keV), window and filters
  /// applied.
  void ebelContinuumDensity(const std::vector<double>& energies, std::vector<double>& out) const;
  DiscreteSpectrum<double> ebelLines() const;

  TubeHardware hardware_;
  std::vector<Filter> filters_;
  double voltage_ = 0.0;
  double stepSize_ = 0.05;
  bool integratedBins_ = false;
  Model model_ = Model::Default;
  Angle electronIncidence_ = Angle::createFromDegrees(90.0);
};

}  // namespace calyx

#endif  // CALYX_TUBESPECTRUM_H
