/// @file
/// Spectrum fitting: a measured energy-dispersive spectrum of one beam to the net line rates,
/// uncertainties and scatter rate the engine and the calibration take; and the forward
/// direction, a synthetic spectrum of a known composition.
///
/// The model of a spectrum (docs/spectrum-fitting.md in full):
///  - one column per analysis line of the beam (and per other excited line group of the same
///    elements, fitted but not reported as a rate; a line that coincides with another
///    element's line is tied to a free line of its own element): the line's transitions with xraylib's
///    radiative rates times the detector efficiency at each transition energy, each a
///    channel-integrated Gaussian of FWHM² = noise² + 2.3548² F 3.85 eV E, plus the crystal's
///    K escape peak (Reed and Ware 1972);
///  - Rayleigh and Compton peaks of the tube anode's K (or L) lines, the Compton peak wider
///    by a fitted factor;
///  - a background of non-negative quadratic B-splines (knots 0.5 keV apart, widening to a
///    tenth of the energy above 5 keV), fitted with the peaks (a SNIP estimate gives the first
///    weights);
///  - areas by a non-negative Poisson-weighted linear least-squares solve, then Gauss-Newton
///    steps on energy offset, gain, noise, Fano factor and Compton width with the areas solved
///    again; uncertainties from the weighted covariance of areas and shape parameters.
///
/// A line's area is every photon of the line the detector absorbed (full-energy peak plus
/// escape peak), so rate = area / live time is directly comparable with the engine's
/// calibrated, efficiency-weighted prediction. Failures return 1 with the reason in the log;
/// nothing is thrown for bad content.
#ifndef CALYX_SPECTRUMFIT_H
#define CALYX_SPECTRUMFIT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calyx/Chemistry.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Hardware.h"
#include "calyx/MCAFile.h"
#include "calyx/Spectrum.h"
#include "calyx/XRFLine.h"
#include "calyx/export.h"

namespace calyx {

/// The width law of a semiconductor detector: FWHM² = noise² + 2.3548² F ε E (ε = 3.85 eV
/// per electron-hole pair in silicon), energies in eV.
struct CALYX_EXPORT DetectorResolution {
  double noiseEV = 0.0;  ///< electronic noise as a FWHM, eV
  double fano = 0.114;   ///< Fano factor

  /// The noise that gives the detector's measured FWHM at its reference energy (5.9 keV,
  /// say) with Fano factor `fano`; noise 0 when the measured width is below the Fano limit.
  static DetectorResolution fromDetector(const DetectorHardware& detector, double fano = 0.114);
  /// FWHM in keV at `energyKeV` (0 for a negative square).
  double fwhmKeV(double energyKeV) const;
};

/// Energy of channel i: offsetKeV + gainKeV x i.
struct CALYX_EXPORT EnergyScale {
  double offsetKeV = 0.0;
  double gainKeV = 0.0;
  double energyAt(double channel) const { return offsetKeV + gainKeV * channel; }
};

struct CALYX_EXPORT SpectrumFitOptions {
  double fano = 0.114;                ///< starting Fano factor
  bool escapePeaks = true;            ///< the crystal's K escape peaks
  int refinementSteps = 4;            ///< Gauss-Newton steps on the shape (0: none)
  double lowestEnergyKeV = 1.0;       ///< the fit starts here (or at the spectrum's start)
  double backgroundKnotKeV = 0.5;     ///< knot spacing of the background splines (low energies)
  double comptonWidthFactor = 2.0;    ///< starting ratio of Compton to detector width
  double unexplainedSigma = 5.0;      ///< threshold of the residual check
  /// The largest refinement the fit accepts: an offset beyond this (keV) or a gain change
  /// beyond maxGainChange (relative) means the energy scale cannot be recovered.
  double maxOffsetKeV = 0.1;
  double maxGainChange = 0.02;
  double maxReducedChiSquare = 200.0; ///< worse fits are reported as failures
  /// Sum (pile-up) peaks of the `pileUpPeaks` strongest line groups, every pair (i, j) with
  /// (2 - δ_ij) τ r_i r_j counts per live second, r the groups' fitted rates: one more
  /// column whose scale, the resolving time τ, is fitted (SpectrumFitResult::pileUpTimeSeconds).
  bool pileUp = false;
  unsigned int pileUpPeaks = 4;
  /// The engine's composition is the sample's certified one (a standard): a line of an
  /// element it lacks hides no other line, so a line beside it is fitted on its own rather
  /// than tied (which lets a calibration measure it).
  bool certifiedComposition = false;
};

/// One analysis line of the beam.
struct CALYX_EXPORT SpectrumFitLine {
  XRFLine line;
  double energyKeV = 0.0;    ///< the line's energy (xraylib's rate-weighted mean for groups)
  bool inRange = false;      ///< false: the line lies outside the fitted range (no rate)
  /// A line that coincides with another element's line (a beta group, or one of a pair such
  /// as Pb LA on As KA): fitted together with another line of its element in the ratio of
  /// the engine's calibrated predictions, so its rate is not measured on its own.
  bool tied = false;
  double counts = 0.0;       ///< net counts (full-energy plus escape)
  double countsSigma = 0.0;  ///< 1 sigma
  double rate = 0.0;         ///< counts per live second
  double rateSigma = 0.0;
};

/// A residual peak that no modelled line explains.
struct CALYX_EXPORT SpectrumFitPeak {
  double energyKeV = 0.0;
  double significance = 0.0;            ///< residual counts / sqrt(model counts) over one FWHM
  std::vector<std::string> candidates;  ///< "Se KA", "Pt LA": lines within one FWHM
};

struct CALYX_EXPORT SpectrumFitResult {
  unsigned int beam = 0;
  double liveTimeSeconds = 0.0;
  std::vector<SpectrumFitLine> lines;  ///< the beam's analysis lines, in the engine's order
  bool hasScatterRate = false;         ///< the tube's scatter peaks lie in the fitted range
  double scatterCounts = 0.0;          ///< Rayleigh + Compton of the tube's K-alpha (or L-alpha) line
  double scatterRate = 0.0;            ///< per live second
  double scatterRateSigma = 0.0;
  EnergyScale energyScale;             ///< refined
  DetectorResolution resolution;       ///< refined
  double comptonWidthFactor = 0.0;     ///< refined
  double pileUpTimeSeconds = 0.0;      ///< the fitted resolving time τ (SpectrumFitOptions::pileUp)
  double pileUpTimeSigma = 0.0;
  double chiSquare = 0.0;
  unsigned int degreesOfFreedom = 0;
  double reducedChiSquare = 0.0;
  unsigned int firstChannel = 0;       ///< the fitted range: channels [firstChannel, endChannel)
  unsigned int endChannel = 0;
  std::vector<double> background;      ///< per channel of the spectrum (0 outside the range)
  std::vector<double> model;           ///< peaks + background
  std::vector<double> residuals;       ///< data - model
  std::vector<SpectrumFitPeak> unexplained;

  /// The lines and rates as RateMapper::setRates and a Standard take them (out-of-range
  /// lines are left out).
  std::vector<XRFLine> fittedLines() const;
  std::vector<double> fittedRates() const;
  std::vector<double> fittedRateSigmas() const;
};

/// Options of a synthetic spectrum.
struct CALYX_EXPORT SyntheticSpectrumOptions {
  double liveTimeSeconds = 100.0;
  EnergyScale energyScale{0.0, 0.02};  ///< 20 eV per channel from 0
  unsigned int channels = 2048;
  /// Continuum counts: this fraction of the line and scatter counts, but at least
  /// continuumRate counts per live second (so that a sample without lines still gives a
  /// spectrum).
  double continuumFraction = 0.1;
  double continuumRate = 1000.0;
  bool noise = false;                  ///< Poisson noise
  std::uint64_t seed = 1;
  /// The response; negative values take the fitter's defaults for the engine's detector.
  double noiseEV = -1.0;
  double fano = 0.114;
  double comptonWidthFactor = 2.0;
  bool escapePeaks = true;
  /// A low-energy tail on every peak (a share of its area in an exponential tail below it):
  /// a response the fitter does not model, for tests of its robustness.
  double tailFraction = 0.0;
  double tailSlopeKeV = 0.1;
  /// Sum (pile-up) peaks: the resolving time τ in seconds (0: none) and how many of the
  /// strongest analysis lines pile up, as the fit models them (SpectrumFitOptions::pileUp).
  double pileUpTimeSeconds = 0.0;
  unsigned int pileUpPeaks = 4;
};

/// The fitter of one beam of a built engine, which must outlive it. Holds what does not
/// depend on the spectrum (line groups, transitions, efficiencies); one fit at a time per
/// object.
class CALYX_EXPORT SpectrumFit {
 public:
  /// 0 and `out` set, or 1 with the reason in the log (beam out of range, no lines).
  static int create(const FPRateAlgorithm& engine, unsigned int beam, const TubeHardware& tube,
                    const SpectrumFitOptions& options, std::unique_ptr<SpectrumFit>& out);
  ~SpectrumFit();

  /// Fits one spectrum measured over `liveTimeSeconds`. 0 with `out` filled; 1 with the
  /// reason in the log for a spectrum that cannot be fitted (too short, negative or
  /// non-finite counts, a bad energy scale or live time, a shape the refinement cannot
  /// recover); `out` then holds no rates.
  int fit(const LinearSpectrum<double>& spectrum, double liveTimeSeconds, SpectrumFitResult& out) const;
  /// The same for an MCA file, its live time from "Livetime".
  int fit(const MCAFile& file, SpectrumFitResult& out) const;

  /// A synthetic spectrum of the engine's current predictions: every analysis line's
  /// calibrated, efficiency-weighted rate (theoretical rate x calibration factor x
  /// efficiency) times the live time, the scatter peaks with the engine's scatter prediction
  /// as their area (beam 0), and a continuum, spread by the response. Call after the
  /// engine's models have computed their rates for the composition `compound`.
  /// 0, or 1 with the reason in the log.
  int synthesize(const FPRateAlgorithm& engine, const Compound& compound, const SyntheticSpectrumOptions& options,
                 LinearSpectrum<double>& out) const;

  unsigned int beam() const;
  const SpectrumFitOptions& options() const;

  struct Impl;

 private:
  SpectrumFit();
  std::unique_ptr<Impl> impl_;
};

/// SNIP background (C.G. Ryan et al., Nucl. Instrum. Meth. B 34 (1988) 396; M. Morhac and
/// V. Matousek, Appl. Spectrosc. 62 (2008) 91) of `counts` on the log-log-square-root scale,
/// clipping windows from `window` channels down to 1.
CALYX_EXPORT std::vector<double> snipBackground(const std::vector<double>& counts, unsigned int window);

/// Poisson deviates from a seed, the same on every platform (splitmix64 seeding a
/// xoshiro256** generator; inversion for small means, the PTRS transformed rejection of
/// W. Hoermann, Insurance Math. Econom. 12 (1993) 39 for large ones).
class CALYX_EXPORT PoissonSampler {
 public:
  explicit PoissonSampler(std::uint64_t seed);
  double uniform();                 ///< in (0, 1)
  std::uint64_t poisson(double mean);

 private:
  std::uint64_t s_[4];
};

/// A spectrum read from a file, with its live and real time (negative when the file has none).
struct CALYX_EXPORT MeasuredSpectrum {
  std::shared_ptr<LinearSpectrum<double>> spectrum;
  double liveTimeSeconds = -1.0;
  double realTimeSeconds = -1.0;
  std::string format;  ///< "mca", "pmca", "emsa", "text"
};

/// Reads a spectrum in any of the formats (recognised by content): the library's MCA file,
/// the "<<PMCA SPECTRUM>>" text format (energy scale from its calibration points), EMSA/MAS
/// (ISO 22029) and two-column text (energy in keV, counts; uniform steps). 0, or 1 with the
/// reason in the log; nothing thrown for malformed content.
CALYX_EXPORT int readSpectrumFile(const std::string& path, MeasuredSpectrum& out);
/// The same from text in memory (for the fuzz targets and tests).
CALYX_EXPORT int parseSpectrumText(const std::string& text, MeasuredSpectrum& out);

}  // namespace calyx

#endif  // CALYX_SPECTRUMFIT_H
