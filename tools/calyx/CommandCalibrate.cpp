// calyx calibrate: per-line calibration factors and the light-element factor and offset
// from standards of known composition, saved as a calibration file, with a table of the
// factors and their goodness of fit.
#include <cmath>
#include <cstdio>
#include <memory>
#include <set>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <calyx/Calibration.h>

#include "Commands.h"
#include "Error.h"
#include "InputFile.h"
#include "Instrument.h"
#include "JsonFile.h"
#include "JsonFormats.h"
#include "SpectrumInput.h"
#include "LibraryLog.h"
#include "OutputFile.h"

namespace calyxtool {

namespace {

struct CalibrateOptions {
  std::string config;
  std::string standards;
  std::string output;
  std::string debugCsv;
};

using calyx::FPRateAlgorithm;

// The library always writes its trace; when none is wanted it goes here.
constexpr const char* kNoDebugFile = "/dev/null";

// What the model predicts for each standard, as the calibration forms it: per analysis
// line R x efficiency in single precision, and the raw scatter prediction of beam 0.
struct Predictions {
  std::vector<std::vector<float>> lines;  // [standard][analysis line]
  std::vector<float> scatter;             // [standard]
};

Predictions predict(FPRateAlgorithm& engine, const std::vector<StandardRecord>& standards) {
  Predictions out;
  for (const StandardRecord& s : standards) {
    engine.chemistry->setCompound(s.composition);
    computeAllRates(engine);
    std::vector<float> row;
    for (const FPRateAlgorithm::AnalysisLine& line : engine.analysisLines)
      row.push_back(static_cast<float>(*line.theoreticalRate *
                                       engine.detector.getDetectorEfficiencyFactor(line.line.lineEnergyKeV())));
    out.lines.push_back(row);
    out.scatter.push_back(static_cast<float>(rawScatterRate(engine, 0, s.composition)));
  }
  return out;
}

// 1 - Σ(m - f)² / Σ(m - mean)²; not a number when the measured values do not vary.
double rSquared(const std::vector<double>& measured, const std::vector<double>& fitted) {
  double mean = 0;
  for (std::size_t k = 0; k < measured.size(); ++k) mean += (measured[k] - mean) / static_cast<double>(k + 1);
  double residual = 0, total = 0;
  for (std::size_t k = 0; k < measured.size(); ++k) {
    residual += (measured[k] - fitted[k]) * (measured[k] - fitted[k]);
    total += (measured[k] - mean) * (measured[k] - mean);
  }
  return total > 0 ? 1 - residual / total : std::nan("");
}

std::string fixedOrDash(double v, int decimals) {
  return std::isfinite(v) ? fmt::format("{:.{}f}", v, decimals) : std::string("-");
}

// Where the library's trace of the fits goes: --debug-csv, else beside a calibration file as
// NAME.debug.csv; none (an empty path) beside standard output, a device or a FIFO.
std::string debugFilePath(const CalibrateOptions& o) {
  if (!o.debugCsv.empty()) return o.debugCsv;
  if (!isFileOutput(o.output)) return std::string();
  std::string stem = o.output;
  const std::string ext = ".json";
  if (stem.size() > ext.size() && stem.compare(stem.size() - ext.size(), ext.size(), ext) == 0)
    stem.erase(stem.size() - ext.size());
  return stem + ".debug.csv";
}

// The standards as the library takes them, each checked against the configuration.
std::vector<FPRateAlgorithm::Standard> libraryStandards(Instrument& instrument,
                                                        const std::vector<StandardRecord>& standards) {
  std::vector<FPRateAlgorithm::Standard> records;
  for (const StandardRecord& s : standards) {
    requireModelledElements(instrument, s.composition, s.where);
    if (s.beams.size() > instrument.beamCount())
      inputError(s.where, fmt::format("rates for {} beams, but {} has {}", s.beams.size(), instrument.configPath,
                                      instrument.beamCount()));
    if (!s.beams[0].hasScatterRate)
      inputError(s.where, "beam 0 needs a \"scatterRate\": the light-element calibration fits it");
    FPRateAlgorithm::Standard standard;
    standard.setName(s.name.c_str());
    standard.compound = s.composition;
    standard.leRate = s.beams[0].scatterRate;
    for (unsigned int b = 0; b < s.beams.size(); ++b)
      for (const LineRate& r : s.beams[b].lines) {
        requireLine(instrument, b, r.line, r.where);
        standard.rates[FPRateAlgorithm::LineKey(b, r.line)] = r.rate;
      }
    records.push_back(standard);
  }
  return records;
}

// The table: each line some standard measured, with its factor and goodness of fit, and the
// light-element fit of beam 0.
std::string fitTable(const FPRateAlgorithm& engine, const std::vector<FPRateAlgorithm::Standard>& records,
                     const Predictions& predictions) {
  std::string out = fmt::format("{:<5} {:<9} {:>10} {:>12} {:>7} {:>10}\n", "beam", "line", "energy/keV", "factor",
                                "points", "r²");
  for (std::size_t j = 0; j < engine.analysisLines.size(); ++j) {
    const FPRateAlgorithm::AnalysisLine& line = engine.analysisLines[j];
    const FPRateAlgorithm::LineKey key(line.beam, line.line);
    std::vector<double> measured, fitted;
    int usable = 0;
    bool listed = false;
    for (std::size_t i = 0; i < records.size(); ++i) {
      if (!records[i].hasLine(key)) continue;
      listed = true;
      const double m = records[i].rates.at(key);
      const double p = predictions.lines[i][j];
      const calyx::ElementChemistry* e = records[i].compound.find(line.line.element());
      if (!(p > 0 && m > 0)) continue;
      if (e && static_cast<float>(e->fraction) > 0) ++usable;
      measured.push_back(m);
      fitted.push_back(line.calibrationFactor * p);
    }
    if (!listed) continue;
    out += fmt::format("{:<5} {:<9} {:>10.3f} {:>12} {:>7} {:>10}\n", line.beam, lineLabel(line.line),
                       line.line.lineEnergyKeV(), usable ? fmt::format("{:.6f}", line.calibrationFactor) : "-",
                       usable, usable ? fixedOrDash(rSquared(measured, fitted), 6) : "no usable point");
  }
  std::vector<double> leMeasured, leFitted;
  for (std::size_t i = 0; i < records.size(); ++i) {
    leMeasured.push_back(records[i].leRate);
    leFitted.push_back(engine.leCalibrationFactors[0] * predictions.scatter[i] + engine.leCalibrationOffsets[0]);
  }
  out += fmt::format("\nLight elements (beam 0 scatter): factor {:.6g}, offset {:.6g}, r² {} over {} standards\n",
                     engine.leCalibrationFactors[0], engine.leCalibrationOffsets[0],
                     fixedOrDash(rSquared(leMeasured, leFitted), 6), records.size());
  return out;
}

int runCalibrate(const CalibrateOptions& o) {
  Instrument instrument;
  readConfiguration(o.config, instrument);
  buildEngine(instrument);
  requireScatterModel(instrument);
  FPRateAlgorithm& engine = *instrument.engine;

  std::vector<StandardRecord> standards = readStandardsFile(o.standards);
  // A standard's spectra are fitted with its certified composition in the model: a line that
  // coincides with another element's line follows a line of its own element in the ratio of
  // the model's calibrated rates, unless the standard lacks that other element; a line that
  // follows is no measurement and gives its factor no point.
  bool fromSpectra = false;
  const auto fitStandardSpectra = [&]() {
    for (StandardRecord& s : standards)
      if (!s.spectra.empty()) {
        fromSpectra = true;
        requireModelledElements(instrument, s.composition, s.where);
        engine.chemistry->setCompound(s.composition);
        computeAllRates(engine);
        s.beams = standardRatesFromSpectra(instrument, s.spectra).beams;
      }
  };
  fitStandardSpectra();
  std::vector<FPRateAlgorithm::Standard> records = libraryStandards(instrument, standards);

  const std::string debugPath = debugFilePath(o);
  refuseOutputOverInputs(o.output, {o.config, o.standards});
  refuseOutputOverInputs(debugPath, {o.config, o.standards});
  if (!debugPath.empty() && sameOutputFile(debugPath, o.output))
    inputError(debugPath, "is both the debug CSV and the calibration file (-o " + o.output + ")");

  const Predictions predictions = predict(engine, standards);
  std::set<float> distinctScatter(predictions.scatter.begin(), predictions.scatter.end());
  if (distinctScatter.size() < 2)
    inputError(o.standards, "the light-element fit (a straight line) needs at least two standards whose "
                            "compositions scatter differently");

  // Before any calibration those ratios take calibration factors of 1: the spectra are fitted
  // again with the factors of a first calibration (which measured the lines that follow in
  // standards without the element they coincide with), and calibrated once more.
  if (fromSpectra) {
    FPRateAlgorithm::Calibration first(engine);
    for (const FPRateAlgorithm::Standard& s : records) first.addStandard(s);
    first.setDebugFilePath(kNoDebugFile);
    first.computeCalibrationFactors();
    fitStandardSpectra();
    records = libraryStandards(instrument, standards);
  }
  FPRateAlgorithm::Calibration calibration(engine);
  for (const FPRateAlgorithm::Standard& s : records) calibration.addStandard(s);
  // The library writes both files by name: each goes to a temporary that is put in place
  // only when the whole calibration succeeded, so a failed run leaves earlier files as
  // they were, and two runs at once never mix their files.
  PendingOutput calibrationOut(o.output);
  std::unique_ptr<PendingOutput> debugOut;
  if (!debugPath.empty()) debugOut = std::make_unique<PendingOutput>(debugPath);
  calibration.setDebugFilePath(debugOut ? debugOut->temporary() : std::string(kNoDebugFile));
  calibration.computeCalibrationFactors();

  if (!std::isfinite(engine.leCalibrationFactors[0]) || !std::isfinite(engine.leCalibrationOffsets[0]))
    inputError(o.standards, "the light-element fit gave no finite factor and offset");
  {
    LibraryErrors errors;
    if (engine.writeCalibrationFile(calibrationOut.temporary().c_str()) != 0 || errors.any())
      inputError(o.output, "cannot write: " + errors.text());
  }
  calibrationOut.commit();
  if (debugOut) debugOut->commit();

  std::string out = fmt::format("Calibration of {} on {} standards from {}\n\n", instrument.configPath,
                                standards.size(), o.standards);
  out += fitTable(engine, records, predictions);
  const bool toStandardOutput = isStandardOutput(o.output);
  out += fmt::format("\nCalibration written to {}; {}\n", toStandardOutput ? "standard output" : o.output,
                     debugPath.empty() ? "no debug trace (--debug-csv names one)" : "debug trace in " + debugPath);
  // Beside a calibration on standard output, the table goes to standard error.
  if (toStandardOutput)
    std::fputs(out.c_str(), stderr);
  else
    emit("", out);
  return kExitOk;
}

}  // namespace

Command addCalibrateCommand(CLI::App& app) {
  auto o = std::make_shared<CalibrateOptions>();
  CLI::App* sub = app.add_subcommand(
      "calibrate",
      "Fit one calibration factor per analysed line (measured / predicted rate, through the origin) and the\n"
      "light-element factor and offset (measured vs predicted scatter of beam 0) from standards of known\n"
      "composition; write the calibration file and print the factors with their r².");
  sub->add_option("CONFIG", o->config, "Instrument configuration (JSON)")->required();
  sub->add_option("-s,--standards", o->standards, "Standards file (JSON)")->required();
  sub->add_option("-o,--output", o->output, "Calibration file to write (JSON), or - for standard output")->required();
  sub->add_option("--debug-csv", o->debugCsv,
                  "Where the library writes its trace of the fits (default: beside the output file, NAME.debug.csv;\n"
                  "none when the output is standard output, a device or a FIFO)");
  return Command{sub, [o] { return runCalibrate(*o); }};
}

}  // namespace calyxtool
