// What the command-line tool and the Python module share, written once so that the two say
// and report the same: a quantification of measured rates with the predictions at its
// composition, a line's label and calibrated prediction, parser and library texts folded into
// one line, and why a quantification gives no composition. Header-only: both front ends
// compile it in.
#ifndef CALYX_TOOLS_SHARED_FRONTEND_H
#define CALYX_TOOLS_SHARED_FRONTEND_H

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <calyx/FPRateAlgorithm.h>

namespace calyxhost {

/// "Fe KA", "Pb -90".
inline std::string lineLabel(const calyx::XRFLine& line) {
  return calyx::printableSymbol(line.element()) + " " + calyx::lineName(line.line());
}

/// Every beam's model computes its rates for the chemistry as it stands.
inline void computeAllRates(calyx::FPRateAlgorithm& engine) {
  for (calyx::Sherman& model : engine.shermans) model.computeRates();
}

/// The calibrated, efficiency-weighted prediction of a line: rate x factor x efficiency.
inline double predictedLineRate(const calyx::FPRateAlgorithm& engine,
                                const calyx::FPRateAlgorithm::AnalysisLine& line) {
  return *line.theoreticalRate * line.calibrationFactor *
         engine.detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV());
}

/// What was measured under one beam: the scatter rate (when measured) and line rates with
/// their absolute uncertainties (0 when unknown), in the caller's order.
struct BeamMeasurement {
  bool hasScatter = false;
  double scatter = 0.0;
  std::vector<calyx::XRFLine> lines;
  std::vector<double> rates;
  std::vector<double> uncertainties;
};

struct LineReport {
  unsigned int beam;
  calyx::XRFLine line;
  double measured;
  double predicted;  ///< calibrated, efficiency-weighted, at the final composition
  bool inUse;        ///< false for a line listed without a positive rate
};

/// How a quantification ended and, when it has a composition, the composition with the
/// predictions at it: of every line the measurement listed, and of beam 0's scatter.
struct QuantifyReport {
  calyx::FPRateAlgorithm::QuantifyOutcome outcome;  ///< passes, convergence, whether there is a composition
  calyx::Compound composition;                      ///< empty unless outcome.hasResult()
  std::vector<LineReport> lines;
  double scatterMeasured = 0.0;
  double scatterPredicted = 0.0;
};

/// Enters the measured rates through one RateMapper per beam and quantifies over every beam
/// (FPRateAlgorithm::quantify). A line without a positive rate carries no information about
/// its element (and the engine's corrections divide by it): it stays out of use, its measured
/// value still reported. The measurement's lines must be analysed under their beams.
inline QuantifyReport quantifyMeasurement(calyx::FPRateAlgorithm& engine, const std::vector<BeamMeasurement>& beams,
                                          int maxPasses, double tolerance, bool robust) {
  engine.setAllLinesNotInUse();
  for (unsigned int b = 0; b < beams.size(); ++b) {
    const BeamMeasurement& beam = beams[b];
    std::vector<calyx::XRFLine> lines;
    std::vector<double> values, uncertainties;
    for (std::size_t i = 0; i < beam.lines.size(); ++i) {
      if (!(beam.rates[i] > 0)) continue;
      lines.push_back(beam.lines[i]);
      values.push_back(beam.rates[i]);
      uncertainties.push_back(beam.uncertainties[i]);
    }
    calyx::FPRateAlgorithm::RateMapper mapper(engine, b, lines);
    mapper.setRates<double>(beam.scatter, values.data(), uncertainties.data());
  }
  for (unsigned int b = 0; b < beams.size(); ++b)
    for (std::size_t i = 0; i < beams[b].lines.size(); ++i)
      if (!(beams[b].rates[i] > 0)) engine.findLine(b, beams[b].lines[i])->measuredRate = beams[b].rates[i];

  QuantifyReport report;
  const int lastBeam = static_cast<int>(engine.shermans.size()) - 1;
  report.outcome = engine.quantify(lastBeam, maxPasses, tolerance, robust);
  if (!report.outcome.hasResult()) return report;
  report.composition = engine.getCompound();

  computeAllRates(engine);
  for (const calyx::FPRateAlgorithm::AnalysisLine& line : engine.analysisLines) {
    if (line.beam >= beams.size()) continue;
    const std::vector<calyx::XRFLine>& listed = beams[line.beam].lines;
    if (std::find(listed.begin(), listed.end(), line.line) == listed.end()) continue;
    report.lines.push_back({line.beam, line.line, line.measuredRate, predictedLineRate(engine, line), line.inUse});
  }
  report.scatterMeasured = engine.leRates[0];
  report.scatterPredicted = engine.predictedScatterRate(report.composition, 0);
  return report;
}

/// Multi-line parser or library texts folded into one line: runs of white space become one
/// space, and JsonCpp's "* " at the head of each of its messages goes.
inline std::string oneLine(const std::string& text) {
  std::string out;
  bool space = false;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
      space = !out.empty();
      continue;
    }
    if (space) out += ' ';
    space = false;
    out += c;
  }
  std::string cleaned;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '*' && (i == 0 || out[i - 1] == ' ') && i + 1 < out.size() && out[i + 1] == ' ') {
      ++i;
      continue;
    }
    cleaned += out[i];
  }
  return cleaned;
}

/// Why beam 0 cannot take light elements or a scatter calibration (FPRateAlgorithm::hasScatterModel(0)
/// is false).
inline const char* const kNoScatterModel =
    "beam 0's tube gives no intensity at 20 keV, where the light-element scatter model reads it: beam 0 needs a "
    "tube voltage above 20 kV";

/// Why a quantification has no composition to give; empty when it has one.
inline std::string noCompositionReason(const calyx::FPRateAlgorithm::QuantifyOutcome& outcome) {
  const std::string passes = std::to_string(outcome.passes);
  if (outcome.noLineCorrected)
    return "no line could be corrected in pass " + passes +
           ": every line's measured rate or prediction is 0 or not finite; no composition is given";
  if (!outcome.divergence.empty())
    return "the quantification diverged after " + passes + " passes (" + outcome.divergence +
           "); no composition is given";
  return std::string();
}

}  // namespace calyxhost

#endif  // CALYX_TOOLS_SHARED_FRONTEND_H
