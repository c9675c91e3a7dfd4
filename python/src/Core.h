// The quantification and forward model as the command-line tool runs them, on plain C++
// values: the Python module wraps these, and the benchmark times them without Python, so
// that the difference is what the binding costs.
#ifndef CALYX_PYTHON_CORE_H
#define CALYX_PYTHON_CORE_H

#include <string>
#include <vector>

#include <calyx/FPRateAlgorithm.h>

#include "FrontEnd.h"

namespace calyxpy {

using calyxhost::BeamMeasurement;
using calyxhost::LineReport;

/// One sample: per beam, in the configuration's beam order (fewer beams allowed).
struct Measurement {
  std::string sample;
  std::vector<BeamMeasurement> beams;
};

/// A quantification of one sample.
struct QuantifyResult : calyxhost::QuantifyReport {
  std::string sample;
};

struct QuantifyOptions {
  int maxPasses = 200;
  double tolerance = 1e-6;
  bool robust = false;  ///< damped Newton steps (FPRateAlgorithm::solve) instead of the passes
};

using calyxhost::computeAllRates;
using calyxhost::lineLabel;
using calyxhost::predictedLineRate;

/// True when the beam's tube gives an intensity at 20 keV, where the scatter model reads it
/// (FPRateAlgorithm::hasScatterModel).
bool hasScatterModel(const calyx::FPRateAlgorithm& engine, unsigned int beam);
/// The uncalibrated scatter prediction of a beam, the one the light-element step uses
/// (FPRateAlgorithm::scatterModelRate).
double rawScatterRate(const calyx::FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound);
/// The same with the beam's light-element factor and offset.
double predictedScatterRate(const calyx::FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound);

/// The checks the library leaves to its host, before a measurement enters the engine:
/// beams in range, every listed line analysed, beam 0's scatter model and scatter rate
/// when beam 0 has light elements, at least one positive rate. Empty when acceptable,
/// otherwise the reason.
std::string checkMeasurement(calyx::FPRateAlgorithm& engine, const Measurement& m);

/// Puts the measurement state (fractions, uncertainties, measured and scatter rates) back
/// to that of a new engine; the calibration stays.
void clearMeasurement(calyx::FPRateAlgorithm& engine);

/// The tool's quantification (after clearMeasurement): lines with a positive rate enter through one RateMapper per
/// beam, the first guess, then passes until no fraction moves by more than the tolerance
/// (NaN counts as a change) or the pass limit; the predictions at the final composition.
/// The measurement must have passed checkMeasurement.
QuantifyResult quantify(calyx::FPRateAlgorithm& engine, const Measurement& m, const QuantifyOptions& o);

/// The forward model: every analysed line's calibrated, efficiency-weighted rate and every
/// beam's scatter prediction (beams whose spectrum stops below 20 keV get none).
Measurement simulate(calyx::FPRateAlgorithm& engine, const calyx::Compound& composition);

/// Copies the calibration (line and initial-guess factors, light-element factors and
/// offsets) and the detector from one engine to another built from the same builder.
void copyCalibration(const calyx::FPRateAlgorithm& from, calyx::FPRateAlgorithm& to);

}  // namespace calyxpy

#endif  // CALYX_PYTHON_CORE_H
