// calyx.Engine: one quantification engine with the builder it came from (kept to build
// worker engines for batches), used by one thread at a time (a lock serialises callers).
#include <omp.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include <fmt/format.h>
#include <json/json.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <calyx/Calibration.h>
#include <calyx/FPRateAlgorithm.h>
#include <calyx/Filter.h>
#include <calyx/TubeSpectrum.h>

#include "Convert.h"
#include "Core.h"
#include "Errors.h"
#include "Module.h"
#include "Spectra.h"

namespace py = pybind11;

namespace calyxpy {

namespace {

using calyx::FPRateAlgorithm;

// More points than this in a tube spectrum is a typing error in the step.
constexpr double kMaxTubePoints = 1e6;

/// A reference sample for calibrate(): name, certified composition, measured rates.
struct StandardRecord {
  std::string name;
  calyx::Compound composition;
  Measurement rates;
};

struct TubeSpectrumResult {
  py::array energies;
  py::array intensities;
  std::vector<std::string> lineNames;
  py::array lineEnergies;
  py::array lineIntensities;
};

// The calibration state of an engine, to put back when a read or a fit fails half-way.
struct CalibrationSnapshot {
  explicit CalibrationSnapshot(const FPRateAlgorithm& e)
      : leFactors(e.leCalibrationFactors), leOffsets(e.leCalibrationOffsets) {
    for (const FPRateAlgorithm::AnalysisLine& l : e.analysisLines) {
      factors.push_back(l.calibrationFactor);
      guesses.push_back(l.initialGuessFactor);
    }
  }
  void restore(FPRateAlgorithm& e) const {
    for (std::size_t i = 0; i < e.analysisLines.size(); ++i) {
      e.analysisLines[i].calibrationFactor = factors[i];
      e.analysisLines[i].initialGuessFactor = guesses[i];
    }
    e.leCalibrationFactors = leFactors;
    e.leCalibrationOffsets = leOffsets;
  }
  std::vector<double> factors, guesses, leFactors, leOffsets;
};

std::string pathOf(py::handle path) {
  return py::module_::import("os").attr("fspath")(path).cast<std::string>();
}

class Engine {
 public:
  explicit Engine(py::object config) {
    if (py::isinstance<py::dict>(config)) {
      source_ = "configuration dict";
      const std::string text = py::module_::import("json").attr("dumps")(config).cast<std::string>();
      libraryCall(ErrorKind::Configuration, source_, [&] {
        Json::CharReaderBuilder reader;
        reader["collectComments"] = false;
        Json::Value root;
        std::string errors;
        std::istringstream in(text);
        if (!Json::parseFromStream(reader, in, &root, &errors)) throw CalyxException(ErrorKind::Configuration, errors);
        return builder_.readConfig(root);
      });
    } else {
      source_ = pathOf(config);
      libraryCall(ErrorKind::Configuration, source_, [&] { return builder_.readConfig(source_.c_str()); });
    }
    libraryCall(ErrorKind::Configuration, source_, [&] { return builder_.create(engine_); });
    if (!engine_) fail(ErrorKind::Configuration, source_ + ": the library built no engine");
  }

  unsigned int beamCount() const { return static_cast<unsigned int>(engine_->shermans.size()); }

  void requireBeam(int beam) const {
    if (beam < 0 || static_cast<unsigned int>(beam) >= beamCount())
      inputError(fmt::format("beam {} is out of range: the engine has {} beam(s)", beam, beamCount()));
  }

  std::vector<std::string> elements() const {
    std::vector<std::string> out;
    for (const calyx::Element& e : engine_->chemistry->elements) out.push_back(calyx::printableSymbol(e));
    return out;
  }

  std::vector<std::string> lightElements(int beam) const {
    requireBeam(beam);
    std::vector<std::string> out;
    for (const calyx::Element& e : engine_->leElements[static_cast<unsigned int>(beam)])
      out.push_back(calyx::printableSymbol(e));
    return out;
  }

  std::vector<std::string> lines(int beam) const {
    requireBeam(beam);
    std::vector<std::string> out;
    for (const FPRateAlgorithm::AnalysisLine& l : engine_->analysisLines)
      if (l.beam == static_cast<unsigned int>(beam)) out.push_back(lineLabel(l.line));
    return out;
  }

  py::dict lineFactors() const {
    py::dict out;
    for (const FPRateAlgorithm::AnalysisLine& l : engine_->analysisLines)
      out[py::make_tuple(l.beam, lineLabel(l.line))] = l.calibrationFactor;
    return out;
  }

  // Beam 0's; not a number for an engine without beams.
  double leFactor() const {
    return engine_->leCalibrationFactors.empty() ? std::nan("") : engine_->leCalibrationFactors[0];
  }
  double leOffset() const {
    return engine_->leCalibrationOffsets.empty() ? std::nan("") : engine_->leCalibrationOffsets[0];
  }

  /// Puts the factors back as they were before a failed read or fit.
  void restore(const std::unique_ptr<CalibrationSnapshot>& before) {
    if (!before) return;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(mutex_);
    before->restore(*engine_);
  }

  void loadCalibration(py::object path) {
    const std::string file = pathOf(path);
    std::unique_ptr<CalibrationSnapshot> before;
    try {
      libraryCall(ErrorKind::CalibrationFile, file, [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        before = std::make_unique<CalibrationSnapshot>(*engine_);
        return engine_->readCalibrationFile(file.c_str());
      });
    } catch (...) {
      restore(before);  // never a half-read calibration
      throw;
    }
  }

  void saveCalibration(py::object path) {
    const std::string file = pathOf(path);
    libraryCall(ErrorKind::CalibrationFile, file, [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      return engine_->writeCalibrationFile(file.c_str());
    });
  }

  /// Any form of rates quantify() takes, as a measurement.
  Measurement toMeasurement(py::handle rates, py::handle scatter) const {
    if (py::isinstance<Measurement>(rates)) {
      if (!scatter.is_none()) inputError("the scatter rate belongs into the Rates object");
      return rates.cast<Measurement>();
    }
    if (py::isinstance<py::dict>(rates) || py::isinstance<py::str>(rates) ||
        (!py::isinstance<py::sequence>(rates) && !py::hasattr(rates, "__array__")))
      inputError("rates are a calyx.Rates or a list with one entry per beam (BeamRates, {line: rate} or an array "
                 "in the order of Engine.lines(beam)), not " + py::repr(rates).cast<std::string>());
    Measurement m;
    unsigned int b = 0;
    for (auto item : py::iter(rates)) {
      if (b >= beamCount())
        inputError(fmt::format("rates for more beams than the engine's {}", beamCount()));
      py::object beamScatter = b == 0 ? py::reinterpret_borrow<py::object>(scatter) : py::none();
      if (py::isinstance<BeamMeasurement>(item)) {
        BeamMeasurement beam = item.cast<BeamMeasurement>();
        if (!beamScatter.is_none()) {
          if (beam.hasScatter) inputError("beam 0 has a scatter rate twice: in its BeamRates and as scatter=");
          beam.hasScatter = true;
          beam.scatter = beamScatter.cast<double>();
        }
        m.beams.push_back(beam);
      } else if (py::isinstance<py::dict>(item)) {
        m.beams.push_back(toBeam(item, py::none(), beamScatter, py::none()));
      } else {
        py::list labels;
        for (const std::string& l : lines(static_cast<int>(b))) labels.append(l);
        m.beams.push_back(toBeam(labels, item, beamScatter, py::none()));
      }
      ++b;
    }
    return m;
  }

  QuantifyOptions options(double tolerance, int maxPasses, const std::string& solver) const {
    if (maxPasses < 1) inputError("max_passes needs at least 1 pass");
    if (solver != "passes" && solver != "robust")
      inputError("solver \"" + solver + "\" is not one of passes, robust");
    if (!(tolerance > 0)) inputError("the tolerance must be above 0");
    QuantifyOptions o;
    o.tolerance = tolerance;
    o.maxPasses = maxPasses;
    o.robust = solver == "robust";
    return o;
  }

  /// No composition is given where the passes could not work or ran away.
  static void requireComposition(const QuantifyResult& r, const std::string& where) {
    const std::string why = calyxhost::noCompositionReason(r.outcome);
    if (!why.empty()) fail(ErrorKind::Convergence, where + why);
  }

  QuantifyResult quantify(py::object rates, py::object scatter, double tolerance, int maxPasses,
                          const std::string& solver) {
    const Measurement m = toMeasurement(rates, scatter);
    const QuantifyOptions o = options(tolerance, maxPasses, solver);
    QuantifyResult result;
    libraryCall(ErrorKind::Calyx, "", [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::string problem = checkMeasurement(*engine_, m);
      if (!problem.empty()) inputError(problem);
      result = calyxpy::quantify(*engine_, m, o);
      return 0;
    });
    requireComposition(result, "");
    return result;
  }

  /// Thread CPU seconds of one quantification by the C++ core alone (the work quantify()
  /// does behind the GIL), averaged over `number` runs: the benchmark's reference.
  double timeCore(py::object rates, int number) {
    const Measurement m = toMeasurement(rates, py::none());
    const QuantifyOptions o;
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> lock(mutex_);
    timespec start{}, stop{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (int k = 0; k < number; ++k) {
      if (!checkMeasurement(*engine_, m).empty()) break;
      QuantifyResult r = calyxpy::quantify(*engine_, m, o);
      if (r.outcome.passes < 0) break;  // keeps the result alive for the optimiser
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &stop);
    return (static_cast<double>(stop.tv_sec - start.tv_sec) + 1e-9 * static_cast<double>(stop.tv_nsec - start.tv_nsec)) /
           std::max(1, number);
  }

  std::vector<QuantifyResult> quantifyMany(py::object items, py::object threads, double tolerance, int maxPasses,
                                           const std::string& solver) {
    std::vector<Measurement> measurements;
    for (auto item : py::iter(items)) measurements.push_back(toMeasurement(item, py::none()));
    const QuantifyOptions o = options(tolerance, maxPasses, solver);
    const std::size_t n = measurements.size();
    std::size_t workers = threads.is_none() ? std::max(1u, std::thread::hardware_concurrency())
                                            : static_cast<std::size_t>(std::max(1, threads.cast<int>()));
    workers = std::max<std::size_t>(1, std::min(workers, n));

    std::vector<QuantifyResult> results(n);
    std::vector<Capture> captures(n);
    std::vector<Capture> setup(workers);
    std::vector<std::string> problems(n);
    std::vector<int> buildStatus(workers, 0);
    std::vector<std::exception_ptr> failures(workers);
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      for (std::size_t i = 0; i < n; ++i) {
        CaptureScope scope(captures[i]);
        problems[i] = checkMeasurement(*engine_, measurements[i]);
      }
      if (std::all_of(problems.begin(), problems.end(), [](const std::string& p) { return p.empty(); })) {
        // Worker 0 is this engine; the others are engines of their own, built once from
        // the same builder and given this engine's calibration at every call. Each runs
        // its share of OpenMP threads inside the rate computation.
        while (extra_.size() + 1 < workers) extra_.emplace_back();
        const int ompShare = std::max(1, omp_get_max_threads() / static_cast<int>(workers));
        std::atomic<std::size_t> next{0};
        auto work = [&](std::size_t w) noexcept {
          try {
            FPRateAlgorithm* engine = engine_.get();
            if (w > 0) {
              CaptureScope scope(setup[w]);
              std::unique_ptr<FPRateAlgorithm>& own = extra_[w - 1];
              if (!own) {
                FPRateAlgorithm::Builder copy = builder_;
                buildStatus[w] = copy.create(own);
                if (buildStatus[w] != 0 || !own) return;
              }
              copyCalibration(*engine_, *own);
              engine = own.get();
              omp_set_num_threads(ompShare);
            }
            for (std::size_t i = next++; i < n; i = next++) {
              CaptureScope scope(captures[i]);
              results[i] = calyxpy::quantify(*engine, measurements[i], o);
            }
          } catch (...) {
            failures[w] = std::current_exception();
          }
        };
        std::vector<std::thread> pool;
        try {
          for (std::size_t w = 1; w < workers; ++w) pool.emplace_back(work, w);
        } catch (const std::system_error&) {
          // Fewer threads than asked: the ones running, and this one, share the work.
        }
        const int ownThreads = omp_get_max_threads();
        omp_set_num_threads(workers > 1 ? ompShare : ownThreads);
        work(0);
        omp_set_num_threads(ownThreads);
        for (std::thread& t : pool) t.join();
      }
    }
    for (const Capture& c : setup) emit(c);
    for (const Capture& c : captures) emit(c);
    for (const std::exception_ptr& f : failures)
      if (f) std::rethrow_exception(f);
    for (std::size_t i = 0; i < n; ++i)
      if (!problems[i].empty()) inputError(fmt::format("measurement {}: {}", i, problems[i]));
    for (std::size_t w = 0; w < workers; ++w)
      if (buildStatus[w] != 0 || setup[w].anyError())
        fail(ErrorKind::Configuration, "a worker engine cannot be built: " + setup[w].errorText());
    for (std::size_t i = 0; i < n; ++i) {
      if (captures[i].anyError()) fail(ErrorKind::Calyx, fmt::format("measurement {}: {}", i, captures[i].errorText()));
      requireComposition(results[i], fmt::format("measurement {}: ", i));
    }
    return results;
  }

  /// An engine as the tool builds it for one run (from the builder, with this engine's
  /// calibration): the spectrum fit ties coinciding beta lines in the ratio of the engine's
  /// predictions, which must not be those of whatever this engine computed last.
  std::unique_ptr<FPRateAlgorithm> freshEngine() {
    std::unique_ptr<FPRateAlgorithm> fresh;
    libraryCall(ErrorKind::Configuration, "", [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      FPRateAlgorithm::Builder copy = builder_;
      const int status = copy.create(fresh);
      if (fresh) copyCalibration(*engine_, *fresh);
      return status;
    });
    if (!fresh) fail(ErrorKind::Configuration, "the engine cannot be built again");
    return fresh;
  }

  FitRecord fitSpectrumOf(py::object spectrum, unsigned int beam, py::object offset, py::object slope,
                          py::object liveTime, py::object composition) {
    const SpectrumRecord s = toSpectrum(spectrum, offset, slope, liveTime);
    calyx::Compound c;
    if (!composition.is_none()) {
      c = toCompound(composition, true);
      requireModelled(c);
    }
    FitRecord record;
    std::unique_ptr<FPRateAlgorithm> fresh = freshEngine();
    if (!composition.is_none()) {
      // Coinciding beta lines then tie in the ratio of the model's rates for this sample.
      fresh->chemistry->setCompound(c);
      computeAllRates(*fresh);
    }
    record.fit = fitSpectrum(*fresh, builder_.tube, beam, s);
    return record;
  }

  /// The tool's --spectra path: each beam's spectrum fitted, quantified, then fitted again
  /// with the predictions at the composition found and quantified once more.
  QuantifyResult quantifySpectra(py::object spectra, py::object liveTime, double tolerance, int maxPasses,
                                 const std::string& solver) {
    std::vector<SpectrumRecord> records;
    for (auto item : py::iter(spectra)) records.push_back(toSpectrum(item, py::none(), py::none(), liveTime));
    if (records.empty()) inputError("no spectrum given");
    if (records.size() > beamCount())
      inputError(fmt::format("{} spectra for the {} beam(s) of the engine", records.size(), beamCount()));
    const QuantifyOptions o = options(tolerance, maxPasses, solver);
    std::unique_ptr<FPRateAlgorithm> fresh = freshEngine();  // this call's own: no lock needed
    auto measure = [&] {
      Measurement m;
      for (unsigned int b = 0; b < records.size(); ++b)
        m.beams.push_back(beamFromFit(fitSpectrum(*fresh, builder_.tube, b, records[b])));
      return m;
    };
    auto run = [&](const Measurement& m) {
      QuantifyResult result;
      libraryCall(ErrorKind::Calyx, "", [&] {
        const std::string problem = checkMeasurement(*fresh, m);
        if (!problem.empty()) inputError(problem);
        result = calyxpy::quantify(*fresh, m, o);
        return 0;
      });
      return result;
    };
    QuantifyResult result = run(measure());
    if (result.outcome.hasResult()) result = run(measure());
    requireComposition(result, "");
    return result;
  }

  SpectrumRecord synthesizeSpectrum(py::object composition, unsigned int beam, double liveTime, double offset,
                                    double slope, unsigned int channels, py::object seed) {
    const calyx::Compound c = toCompound(composition, true);
    requireModelled(c);
    if (beam >= beamCount()) inputError(fmt::format("beam {} is out of range: the engine has {} beam(s)", beam, beamCount()));
    if (!(liveTime > 0) || !std::isfinite(liveTime)) inputError("a spectrum needs a live time above 0 s");
    if (!(std::isfinite(offset) && std::isfinite(slope) && slope > 0))
      inputError(fmt::format("the energy scale needs a finite offset and a slope above 0 (got {}, {})", offset, slope));
    calyx::SyntheticSpectrumOptions so;
    so.liveTimeSeconds = liveTime;
    so.energyScale = {offset, slope};
    so.channels = channels;
    so.noise = !seed.is_none();
    if (so.noise) so.seed = seed.cast<std::uint64_t>();
    calyx::LinearSpectrum<double> spectrum;
    libraryCall(ErrorKind::Calyx, "", [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      std::unique_ptr<calyx::SpectrumFit> fitter;
      if (calyx::SpectrumFit::create(*engine_, beam, builder_.tube, calyx::SpectrumFitOptions(), fitter) != 0) return 1;
      engine_->chemistry->setCompound(c);
      computeAllRates(*engine_);
      return fitter->synthesize(*engine_, c, so, spectrum);
    });
    SpectrumRecord r;
    for (unsigned int i = 0; i < spectrum.size(); ++i) r.counts.push_back(spectrum.valueAt(i));
    r.offset = spectrum.getFirstEnergy();
    r.slope = spectrum.getStepSize();
    r.liveTime = liveTime;
    r.source = "the synthetic spectrum";
    return r;
  }

  void requireModelled(const calyx::Compound& c) const {
    for (const calyx::ElementChemistry& e : c)
      if (!engine_->chemistry->hasElement(e.element))
        inputError(calyx::printableSymbol(e.element) + " is not among the elements of the engine");
  }

  Measurement simulate(py::object composition) {
    const calyx::Compound c = toCompound(composition, true);
    requireModelled(c);
    Measurement m;
    libraryCall(ErrorKind::Calyx, "", [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      m = calyxpy::simulate(*engine_, c);
      return 0;
    });
    return m;
  }

  py::array_t<double> modelRates(py::object composition, py::object beamArg) {
    const calyx::Compound c = toCompound(composition, false);
    requireModelled(c);
    const int beam = beamArg.is_none() ? -1 : beamArg.cast<int>();
    if (beam >= 0) requireBeam(beam);
    std::vector<double> out;
    libraryCall(ErrorKind::Calyx, "", [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      engine_->chemistry->setCompound(c);
      computeAllRates(*engine_);
      for (const FPRateAlgorithm::AnalysisLine& l : engine_->analysisLines)
        if (beam < 0 || l.beam == static_cast<unsigned int>(beam)) out.push_back(*l.theoreticalRate);
      return 0;
    });
    return newArray(out);
  }

  double scatterRate(py::object composition, int beam) {
    requireBeam(beam);
    if (!hasScatterModel(*engine_, static_cast<unsigned int>(beam)))
      inputError(fmt::format("beam {}'s excitation spectrum stops below 20 keV: no scatter model", beam));
    const calyx::Compound c = toCompound(composition, false);
    double rate = 0.0;
    libraryCall(ErrorKind::Calyx, "", [&] {
      std::lock_guard<std::mutex> lock(mutex_);
      rate = predictedScatterRate(*engine_, static_cast<unsigned int>(beam), c);
      return 0;
    });
    return rate;
  }

  py::tuple excitation(int beam) const {
    requireBeam(beam);
    const calyx::SpectrumBase<double>* s = engine_->shermans[static_cast<unsigned int>(beam)].excitationSpectrum();
    std::vector<double> energies, values;
    for (unsigned int i = 0; s && i < s->size(); ++i) {
      energies.push_back(s->energyAt(i));
      values.push_back(s->valueAt(i));
    }
    return py::make_tuple(newArray(energies), newArray(values));
  }

  TubeSpectrumResult tubeSpectrum(int beam, double step) const {
    requireBeam(beam);
    const FPRateAlgorithm::Builder::Beam& b = builder_.beams[static_cast<unsigned int>(beam)];
    const double voltage = b.tubeKeV;
    if (!(step > 0) || voltage / step > kMaxTubePoints)
      inputError(fmt::format("a step of {:g} keV gives no sensible grid up to {:g} kV", step, voltage));
    calyx::TubeSpectrumCreator creator;
    creator.setHardware(builder_.tube);
    creator.setFilters(b.filters);
    creator.setVoltage(voltage);
    creator.setStepSize(step);
    auto continuum = std::make_unique<calyx::LinearSpectrum<double>>(0.0, voltage, step);
    calyx::DiscreteSpectrum<double> lines;
    {
      py::gil_scoped_release release;
      creator.generateContinuumSpectrum(step, *continuum);
      lines = creator.generateDiscreteSpectrum();
    }
    TubeSpectrumResult out;
    std::vector<double> energies;
    for (unsigned int i = 0; i < continuum->size(); ++i) energies.push_back(continuum->energyAt(i));
    out.energies = newArray(energies);
    // The continuum's values stay where the library computed them: the array is a view
    // of the spectrum's own buffer, which the array keeps alive.
    const unsigned int size = continuum->size();
    const double* data = continuum->values();
    py::capsule owner(continuum.release(),
                      [](void* p) { delete static_cast<calyx::LinearSpectrum<double>*>(p); });
    out.intensities = size ? readOnlyView(data, size, owner) : py::array(newArray({}));
    const calyx::Element anode(builder_.tube.anodeZ);
    std::vector<double> lineEnergies, lineValues;
    for (unsigned int i = 0; i < lines.size(); ++i) {
      std::string name = "?";
      for (int code : calyx::groupLines)
        if (calyx::XRFLine::create(anode, code).lineEnergyKeV() == lines.energyAt(i))
          name = calyx::printableSymbol(anode) + " " + calyx::lineName(code);
      out.lineNames.push_back(name);
      lineEnergies.push_back(lines.energyAt(i));
      lineValues.push_back(lines.valueAt(i));
    }
    out.lineEnergies = newArray(lineEnergies);
    out.lineIntensities = newArray(lineValues);
    return out;
  }

  py::array_t<double> detectorEfficiency(py::object energies) const {
    DoubleArray e = toArray(energies, "energies");
    py::array_t<double> out(e.size());
    const double* in = e.data();
    double* o = out.mutable_data();
    const calyx::DetectorHardware detector = engine_->detector;
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < e.size(); ++i) o[i] = detector.getDetectorEfficiencyFactor(in[i]);
    return out;
  }

  py::array_t<double> filterTransmission(int beam, py::object energies) const {
    requireBeam(beam);
    DoubleArray e = toArray(energies, "energies");
    py::array_t<double> out(e.size());
    const double* in = e.data();
    double* o = out.mutable_data();
    const std::vector<calyx::Filter>& filters = builder_.beams[static_cast<unsigned int>(beam)].filters;
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < e.size(); ++i) o[i] = calyx::Filter::getTransmissionCoef(in[i], filters);
    return out;
  }

  void calibrate(const std::vector<StandardRecord>& standards, py::object debugCsv) {
    if (standards.empty()) inputError("calibration needs at least one standard");
    if (!hasScatterModel(*engine_, 0)) inputError(calyxhost::kNoScatterModel);
    std::vector<FPRateAlgorithm::Standard> records;
    std::set<std::string> names;
    std::set<float> distinctScatter;
    for (const StandardRecord& s : standards) {
      const std::string where = "standard \"" + s.name + "\"";
      if (!names.insert(s.name).second) inputError("a second standard named \"" + s.name + "\"");
      requireModelled(s.composition);
      if (s.rates.beams.empty() || s.rates.beams.size() > beamCount())
        inputError(fmt::format("{}: rates for {} beams, but the engine has {}", where, s.rates.beams.size(), beamCount()));
      if (!s.rates.beams[0].hasScatter)
        inputError(where + ": beam 0 needs a scatter rate: the light-element calibration fits it");
      FPRateAlgorithm::Standard standard;
      standard.setName(s.name.c_str());
      standard.compound = s.composition;
      standard.leRate = s.rates.beams[0].scatter;
      for (unsigned int b = 0; b < s.rates.beams.size(); ++b) {
        const BeamMeasurement& beam = s.rates.beams[b];
        for (std::size_t i = 0; i < beam.lines.size(); ++i) {
          if (!engine_->findLine(b, beam.lines[i]))
            inputError(fmt::format("{}: {} is not analysed under beam {}", where, lineLabel(beam.lines[i]), b));
          standard.rates[FPRateAlgorithm::LineKey(b, beam.lines[i])] = beam.rates[i];
        }
      }
      records.push_back(standard);
      distinctScatter.insert(static_cast<float>(rawScatterRate(*engine_, 0, s.composition)));
    }
    if (distinctScatter.size() < 2)
      inputError("the light-element fit (a straight line) needs at least two standards whose compositions scatter "
                 "differently");
    const std::string debugPath = debugCsv.is_none() ? std::string() : pathOf(debugCsv);
    std::unique_ptr<CalibrationSnapshot> before;
    try {
      libraryCall(ErrorKind::Calyx, "", [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        before = std::make_unique<CalibrationSnapshot>(*engine_);
        FPRateAlgorithm::Calibration calibration(*engine_);
        for (const FPRateAlgorithm::Standard& s : records) calibration.addStandard(s);
        if (!debugPath.empty()) calibration.setDebugFilePath(debugPath);
        calibration.computeCalibrationFactors();
        if (!std::isfinite(engine_->leCalibrationFactors[0]) || !std::isfinite(engine_->leCalibrationOffsets[0]))
          inputError("the light-element fit gave no finite factor and offset");
        return 0;
      });
    } catch (...) {
      restore(before);
      throw;
    }
  }

 private:
  FPRateAlgorithm::Builder builder_;
  std::unique_ptr<FPRateAlgorithm> engine_;
  std::string source_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<FPRateAlgorithm>> extra_;  // batch workers beyond this engine
};

StandardRecord makeStandard(const std::string& name, py::object composition, py::object rates, py::object scatter) {
  if (name.empty()) inputError("a standard needs a name");
  StandardRecord s;
  s.name = name;
  s.composition = toCompound(composition, true);
  if (py::isinstance<Measurement>(rates)) {
    if (!scatter.is_none()) inputError("the scatter rate belongs into the Rates object");
    s.rates = rates.cast<Measurement>();
    return s;
  }
  for (auto item : py::iter(rates)) {
    py::object beamScatter = s.rates.beams.empty() ? scatter : py::none();
    if (py::isinstance<BeamMeasurement>(item)) {
      s.rates.beams.push_back(item.cast<BeamMeasurement>());
      if (!beamScatter.is_none()) {
        if (s.rates.beams.back().hasScatter) inputError("beam 0 has a scatter rate twice: in its BeamRates and as scatter=");
        s.rates.beams.back().hasScatter = true;
        s.rates.beams.back().scatter = beamScatter.cast<double>();
      }
    } else {
      s.rates.beams.push_back(toBeam(item, py::none(), beamScatter, py::none()));
    }
  }
  return s;
}

}  // namespace

void bindEngine(py::module_& m) {
  py::class_<TubeSpectrumResult>(m, "TubeSpectrum",
                                 "A beam's excitation as the tube and the beam's filters make it: the continuum on a "
                                 "uniform grid (intensity per bin of the grid step) and the anode's characteristic "
                                 "lines (intensity per 1 keV bin). Energies in keV.")
      .def_readonly("energies", &TubeSpectrumResult::energies, "Continuum grid energies, keV (float64 array).")
      .def_readonly("intensities", &TubeSpectrumResult::intensities,
                    "Continuum intensities: a read-only view of the library's spectrum buffer (no copy).")
      .def_readonly("line_names", &TubeSpectrumResult::lineNames, "Anode lines, e.g. 'Rh KA'.")
      .def_readonly("line_energies", &TubeSpectrumResult::lineEnergies, "Anode line energies, keV.")
      .def_readonly("line_intensities", &TubeSpectrumResult::lineIntensities, "Anode line intensities.")
      .def("__iter__", [](const TubeSpectrumResult& t) {
        return py::iter(py::make_tuple(t.energies, t.intensities));
      }, "Unpacks as (energies, intensities) of the continuum.");

  py::class_<StandardRecord>(m, "Standard",
                             "A reference sample for Engine.calibrate: a name, its certified composition "
                             "{symbol: mass fraction} (adding up to 1 within 0.01) and its measured rates (a Rates, "
                             "or a list per beam of BeamRates or {line: rate} with beam 0's scatter rate as "
                             "scatter=); beam 0 needs its scatter rate.")
      .def(py::init(&makeStandard), py::arg("name"), py::arg("composition"), py::arg("rates"), py::kw_only(),
           py::arg("scatter") = py::none())
      .def_property_readonly("name", [](const StandardRecord& s) { return s.name; })
      .def_property_readonly("composition", [](const StandardRecord& s) { return compositionDict(s.composition, false); })
      .def_property_readonly("rates", [](const StandardRecord& s) { return s.rates; })
      .def("__repr__", [](const StandardRecord& s) { return "Standard(\"" + s.name + "\")"; });

  py::class_<Engine>(m, "Engine",
                     "A quantification engine for one measurement set-up.\n\n"
                     "Engine(config) reads a configuration file (a path) or takes the same content as a dict, and "
                     "builds the engine: raises ConfigurationError with the library's message when it cannot. "
                     "One thread at a time runs in an engine (other threads wait); use one engine per thread, or "
                     "quantify_many for batches.")
      .def(py::init<py::object>(), py::arg("config"))
      .def_property_readonly("beams", &Engine::beamCount, "Number of beams.")
      .def_property_readonly("elements", &Engine::elements, "The modelled elements, by atomic number.")
      .def("lines", &Engine::lines, py::arg("beam"),
           "The analysis lines of a beam, in the engine's order (the order of rate arrays), e.g. 'Fe KA'.")
      .def("light_elements", &Engine::lightElements, py::arg("beam"),
           "The light elements of a beam, estimated from scatter.")
      .def_property_readonly("line_factors", &Engine::lineFactors,
                             "Calibration factor of every analysis line: {(beam, 'Fe KA'): factor}.")
      .def_property_readonly("le_factor", &Engine::leFactor, "Beam 0's light-element (scatter) factor.")
      .def_property_readonly("le_offset", &Engine::leOffset, "Beam 0's light-element (scatter) offset.")
      .def("load_calibration", &Engine::loadCalibration, py::arg("path"),
           "Reads a calibration file. CalibrationFileError with the library's message when it cannot; the "
           "engine then keeps its factors.")
      .def("save_calibration", &Engine::saveCalibration, py::arg("path"),
           "Writes the calibration file (through a temporary file: a previous file stays intact on failure).")
      .def("calibrate", &Engine::calibrate, py::arg("standards"), py::arg("debug_csv") = py::none(),
           "Fits each measured line's factor and beam 0's light-element factor and offset on the standards. "
           "The library writes its trace to debug_csv (default: its platform path, /tmp/fp_cal_debug.csv). "
           "InputError for standards the engine cannot use (and the factors stay as they were).")
      .def("quantify", &Engine::quantify, py::arg("rates"), py::kw_only(), py::arg("scatter") = py::none(),
           py::arg("tolerance") = 1e-6, py::arg("max_passes") = 200, py::arg("solver") = "passes",
           "Quantifies one measurement as `calyx quantify` does: first guess, then passes until no mass fraction "
           "changes by more than tolerance, at most max_passes (solver='robust': damped Newton steps on the same "
           "fixed point, which converge for rates of any scale).\n\n"
           "rates: a Rates (from read_rates, say), or a list with one entry per beam: a BeamRates, a dict "
           "{'Fe KA': rate}, or an array in the order of lines(beam); scatter: beam 0's scatter rate for the "
           "list form. Lines with a rate of 0 or below stay out of the iteration. Returns a Result; "
           "result.converged is False when the pass limit came first or the last pass could not correct every line "
           "in use and the light elements (result.skipped_lines, result.light_elements_skipped). ConvergenceError, "
           "with no composition, when a pass corrected no line or the mass fractions ran out of [0, 1].")
      .def("quantify_many", &Engine::quantifyMany, py::arg("measurements"), py::arg("threads") = py::none(),
           py::kw_only(), py::arg("tolerance") = 1e-6, py::arg("max_passes") = 200, py::arg("solver") = "passes",
           "Quantifies many measurements (each as quantify takes it) on a pool of threads (default: one per "
           "core), each running an engine of its own built from this engine's configuration and calibration. "
           "Returns the results in order, the same numbers as quantify one at a time; ConvergenceError naming the "
           "first measurement that has no composition.")
      .def("_time_core", &Engine::timeCore, py::arg("rates"), py::arg("number"),
           "Benchmark hook: thread CPU seconds per quantification of the C++ core alone (no Python).")
      .def("fit_spectrum", &Engine::fitSpectrumOf, py::arg("spectrum"), py::arg("beam") = 0, py::kw_only(),
           py::arg("offset") = py::none(), py::arg("slope") = py::none(), py::arg("live_time") = py::none(),
           py::arg("composition") = py::none(),
           "Fits one beam's spectrum as `calyx fit` does: a path (any format read_spectrum reads), a Spectrum, or "
           "counts as an array with offset= and slope= (keV). live_time (seconds) overrides the file's and is "
           "required where it gives none. A beta group that coincides with another line (Cr KB under Mn KA) is "
           "tied to its alpha group in the ratio of the atomic data, or, with composition= {symbol: fraction}, of "
           "the model's rates for that sample (what quantify_spectra's second fit does). Returns a FitResult; "
           "InputError with the library's reason when the spectrum cannot be fitted.")
      .def("quantify_spectra", &Engine::quantifySpectra, py::arg("spectra"), py::kw_only(),
           py::arg("live_time") = py::none(), py::arg("tolerance") = 1e-6, py::arg("max_passes") = 200,
           py::arg("solver") = "passes",
           "Spectra to a composition as `calyx quantify --spectra` does: one spectrum per beam in beam order (each "
           "as fit_spectrum takes it, arrays as Spectrum objects), fitted, quantified, fitted again with the "
           "model's predictions at the composition found (coinciding beta lines then tie in the matrix's ratio) "
           "and quantified once more. Returns a Result; the errors of quantify.")
      .def("synthesize_spectrum", &Engine::synthesizeSpectrum, py::arg("composition"), py::arg("beam") = 0,
           py::kw_only(), py::arg("live_time") = 100.0, py::arg("offset") = 0.0, py::arg("slope") = 0.02,
           py::arg("channels") = 2048, py::arg("seed") = py::none(),
           "A synthetic Spectrum of a beam for a composition, as `calyx simulate --spectrum` writes it: the "
           "calibrated predictions spread by the detector response over a continuum; Poisson noise from seed "
           "(None: no noise).")
      .def("simulate", &Engine::simulate, py::arg("composition"),
           "The forward model: rates of every analysis line (model rate x calibration factor x detector "
           "efficiency) and each beam's scatter rate, for a composition {symbol: mass fraction}. Returns Rates "
           "that quantify gives back the composition from.")
      .def("model_rates", &Engine::modelRates, py::arg("composition"), py::arg("beam") = py::none(),
           "The Sherman model's rates (uncalibrated, before detector efficiency) of a beam's analysis lines "
           "(all beams when beam is None), in the order of lines(beam), as a float64 array.")
      .def("scatter_rate", &Engine::scatterRate, py::arg("composition"), py::arg("beam") = 0,
           "The calibrated scatter prediction of a beam for a composition.")
      .def("excitation", &Engine::excitation, py::arg("beam"),
           "The excitation the beam's model uses (1 keV continuum grid, then the anode lines) as (energies, "
           "intensities) arrays.")
      .def("tube_spectrum", &Engine::tubeSpectrum, py::arg("beam") = 0, py::arg("step") = 0.05,
           "The beam's tube spectrum on a grid of `step` keV, as `calyx tube` shows it: a TubeSpectrum, which "
           "also unpacks as (energies, intensities).")
      .def("detector_efficiency", &Engine::detectorEfficiency, py::arg("energies"),
           "The detector's efficiency (window transmission x crystal absorption) at each energy (keV).")
      .def("filter_transmission", &Engine::filterTransmission, py::arg("beam"), py::arg("energies"),
           "The transmission of the beam's primary filters at each energy (keV).");
}

}  // namespace calyxpy
