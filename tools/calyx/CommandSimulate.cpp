// calyx simulate: the forward model. For a stated composition, every analysed line's
// calibrated, efficiency-weighted rate and every beam's scatter prediction, written as a
// rates file that quantify reads (or as a standard that calibrate reads). Stated per-line
// instrument factors and optional seeded noise make synthetic measurements.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "Commands.h"
#include "Error.h"
#include "InputFile.h"
#include "Instrument.h"
#include "JsonFile.h"
#include "JsonText.h"
#include "JsonFormats.h"
#include "LibraryLog.h"
#include "OutputFile.h"

#include <calyx/MCAFile.h>
#include <calyx/SpectrumFit.h>

namespace calyxtool {

namespace {

struct SimulateOptions {
  std::string config;
  std::string composition;
  std::string calibration;
  std::vector<std::string> factors;
  double leFactor = 1.0;
  double leOffset = 0.0;
  double noise = 0.0;
  std::uint64_t seed = 1;
  std::string sample;
  std::string standard;
  bool append = false;
  std::string output;
  std::string spectrum;
  double liveTime = 0.0;
  std::int64_t noiseSeed = -1;
};

// A stated instrument factor: [BEAM:]SYMBOL:LINE=FACTOR.
struct LineFactor {
  std::string text;  // as given, for messages
  bool allBeams = true;
  unsigned int beam = 0;
  calyx::XRFLine line;
  double factor = 1.0;
};

double parseNumber(const std::string& text, const std::string& source) {
  double v = 0;
  if (!parseFiniteNumber(text, v)) inputError(source, "\"" + text + "\" is not a number");
  return v;
}

LineFactor parseFactor(const std::string& text, Instrument& instrument) {
  const std::string source = "--factor " + text;
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos) inputError(source, "expected [BEAM:]SYMBOL:LINE=FACTOR, e.g. Fe:KA=1.7");
  std::vector<std::string> parts;
  std::string left = text.substr(0, eq);
  for (std::size_t start = 0;;) {
    const std::size_t colon = left.find(':', start);
    parts.push_back(left.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() < 2 || parts.size() > 3) inputError(source, "expected [BEAM:]SYMBOL:LINE=FACTOR, e.g. Fe:KA=1.7");
  LineFactor f;
  f.text = text;
  if (parts.size() == 3) {
    const double beam = parseNumber(parts[0], source);
    if (beam < 0 || beam != std::floor(beam) || beam >= instrument.beamCount())
      inputError(source, fmt::format("beam {} is out of range: {} has {} beam(s)", parts[0], instrument.configPath,
                                     instrument.beamCount()));
    f.allBeams = false;
    f.beam = static_cast<unsigned int>(beam);
    parts.erase(parts.begin());
  }
  // The symbol and line go through the same checks as in the JSON files.
  Json::Value symbol(parts[0]);
  Json::Value line(parts[1]);
  char* end = nullptr;
  const long code = std::strtol(parts[1].c_str(), &end, 10);
  if (!parts[1].empty() && *end == '\0') line = Json::Value(static_cast<int>(code));
  f.line = parseLine(JsonNode(symbol, source, "symbol"), JsonNode(line, source, "line"));
  f.factor = parseNumber(text.substr(eq + 1), source);
  if (!(f.factor > 0)) inputError(source, "a factor must be above 0");
  bool analysed = false;
  for (unsigned int b = 0; b < instrument.beamCount(); ++b)
    if ((f.allBeams || b == f.beam) && instrument.engine->findLine(b, f.line)) analysed = true;
  if (!analysed)
    inputError(source, lineLabel(f.line) + " is not analysed by " + instrument.configPath +
                           (f.allBeams ? "" : fmt::format(" under beam {}", f.beam)));
  return f;
}

// Two factors for one line would multiply: a repeated --factor is a typing error, refused.
void refuseRepeatedFactors(const std::vector<LineFactor>& factors) {
  for (std::size_t j = 1; j < factors.size(); ++j)
    for (std::size_t i = 0; i < j; ++i) {
      const LineFactor& a = factors[i];
      const LineFactor& b = factors[j];
      if (a.line == b.line && (a.allBeams || b.allBeams || a.beam == b.beam))
        inputError("--factor " + b.text, "a second factor for " + lineLabel(b.line) + " after --factor " + a.text +
                                             ": give one factor per line and beam");
    }
}

// Seeded normal deviates, the same on every platform (std::normal_distribution is not).
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : engine_(seed) {}
  double normal() {
    constexpr double kTwoPi = 6.283185307179586;
    const double u1 = uniform(), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(kTwoPi * u2);
  }

 private:
  double uniform() { return (static_cast<double>(engine_() >> 11) + 0.5) * 0x1.0p-53; }
  std::mt19937_64 engine_;
};

Json::Value appendStandard(const SimulateOptions& o, const StandardRecord& record) {
  Json::Value root(Json::objectValue);
  root["standards"] = Json::Value(Json::arrayValue);
  std::error_code ec;
  if (o.append && std::filesystem::exists(o.output, ec)) {
    root = readJsonFile(o.output);
    const JsonNode node(root, o.output);
    node.requireObject();
    const JsonNode list = node.member("standards");
    list.requireArray();
    for (unsigned int i = 0; i < list.size(); ++i) {
      const JsonNode name = list.element(i).member("name");
      if (name.string() == record.name) name.fail("already holds a standard named \"" + record.name + "\"");
    }
  }
  root["standards"].append(standardToJson(record));
  return root;
}

// The file of beam b: the path itself for beam 0, "name.beamB.ext" for the others.
std::string spectrumPath(const std::string& path, unsigned int beam) {
  if (beam == 0) return path;
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return path + fmt::format(".beam{}", beam);
  return path.substr(0, dot) + fmt::format(".beam{}", beam) + path.substr(dot);
}

// A synthetic spectrum per beam: the same predictions as the rates (stated factors
// included), spread by the detector response, as MCA files.
void writeSpectra(const SimulateOptions& o, Instrument& instrument, const calyx::Compound& composition,
                  const std::vector<LineFactor>& factors) {
  if (!(o.liveTime > 0) || !std::isfinite(o.liveTime)) inputError("--live-time", "a spectrum needs a live time above 0 s");
  calyx::FPRateAlgorithm& engine = *instrument.engine;
  for (calyx::FPRateAlgorithm::AnalysisLine& line : engine.analysisLines)
    for (const LineFactor& f : factors)
      if ((f.allBeams || f.beam == line.beam) && f.line == line.line) line.calibrationFactor *= f.factor;
  engine.leCalibrationFactors[0] *= o.leFactor;
  engine.leCalibrationOffsets[0] = engine.leCalibrationOffsets[0] * o.leFactor + o.leOffset;
  for (unsigned int b = 0; b < instrument.beamCount(); ++b) {
    LibraryErrors errors;
    std::unique_ptr<calyx::SpectrumFit> fit;
    if (calyx::SpectrumFit::create(engine, b, instrument.builder.tube, calyx::SpectrumFitOptions(), fit) != 0) continue;
    calyx::SyntheticSpectrumOptions so;
    so.liveTimeSeconds = o.liveTime;
    so.noise = o.noiseSeed >= 0;
    so.seed = static_cast<std::uint64_t>(std::max<std::int64_t>(0, o.noiseSeed));
    calyx::LinearSpectrum<double> spectrum;
    if (fit->synthesize(engine, composition, so, spectrum) != 0)
      throw std::runtime_error("the synthetic spectrum of beam " + std::to_string(b) + " failed: " + errors.text());
    calyx::MCAFile file;
    file.setSpectrum(spectrum);
    file.setMetadata("Livetime", fmt::format("{}", o.liveTime));
    file.setMetadata("Beam", std::to_string(b));
    // Through a temporary file, as every output of the tool: a failed write leaves an
    // earlier spectrum as it was.
    const std::string path = spectrumPath(o.spectrum, b);
    PendingOutput output(path);
    if (file.write(output.temporary()) != 0 || errors.any())
      inputError(path, errors.any() ? errors.text() : "cannot write the spectrum");
    output.commit();
  }
}

int runSimulate(const SimulateOptions& o) {
  if (o.append && (o.standard.empty() || !isFileOutput(o.output)))
    inputError("--append", "adds a standard to a standards file: it needs --standard NAME and -o FILE");
  if (!(o.noise >= 0 && o.noise < 1)) inputError("--noise", "the relative noise must lie in [0, 1)");
  if (!(o.leFactor > 0) || !std::isfinite(o.leFactor)) inputError("--le-factor", "must be a finite number above 0");
  if (!std::isfinite(o.leOffset)) inputError("--le-offset", "must be a finite number");
  refuseOutputOverInputs(o.output, {o.config, o.composition, o.calibration});
  if (!o.spectrum.empty()) refuseOutputOverInputs(o.spectrum, {o.config, o.composition, o.calibration});

  Instrument instrument;
  readConfiguration(o.config, instrument);
  buildEngine(instrument);
  if (!o.calibration.empty()) loadCalibration(instrument, o.calibration);
  const calyx::Compound composition = readComposition(o.composition, "--composition");
  requireModelledElements(instrument, composition, "--composition " + o.composition);
  std::vector<LineFactor> factors;
  for (const std::string& text : o.factors) factors.push_back(parseFactor(text, instrument));
  refuseRepeatedFactors(factors);

  calyx::FPRateAlgorithm& engine = *instrument.engine;
  engine.chemistry->setCompound(composition);
  computeAllRates(engine);

  Noise noise(o.seed);
  auto measured = [&](double exact, double& uncertainty) {
    uncertainty = o.noise * exact;
    if (o.noise == 0) return exact;
    return std::max(0.0, exact * (1.0 + o.noise * noise.normal()));
  };

  std::vector<BeamRates> beams(instrument.beamCount());
  for (const calyx::FPRateAlgorithm::AnalysisLine& line : engine.analysisLines) {
    double rate = predictedLineRate(engine, line);
    if (!std::isfinite(rate))
      inputError(o.calibration.empty() ? o.config : o.calibration,
                 fmt::format("the model gives beam {} no finite rate for {}", line.beam, lineLabel(line.line)));
    for (const LineFactor& f : factors) {
      if (!((f.allBeams || f.beam == line.beam) && f.line == line.line)) continue;
      rate *= f.factor;
      if (!std::isfinite(rate)) inputError("--factor " + f.text, "makes the rate of " + lineLabel(line.line) + " infinite");
    }
    LineRate r;
    r.line = line.line;
    r.rate = measured(rate, r.uncertainty);
    r.hasUncertainty = o.noise > 0;
    beams[line.beam].lines.push_back(r);
  }
  for (unsigned int b = 0; b < instrument.beamCount(); ++b) {
    if (!hasScatterModel(engine, b)) continue;  // the beam's spectrum does not reach 20 keV
    const double model = predictedScatterRate(engine, b, composition);
    if (!std::isfinite(model))
      inputError(o.calibration.empty() ? o.config : o.calibration,
                 fmt::format("the model gives beam {} no finite scatter rate", b));
    const double exact = model * o.leFactor + o.leOffset;
    if (!std::isfinite(exact))
      inputError("--le-factor", fmt::format("{:g} makes the scatter rate of beam {} infinite", o.leFactor, b));
    // A measured rate is never below 0 (quantify refuses such a file).
    if (exact < 0)
      inputError(o.leOffset < 0 ? "--le-offset" : (o.calibration.empty() ? o.config : o.calibration),
                 fmt::format("gives beam {} a scatter rate of {:g}, below 0", b, exact));
    double ignored = 0;
    beams[b].scatterRate = measured(exact, ignored);
    beams[b].hasScatterRate = true;
  }

  if (!o.spectrum.empty()) writeSpectra(o, instrument, composition, factors);

  if (!o.standard.empty()) {
    StandardRecord record;
    record.name = o.standard;
    record.composition = composition;
    record.beams = beams;
    emit(o.output, toJsonText(appendStandard(o, record)));
  } else {
    RatesRecord record;
    record.sample = o.sample;
    record.beams = beams;
    emit(o.output, toJsonText(ratesToJson(record)));
  }
  return kExitOk;
}

}  // namespace

Command addSimulateCommand(CLI::App& app) {
  auto o = std::make_shared<SimulateOptions>();
  CLI::App* sub = app.add_subcommand(
      "simulate",
      "Predict the measured rates of a sample of known composition: for each beam and analysed line the\n"
      "calibrated, efficiency-weighted model rate (rate x calibration factor x detector efficiency), and each\n"
      "beam's light-element scatter rate. Writes a rates file for quantify (or a standard for calibrate).");
  sub->add_option("CONFIG", o->config, "Instrument configuration (JSON)")->required();
  sub->add_option("-c,--composition", o->composition,
                  "The sample: a composition file, or mass fractions as Fe=0.7,Ni=0.3 (they must add up to 1)")
      ->required();
  sub->add_option("--calibration", o->calibration, "Calibration file whose factors the prediction includes");
  sub->add_option("--factor", o->factors,
                  "A stated instrument factor multiplying one line's rate, [BEAM:]SYMBOL:LINE=FACTOR, e.g.\n"
                  "Fe:KA=1.7 (every beam) or 1:Si:KA=0.8 (beam 1 only); repeat for more lines (one factor per line\n"
                  "and beam)");
  sub->add_option("--le-factor", o->leFactor, "Stated factor on every scatter rate (default 1)");
  sub->add_option("--le-offset", o->leOffset, "Stated offset added to every scatter rate (default 0)");
  sub->add_option("--noise", o->noise,
                  "Relative standard deviation of Gaussian noise on every rate (default 0: exact rates)");
  sub->add_option("--seed", o->seed, "Seed of the noise, for reproducible data (default 1)");
  sub->add_option("--sample", o->sample, "Sample name written into the rates file");
  sub->add_option("--standard", o->standard,
                  "Write a standards file holding this sample as a standard of this name, with its composition");
  sub->add_flag("--append", o->append, "With --standard: add the standard to the standards file -o FILE");
  sub->add_option("-o,--output", o->output, "Output file, or - for standard output (the default)");
  sub->add_option("--spectrum", o->spectrum,
                  "Also write a synthetic spectrum per beam (MCA file): this path for beam 0, NAME.beamN.EXT for beam N");
  sub->add_option("--live-time", o->liveTime, "Live time of the synthetic spectra, seconds");
  sub->add_option("--noise-seed", o->noiseSeed, "Poisson noise on the spectra from this seed (default: no noise)");
  return Command{sub, [o] { return runSimulate(*o); }};
}

}  // namespace calyxtool
