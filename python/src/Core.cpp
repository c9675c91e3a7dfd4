#include "Core.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include <calyx/Filter.h>

namespace calyxpy {

namespace {

using calyx::FPRateAlgorithm;

// The light-element scatter model reads this excitation point (20 keV on the engine's 1 keV
// grid) and evaluates the Compton energy of this primary energy (keV).
constexpr unsigned int kScatterPoint = 19;
constexpr double kScatterPrimaryKeV = 19.0;

}  // namespace

std::string lineLabel(const calyx::XRFLine& line) {
  return calyx::printableSymbol(line.element()) + " " + calyx::lineName(line.line());
}

bool hasScatterModel(const FPRateAlgorithm& engine, unsigned int beam) {
  if (beam >= engine.shermans.size()) return false;
  const calyx::SpectrumBase<double>* spectrum = engine.shermans[beam].excitationSpectrum();
  return spectrum && spectrum->size() > kScatterPoint;
}

void computeAllRates(FPRateAlgorithm& engine) {
  for (calyx::Sherman& model : engine.shermans) model.computeRates();
}

double predictedLineRate(const FPRateAlgorithm& engine, const FPRateAlgorithm::AnalysisLine& line) {
  return *line.theoreticalRate * line.calibrationFactor *
         engine.detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV());
}

double rawScatterRate(const FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound) {
  const calyx::Sherman& model = engine.shermans[beam];
  const double intensity = model.excitationSpectrum()->valueAt(kScatterPoint);
  const calyx::Angle angle =
      calyx::Angle::createFromRadian(model.takeOffAngle().radians() + model.incidenceAngle().radians());
  const double energy = calyx::comptonScatterEnergy(angle, kScatterPrimaryKeV);
  double p = intensity * calyx::comptonScatterCoefficient(compound, energy);
  p = p * engine.detector.getDetectorEfficiencyFactor(energy);
  return p;
}

double predictedScatterRate(const FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound) {
  double p = rawScatterRate(engine, beam, compound);
  p = p * engine.leCalibrationFactors[beam];
  return p + engine.leCalibrationOffsets[beam];
}

std::string checkMeasurement(FPRateAlgorithm& engine, const Measurement& m) {
  const std::size_t beamCount = engine.shermans.size();
  if (m.beams.empty()) return "the measurement lists no beam";
  if (m.beams.size() > beamCount)
    return fmt::format("rates for {} beams, but the engine has {}", m.beams.size(), beamCount);
  if (!hasScatterModel(engine, 0))
    return "beam 0's excitation spectrum has no point at index 19 (20 keV), which the light-element scatter "
           "model reads: beam 0 needs a tube voltage of at least 20 kV";
  bool anyPositive = false;
  for (unsigned int b = 0; b < m.beams.size(); ++b) {
    const BeamMeasurement& beam = m.beams[b];
    for (std::size_t i = 0; i < beam.lines.size(); ++i) {
      if (!engine.findLine(b, beam.lines[i]))
        return fmt::format("{} is not analysed under beam {}", lineLabel(beam.lines[i]), b);
      for (std::size_t k = 0; k < i; ++k)
        if (beam.lines[k] == beam.lines[i])
          return fmt::format("{} is listed twice in beam {}", lineLabel(beam.lines[i]), b);
      anyPositive = anyPositive || beam.rates[i] > 0;
    }
  }
  if (!m.beams[0].hasScatter && !engine.leElements[0].empty())
    return "beam 0 needs a scatter rate: the light elements of beam 0 are estimated from it";
  if (!anyPositive) return "no line has a positive rate";
  return {};
}

void clearMeasurement(FPRateAlgorithm& engine) {
  std::fill(engine.chemistry->fractions.begin(), engine.chemistry->fractions.end(), 0.0);
  std::fill(engine.chemistry->uncertainties.begin(), engine.chemistry->uncertainties.end(), 0.0);
  std::fill(engine.leRates.begin(), engine.leRates.end(), 0.0);
  for (FPRateAlgorithm::AnalysisLine& line : engine.analysisLines) {
    line.measuredRate = 0.0;
    line.measuredUncertainty = 0.0;
  }
}

std::string failureText(const QuantifyResult& r) {
  if (r.noLineCorrected)
    return fmt::format("no line could be corrected in pass {}: every line's measured rate or prediction is 0 or not "
                       "finite; no composition is given", r.passes);
  if (!r.divergence.empty())
    return fmt::format("the quantification diverged after {} passes ({}); no composition is given", r.passes,
                       r.divergence);
  return "";
}

QuantifyResult quantify(FPRateAlgorithm& engine, const Measurement& m, const QuantifyOptions& o) {
  // Start from what a new engine holds, so that a result never depends on the measurement
  // before it (a line left out keeps the rate of an earlier sample otherwise).
  clearMeasurement(engine);
  engine.setAllLinesNotInUse();
  for (unsigned int b = 0; b < m.beams.size(); ++b) {
    // A line without a positive rate carries no information about its element (and the
    // engine's corrections divide by it): it stays out of use.
    const BeamMeasurement& beam = m.beams[b];
    std::vector<calyx::XRFLine> lines;
    std::vector<double> values, uncertainties;
    for (std::size_t i = 0; i < beam.lines.size(); ++i) {
      if (!(beam.rates[i] > 0)) continue;
      lines.push_back(beam.lines[i]);
      values.push_back(beam.rates[i]);
      uncertainties.push_back(beam.uncertainties[i]);
    }
    FPRateAlgorithm::RateMapper mapper(engine, b, lines);
    mapper.setRates<double>(beam.scatter, values.data(), uncertainties.data());
  }
  // Lines listed with a rate of 0 or below still get their measured value reported.
  for (unsigned int b = 0; b < m.beams.size(); ++b)
    for (std::size_t i = 0; i < m.beams[b].lines.size(); ++i)
      if (!(m.beams[b].rates[i] > 0)) engine.findLine(b, m.beams[b].lines[i])->measuredRate = m.beams[b].rates[i];

  QuantifyResult result;
  result.sample = m.sample;
  const int lastBeam = static_cast<int>(engine.shermans.size()) - 1;
  const FPRateAlgorithm::QuantifyOutcome outcome = engine.quantify(lastBeam, o.maxPasses, o.tolerance, o.robust);
  result.passes = outcome.passes;
  result.converged = outcome.converged;
  result.lastChange = outcome.lastChange;
  result.skippedLines = outcome.skippedLines;
  result.lightElementsSkipped = outcome.lightElementsSkipped;
  result.noLineCorrected = outcome.noLineCorrected;
  result.divergence = outcome.divergence;
  if (!outcome.hasResult()) return result;
  result.composition = engine.getCompound();

  // The predictions at the final composition, for the lines the measurement listed.
  computeAllRates(engine);
  for (const FPRateAlgorithm::AnalysisLine& line : engine.analysisLines) {
    if (line.beam >= m.beams.size()) continue;
    const std::vector<calyx::XRFLine>& listed = m.beams[line.beam].lines;
    if (std::find(listed.begin(), listed.end(), line.line) == listed.end()) continue;
    result.lines.push_back({line.beam, line.line, line.measuredRate, predictedLineRate(engine, line), line.inUse});
  }
  result.scatterMeasured = engine.leRates[0];
  result.scatterPredicted = predictedScatterRate(engine, 0, result.composition);
  return result;
}

Measurement simulate(FPRateAlgorithm& engine, const calyx::Compound& composition) {
  engine.chemistry->setCompound(composition);
  computeAllRates(engine);
  Measurement m;
  m.beams.resize(engine.shermans.size());
  for (const FPRateAlgorithm::AnalysisLine& line : engine.analysisLines) {
    BeamMeasurement& beam = m.beams[line.beam];
    beam.lines.push_back(line.line);
    beam.rates.push_back(predictedLineRate(engine, line));
    beam.uncertainties.push_back(0.0);
  }
  for (unsigned int b = 0; b < m.beams.size(); ++b) {
    if (!hasScatterModel(engine, b)) continue;  // the beam's spectrum does not reach 20 keV
    m.beams[b].hasScatter = true;
    m.beams[b].scatter = predictedScatterRate(engine, b, composition);
  }
  return m;
}

void copyCalibration(const FPRateAlgorithm& from, FPRateAlgorithm& to) {
  to.detector = from.detector;
  for (std::size_t i = 0; i < from.analysisLines.size() && i < to.analysisLines.size(); ++i) {
    to.analysisLines[i].calibrationFactor = from.analysisLines[i].calibrationFactor;
    to.analysisLines[i].initialGuessFactor = from.analysisLines[i].initialGuessFactor;
  }
  to.leCalibrationFactors = from.leCalibrationFactors;
  to.leCalibrationOffsets = from.leCalibrationOffsets;
}

}  // namespace calyxpy
