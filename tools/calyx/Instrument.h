// The measurement set-up read from a JSON configuration, and the engine built from it,
// with the checks the library leaves to its host: every symbol and line known, beams in
// range, compositions within the modelled elements, and beam 0 able to model scatter.
#ifndef CALYX_TOOL_INSTRUMENT_H
#define CALYX_TOOL_INSTRUMENT_H

#include <memory>
#include <string>

#include <calyx/FPRateAlgorithm.h>

#include "FrontEnd.h"

namespace calyxtool {

struct Instrument {
  std::string configPath;
  calyx::FPRateAlgorithm::Builder builder;
  std::unique_ptr<calyx::FPRateAlgorithm> engine;  ///< null until buildEngine

  unsigned int beamCount() const { return static_cast<unsigned int>(builder.beams.size()); }
};

/// Reads and checks the configuration into `out.builder`; InputError naming the file.
void readConfiguration(const std::string& path, Instrument& out);
/// Builds the engine from the builder; InputError naming the configuration.
void buildEngine(Instrument& instrument);

/// The light-element scatter model reads a beam's tube intensity at 20 keV; true when the
/// beam's continuum reaches it (the library's FPRateAlgorithm::hasScatterModel).
bool hasScatterModel(const calyx::FPRateAlgorithm& engine, unsigned int beam);
/// InputError unless beam 0 has the scatter model (quantification and calibration use it).
void requireScatterModel(const Instrument& instrument);

/// Checks a calibration file against the engine (types, symbols, lines, beams), then
/// reads it into the engine. InputError naming the file.
void loadCalibration(Instrument& instrument, const std::string& path);

/// InputError at `where` unless every element of `compound` is modelled by the engine.
void requireModelledElements(const Instrument& instrument, const calyx::Compound& compound,
                             const std::string& where);
/// The analysis line of `beam` equal to `line`; InputError at `where` when the
/// configuration does not analyse it or the beam is out of range.
calyx::FPRateAlgorithm::AnalysisLine& requireLine(Instrument& instrument, unsigned int beam,
                                                  const calyx::XRFLine& line, const std::string& where);

using calyxhost::computeAllRates;
using calyxhost::predictedLineRate;
/// The uncalibrated scatter prediction of a beam for a composition: the library's
/// FPRateAlgorithm::scatterModelRate, the one the engine's light-element step uses.
double rawScatterRate(const calyx::FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound);
/// The same with the beam's light-element factor and offset applied (predictedScatterRate).
double predictedScatterRate(const calyx::FPRateAlgorithm& engine, unsigned int beam, const calyx::Compound& compound);

}  // namespace calyxtool

#endif  // CALYX_TOOL_INSTRUMENT_H
