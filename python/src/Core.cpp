#include "Core.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "FrontEnd.h"

namespace calyxpy {

using calyx::FPRateAlgorithm;

bool hasScatterModel(const FPRateAlgorithm& engine, unsigned int beam) { return engine.hasScatterModel(beam); }

double rawScatterRate(const FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound) {
  return engine.scatterModelRate(compound, beam);
}

double predictedScatterRate(const FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound) {
  return engine.predictedScatterRate(compound, beam);
}

std::string checkMeasurement(FPRateAlgorithm& engine, const Measurement& m) {
  const std::size_t beamCount = engine.shermans.size();
  if (m.beams.empty()) return "the measurement lists no beam";
  if (m.beams.size() > beamCount)
    return fmt::format("rates for {} beams, but the engine has {}", m.beams.size(), beamCount);
  if (!hasScatterModel(engine, 0)) return calyxhost::kNoScatterModel;
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

QuantifyResult quantify(FPRateAlgorithm& engine, const Measurement& m, const QuantifyOptions& o) {
  // Start from what a new engine holds, so that a result never depends on the measurement
  // before it (a line left out keeps the rate of an earlier sample otherwise).
  clearMeasurement(engine);
  return QuantifyResult{calyxhost::quantifyMeasurement(engine, m.beams, o.maxPasses, o.tolerance, o.robust),
                        m.sample};
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
