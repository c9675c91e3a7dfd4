// What the command-line tool and the Python module share, written once so that the two say
// and report the same: parser and library texts folded into one line, why a quantification
// gives no composition, and a line's label and calibrated prediction. Header-only: both front
// ends compile it in.
#ifndef CALYX_TOOLS_SHARED_FRONTEND_H
#define CALYX_TOOLS_SHARED_FRONTEND_H

#include <cstddef>
#include <string>

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
