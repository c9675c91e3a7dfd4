// calyx quantify: measured rates to a composition. Lines enter through a RateMapper per
// beam, the engine makes its first guess, and passes run until no mass fraction changes by
// more than the tolerance (or the pass limit is reached, reported as not converged).
#include <cmath>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "Commands.h"
#include "Error.h"
#include "FrontEnd.h"
#include "InputFile.h"
#include "Instrument.h"
#include "JsonFile.h"
#include "JsonText.h"
#include "JsonFormats.h"
#include "SpectrumInput.h"

namespace calyxtool {

namespace {

using calyx::FPRateAlgorithm;

// Elements below this mass fraction are listed as not found in the table (the engine keeps
// every fraction at 1e-8 or above).
constexpr double kNotFound = 1e-6;

struct QuantifyOptions {
  std::string config;
  std::string rates;
  std::vector<std::string> spectra;
  double liveTime = 0.0;
  std::string calibration;
  int maxPasses = 200;
  double tolerance = 1e-6;
  std::string format = "table";
  std::string expected;
  std::string output;
  bool brief = false;
  std::string solver = "passes";
};

using calyxhost::LineReport;
using Result = calyxhost::QuantifyReport;

// The rates as the shared quantification takes them.
std::vector<calyxhost::BeamMeasurement> measurement(const RatesRecord& rates) {
  std::vector<calyxhost::BeamMeasurement> beams(rates.beams.size());
  for (std::size_t b = 0; b < rates.beams.size(); ++b) {
    beams[b].hasScatter = rates.beams[b].hasScatterRate;
    beams[b].scatter = rates.beams[b].scatterRate;
    for (const LineRate& r : rates.beams[b].lines) {
      beams[b].lines.push_back(r.line);
      beams[b].rates.push_back(r.rate);
      beams[b].uncertainties.push_back(r.uncertainty);
    }
  }
  return beams;
}

Result quantify(Instrument& instrument, const RatesRecord& rates, const QuantifyOptions& o) {
  bool anyLine = false;
  for (const BeamRates& beam : rates.beams)
    for (const LineRate& r : beam.lines) anyLine = anyLine || r.rate > 0;
  if (!anyLine) inputError(o.rates, "no line has a positive rate");
  return calyxhost::quantifyMeasurement(*instrument.engine, measurement(rates), o.maxPasses, o.tolerance,
                                        o.solver == "robust");
}

// Why a still iteration is not converged, for the table's heading ("" when it is not still).
std::string stallReason(const FPRateAlgorithm::QuantifyOutcome& r) {
  std::string why;
  if (r.skippedLines > 0) why = fmt::format("{} line(s) could not be corrected in the last pass", r.skippedLines);
  if (r.lightElementsSkipped) why += std::string(why.empty() ? "" : ", ") + "the light elements could not be corrected";
  return why.empty() ? why : ": " + why;
}

const calyx::ElementChemistry* findEntry(const calyx::Compound& c, const calyx::Element& e) { return c.find(e); }

std::string renderTable(const Result& r, const RatesRecord& rates, const QuantifyOptions& o,
                        const calyx::Compound* expected) {
  std::string out = fmt::format("Quantification of {}{}\n", o.rates,
                                rates.sample.empty() ? "" : " (" + rates.sample + ")");
  out += fmt::format("configuration {}, calibration {}\n", o.config, o.calibration.empty() ? "none" : o.calibration);
  const FPRateAlgorithm::QuantifyOutcome& q = r.outcome;
  out += q.converged
             ? fmt::format("converged after {} passes (largest change in the last pass {:.1e}, tolerance {:g})\n\n",
                           q.passes, q.lastChange, o.tolerance)
             : fmt::format("NOT CONVERGED after {} passes (largest change in the last pass {:.1e}, tolerance {:g}){}\n\n",
                           q.passes, q.lastChange, o.tolerance, stallReason(q));
  out += fmt::format("{:<8} {:>10} {:>10}", "element", "mass %", "± %");
  if (expected) out += fmt::format(" {:>10} {:>10}", "true %", "diff");
  out += "\n";
  double sum = 0, trueSum = 0;
  std::string absent;
  for (const calyx::ElementChemistry& e : r.composition) {
    sum += e.fraction;
    if (e.fraction < kNotFound && !(expected && findEntry(*expected, e.element))) {
      absent += (absent.empty() ? "" : ", ") + calyx::printableSymbol(e.element);
      continue;
    }
    out += fmt::format("{:<8} {:>10.4f} {:>10.4f}", calyx::printableSymbol(e.element), 100 * e.fraction,
                       100 * e.uncertainty);
    if (expected) {
      const calyx::ElementChemistry* t = findEntry(*expected, e.element);
      const double truth = t ? t->fraction : 0.0;
      trueSum += truth;
      out += fmt::format(" {:>10.4f} {:>+10.4f}", 100 * truth, 100 * (e.fraction - truth));
    }
    out += "\n";
  }
  out += fmt::format("{:<8} {:>10.4f}", "sum", 100 * sum);
  if (expected) out += fmt::format(" {:>10} {:>10.4f}", "", 100 * trueSum);
  out += "\n";
  if (!absent.empty()) out += fmt::format("not found (below {:g} %): {}\n", 100 * kNotFound, absent);
  out += "\n";
  if (o.brief) return out;
  out += fmt::format("{:<5} {:<9} {:>16} {:>16}\n", "beam", "line", "measured", "predicted");
  std::string unused;
  for (const LineReport& l : r.lines) {
    if (!l.inUse) {
      unused += fmt::format("{}{} (beam {})", unused.empty() ? "" : ", ", lineLabel(l.line), l.beam);
      continue;
    }
    out += fmt::format("{:<5} {:<9} {:>16.6g} {:>16.6g}\n", l.beam, lineLabel(l.line), l.measured, l.predicted);
  }
  out += fmt::format("{:<5} {:<9} {:>16.6g} {:>16.6g}\n", 0, "scatter", r.scatterMeasured, r.scatterPredicted);
  if (!unused.empty()) out += "\nnot used (no positive rate): " + unused + "\n";
  return out;
}

std::string renderCsv(const Result& r, const calyx::Compound* expected) {
  std::string out = fmt::format("passes,{}\nconverged,{}\n\n", r.outcome.passes, r.outcome.converged ? "true" : "false");
  out += expected ? "element,mass_percent,uncertainty_percent,true_percent\n"
                  : "element,mass_percent,uncertainty_percent\n";
  for (const calyx::ElementChemistry& e : r.composition) {
    out += fmt::format("{},{},{}", calyx::printableSymbol(e.element), 100 * e.fraction, 100 * e.uncertainty);
    if (expected) {
      const calyx::ElementChemistry* t = findEntry(*expected, e.element);
      out += fmt::format(",{}", 100 * (t ? t->fraction : 0.0));
    }
    out += "\n";
  }
  out += "\nbeam,element,line,measured_rate,predicted_rate\n";
  for (const LineReport& l : r.lines)
    out += fmt::format("{},{},{},{},{}\n", l.beam, calyx::printableSymbol(l.line.element()),
                       calyx::lineName(l.line.line()), l.measured, l.predicted);
  out += fmt::format("0,,scatter,{},{}\n", r.scatterMeasured, r.scatterPredicted);
  return out;
}

std::string renderJson(const Result& r, const RatesRecord& rates, const calyx::Compound* expected) {
  Json::Value root(Json::objectValue);
  if (!rates.sample.empty()) root["sample"] = rates.sample;
  root["converged"] = r.outcome.converged;
  root["passes"] = r.outcome.passes;
  root["composition"] = compositionToJson(r.composition);
  Json::Value u(Json::objectValue);
  for (const calyx::ElementChemistry& e : r.composition) u[calyx::printableSymbol(e.element)] = e.uncertainty;
  root["uncertainties"] = u;
  if (expected) root["expected"] = compositionToJson(*expected);
  Json::Value lines(Json::arrayValue);
  for (const LineReport& l : r.lines) {
    Json::Value entry(Json::objectValue);
    entry["beam"] = l.beam;
    entry["element"] = calyx::printableSymbol(l.line.element());
    entry["line"] = calyx::lineName(l.line.line());
    entry["measured"] = l.measured;
    entry["predicted"] = l.predicted;
    lines.append(entry);
  }
  root["lines"] = lines;
  Json::Value scatter(Json::objectValue);
  scatter["beam"] = 0;
  scatter["measured"] = r.scatterMeasured;
  scatter["predicted"] = r.scatterPredicted;
  root["scatter"] = scatter;
  return toJsonText(root);
}

int runQuantify(const QuantifyOptions& given) {
  if (given.rates.empty() == given.spectra.empty())
    inputError("quantify", "give the measurement as --rates FILE or as --spectra B0 B1 ...");
  // Messages and the report name the spectra where a rates file would be named.
  QuantifyOptions o = given;
  for (const std::string& s : given.spectra) o.rates += (o.rates.empty() ? "" : " ") + s;
  if (o.format != "table" && o.format != "json" && o.format != "csv")
    inputError("--format", "\"" + o.format + "\" is not one of table, json, csv");
  if (o.maxPasses < 1) inputError("--max-passes", "needs at least 1 pass");
  if (o.solver != "passes" && o.solver != "robust")
    inputError("--solver", "\"" + o.solver + "\" is not one of passes, robust");
  if (!(o.tolerance > 0)) inputError("--tolerance", "must be above 0");
  std::vector<std::string> inputs = {o.config, o.calibration, o.expected};
  inputs.insert(inputs.end(), given.spectra.begin(), given.spectra.end());
  if (given.spectra.empty()) inputs.push_back(o.rates);
  refuseOutputOverInputs(o.output, inputs);

  Instrument instrument;
  readConfiguration(o.config, instrument);
  buildEngine(instrument);
  requireScatterModel(instrument);
  if (!o.calibration.empty()) loadCalibration(instrument, o.calibration);
  const RatesRecord rates = o.spectra.empty() ? readRatesFile(o.rates) : ratesFromSpectra(instrument, o.spectra, o.liveTime);
  if (rates.beams.size() > instrument.beamCount())
    inputError(o.rates, fmt::format("beam {} is out of range: {} has {} beam(s)", instrument.beamCount(),
                                    instrument.configPath, instrument.beamCount()));
  for (unsigned int b = 0; b < rates.beams.size(); ++b)
    for (const LineRate& r : rates.beams[b].lines) requireLine(instrument, b, r.line, r.where);
  if (!rates.beams[0].hasScatterRate && !instrument.engine->leElements[0].empty())
    inputError(o.rates, "beams[0] needs a \"scatterRate\": the light elements of beam 0 are estimated from it");
  calyx::Compound expected;
  if (!o.expected.empty()) expected = readComposition(o.expected, "--expected");

  Result result = quantify(instrument, rates, o);
  if (!o.spectra.empty() && result.outcome.hasResult()) {
    // The first fit tied coinciding beta lines in the ratio of the atomic data; fitted again
    // with the model's rates for the composition found, the ratios include the matrix.
    const RatesRecord refined = ratesFromSpectra(instrument, o.spectra, o.liveTime);
    result = quantify(instrument, refined, o);
  }
  // No result to print: the passes could not work on these rates, or ran away.
  if (!result.outcome.hasResult()) {
    std::fprintf(stderr, "calyx: %s: %s\n", o.rates.c_str(), calyxhost::noCompositionReason(result.outcome).c_str());
    return kExitNotConverged;
  }
  const calyx::Compound* truth = o.expected.empty() ? nullptr : &expected;
  std::string text;
  if (o.format == "json")
    text = renderJson(result, rates, truth);
  else if (o.format == "csv")
    text = renderCsv(result, truth);
  else
    text = renderTable(result, rates, o, truth);
  emit(o.output, text);
  return result.outcome.converged ? kExitOk : kExitNotConverged;
}

}  // namespace

Command addQuantifyCommand(CLI::App& app) {
  auto o = std::make_shared<QuantifyOptions>();
  CLI::App* sub = app.add_subcommand(
      "quantify",
      "Turn measured rates into a composition: first guess from the rates, then passes of the engine until\n"
      "no mass fraction changes by more than the tolerance. Prints mass % with uncertainties, the passes used,\n"
      "and each line's measured and predicted rate. Exit status 3 when the pass limit is reached first or the\n"
      "last pass could not correct every line in use; also, with no composition printed, when no line could\n"
      "be corrected at all or the mass fractions ran out of [0, 1].");
  sub->add_option("CONFIG", o->config, "Instrument configuration (JSON)")->required();
  sub->add_option("-r,--rates", o->rates, "Measured rates (JSON rates file)");
  sub->add_option("--spectra", o->spectra, "Measured spectra instead of rates: one file per beam, in beam order");
  sub->add_option("--live-time", o->liveTime, "With --spectra: live time in seconds, overriding the files'");
  sub->add_option("--calibration", o->calibration, "Calibration file (from calibrate)");
  sub->add_option("--max-passes", o->maxPasses, "Pass limit (default 200)");
  sub->add_option("--tolerance", o->tolerance,
                  "Converged when no mass fraction changes by more than this in a pass (default 1e-6)");
  sub->add_option("--format", o->format, "Output format: table (default), json or csv");
  sub->add_option("--expected", o->expected,
                  "The true composition, printed beside the result: a composition file or Fe=0.7,Ni=0.3");
  sub->add_option("-o,--output", o->output, "Output file, or - for standard output (the default)");
  sub->add_option("--solver", o->solver,
                  "passes (default): the engine's passes; robust: damped Newton steps on the same fixed point, "
                  "which converge for rates of any scale");
  sub->add_flag("--brief", o->brief, "Table format: the composition only, without the lines");
  return Command{sub, [o] { return runQuantify(*o); }};
}

}  // namespace calyxtool
