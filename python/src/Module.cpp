// The compiled part of the calyx package (calyx._calyx): rates and results, the engine
// (Engine.cpp), MCA files, the physics functions, and the log bridge.
#include "Module.h"
#include "Spectra.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <calyx/Filter.h>
#include <calyx/Hardware.h>
#include <calyx/MCAFile.h>
#include <calyx/version.h>

#include "Convert.h"
#include "Errors.h"
#include "LogBridge.h"

namespace py = pybind11;

namespace calyxpy {

namespace {

std::vector<std::string> labels(const std::vector<calyx::XRFLine>& lines) {
  std::vector<std::string> out;
  for (const calyx::XRFLine& l : lines) out.push_back(lineLabel(l));
  return out;
}

Measurement makeRates(py::object beams, const std::string& sample) {
  Measurement m;
  m.sample = sample;
  for (auto item : py::iter(beams)) {
    if (py::isinstance<BeamMeasurement>(item))
      m.beams.push_back(item.cast<BeamMeasurement>());
    else if (py::isinstance<py::dict>(item))
      m.beams.push_back(toBeam(item, py::none(), py::none(), py::none()));
    else
      inputError("each beam of a Rates is a BeamRates or a dict {line: rate}, not " +
                 py::repr(item).cast<std::string>());
  }
  return m;
}

/// An MCA file in memory: its spectrum and metadata.
struct Mca {
  calyx::MCAFile file;
};

Mca makeMca(py::object counts, double offset, double slope, py::object metadata) {
  DoubleArray values = toArray(counts, "counts");
  if (!(std::isfinite(offset) && std::isfinite(slope) && slope > 0))
    inputError(fmt::format("the energy scale needs a finite offset and a slope above 0 (got {}, {})", offset, slope));
  Mca mca;
  mca.file.setSpectrum(calyx::LinearSpectrum<double>(offset, slope,
                                                     std::vector<double>(values.data(), values.data() + values.size())));
  if (!metadata.is_none())
    for (auto item : py::reinterpret_borrow<py::dict>(metadata))
      mca.file.setMetadata(py::str(item.first).cast<std::string>(), py::str(item.second).cast<std::string>());
  return mca;
}

Mca readMca(py::object path) {
  const std::string file = py::module_::import("os").attr("fspath")(path).cast<std::string>();
  if (!std::ifstream(file)) fail(ErrorKind::McaFile, file + ": cannot open: " + std::strerror(errno));
  Mca mca;
  libraryCall(ErrorKind::McaFile, file, [&] { return calyx::MCAFile::load(file, mca.file); });
  if (!mca.file.getSpectrum()) fail(ErrorKind::McaFile, file + ": no spectrum");
  return mca;
}

calyx::Filter makeFilter(py::handle compound, double thickness, double density) {
  calyx::Compound c;
  if (py::isinstance<py::str>(compound)) {
    const std::string formula = compound.cast<std::string>();
    if (!calyx::Compound::fromFormula(formula, c)) inputError("\"" + formula + "\" is not a chemical formula");
  } else {
    c = toCompound(compound, false);
  }
  if (!(thickness >= 0) || !(density >= 0)) inputError("a filter's thickness and density cannot be negative");
  return calyx::Filter::create(c, thickness, density);
}

spdlog::level::level_enum toSpdlogLevel(py::handle level) {
  int value = 0;
  if (py::isinstance<py::str>(level)) {
    py::object number = py::module_::import("logging").attr("getLevelName")(py::str(level).attr("upper")());
    if (!py::isinstance<py::int_>(number)) inputError("unknown log level " + py::repr(level).cast<std::string>());
    value = number.cast<int>();
  } else {
    value = level.cast<int>();
  }
  if (value <= 5) return spdlog::level::trace;
  if (value <= 10) return spdlog::level::debug;
  if (value <= 20) return spdlog::level::info;
  if (value <= 30) return spdlog::level::warn;
  if (value <= 40) return spdlog::level::err;
  if (value <= 50) return spdlog::level::critical;
  return spdlog::level::off;
}

}  // namespace

}  // namespace calyxpy

PYBIND11_MODULE(_calyx, m) {
  using namespace calyxpy;
  m.doc() = "The compiled core of the calyx package; import calyx instead.";
  registerExceptions(m);
  installLogBridge();
  m.attr("__version__") = calyx::versionString();

  py::class_<BeamMeasurement>(m, "BeamRates",
                              "What was measured under one beam: line rates (counts per second, say), their "
                              "absolute uncertainties, and the scatter rate.\n\n"
                              "BeamRates({'Fe KA': 901765.5, 'Cr KA': 288577.8}, scatter=2025.9) or "
                              "BeamRates(['Fe KA', 'Cr KA'], numpy_rates, uncertainties=numpy_uncertainties). A line "
                              "is 'Fe KA', 'Pb -90' or ('Pb', -90).")
      .def(py::init([](py::object lines, py::object rates, py::object scatter, py::object uncertainties) {
             return toBeam(lines, rates, scatter, uncertainties);
           }),
           py::arg("lines"), py::arg("rates") = py::none(), py::kw_only(),
           py::arg("scatter") = py::none(), py::arg("uncertainties") = py::none())
      .def_property_readonly("lines", [](const BeamMeasurement& b) { return labels(b.lines); })
      .def_property_readonly(
          "rates", [](py::object self) {
            const BeamMeasurement& b = self.cast<const BeamMeasurement&>();
            return readOnlyView(b.rates.data(), b.rates.size(), self);
          },
          "The rates in the order of lines: a read-only view (no copy).")
      .def_property_readonly(
          "uncertainties", [](py::object self) {
            const BeamMeasurement& b = self.cast<const BeamMeasurement&>();
            return readOnlyView(b.uncertainties.data(), b.uncertainties.size(), self);
          },
          "Absolute uncertainties in the order of lines (0 when unknown): a read-only view.")
      .def_property_readonly("scatter", [](const BeamMeasurement& b) -> py::object {
        return b.hasScatter ? py::object(py::float_(b.scatter)) : py::object(py::none());
      }, "The scatter rate, or None.")
      .def("as_dict", [](const BeamMeasurement& b) {
        py::dict out;
        for (std::size_t i = 0; i < b.lines.size(); ++i) out[py::str(lineLabel(b.lines[i]))] = b.rates[i];
        return out;
      }, "{line: rate}.")
      .def("__len__", [](const BeamMeasurement& b) { return b.lines.size(); })
      .def("__repr__", [](const BeamMeasurement& b) {
        return fmt::format("BeamRates({} lines{})", b.lines.size(),
                           b.hasScatter ? fmt::format(", scatter={}", b.scatter) : std::string());
      });

  py::class_<Measurement>(m, "Rates",
                          "One sample's measurement: a BeamRates (or {line: rate}) per beam, in the "
                          "configuration's beam order (fewer beams allowed), and an optional sample name.")
      .def(py::init(&makeRates), py::arg("beams"), py::arg("sample") = "")
      .def_readonly("sample", &Measurement::sample)
      .def_property_readonly("beams", [](const Measurement& r) { return r.beams; }, "A list of BeamRates (copies).")
      .def("__len__", [](const Measurement& r) { return r.beams.size(); })
      .def("__repr__", [](const Measurement& r) {
        return fmt::format("Rates({} beams{})", r.beams.size(), r.sample.empty() ? "" : ", sample=\"" + r.sample + "\"");
      });

  py::class_<LineReport>(m, "LineResult", "One listed line of a quantification: measured and predicted rate.")
      .def_readonly("beam", &LineReport::beam)
      .def_property_readonly("line", [](const LineReport& l) { return lineLabel(l.line); }, "'Fe KA'.")
      .def_property_readonly("element", [](const LineReport& l) { return calyx::printableSymbol(l.line.element()); })
      .def_readonly("measured", &LineReport::measured)
      .def_readonly("predicted", &LineReport::predicted,
                    "Calibrated, efficiency-weighted model rate at the final composition.")
      .def_readonly("in_use", &LineReport::inUse, "False for a line listed without a positive rate.")
      .def("__repr__", [](const LineReport& l) {
        return fmt::format("LineResult(beam={}, line='{}', measured={}, predicted={})", l.beam, lineLabel(l.line),
                           l.measured, l.predicted);
      });

  py::class_<QuantifyResult>(m, "Result", "The outcome of Engine.quantify.")
      .def_readonly("sample", &QuantifyResult::sample)
      .def_property_readonly("composition", [](const QuantifyResult& r) { return compositionDict(r.composition, false); },
                             "Mass fractions by symbol (every modelled element, by atomic number).")
      .def_property_readonly("uncertainties", [](const QuantifyResult& r) { return compositionDict(r.composition, true); },
                             "Absolute uncertainties of the mass fractions, by symbol.")
      .def_property_readonly("fractions", [](const QuantifyResult& r) {
        std::vector<double> f;
        for (const calyx::ElementChemistry& e : r.composition) f.push_back(e.fraction);
        return newArray(f);
      }, "The mass fractions as an array, in the order of Engine.elements.")
      .def_property_readonly("passes", [](const QuantifyResult& r) { return r.outcome.passes; })
      .def_property_readonly("converged", [](const QuantifyResult& r) { return r.outcome.converged; })
      .def_property_readonly("last_change", [](const QuantifyResult& r) { return r.outcome.lastChange; },
                             "Largest change of a mass fraction in the last pass.")
      .def_property_readonly("skipped_lines", [](const QuantifyResult& r) { return r.outcome.skippedLines; },
                             "Lines in use the last pass could not correct (their rate or prediction 0 or not finite).")
      .def_property_readonly("light_elements_skipped", [](const QuantifyResult& r) { return r.outcome.lightElementsSkipped; },
                             "True when the last pass could not correct the light elements.")
      .def_readonly("lines", &QuantifyResult::lines, "A LineResult per listed line.")
      .def_readonly("scatter_measured", &QuantifyResult::scatterMeasured, "Beam 0's measured scatter rate.")
      .def_readonly("scatter_predicted", &QuantifyResult::scatterPredicted,
                    "Beam 0's calibrated scatter prediction at the final composition.")
      .def("__repr__", [](const QuantifyResult& r) {
        return fmt::format("Result({}{} after {} passes)", r.sample.empty() ? "" : "'" + r.sample + "', ",
                           r.outcome.converged ? "converged" : "NOT converged", r.outcome.passes);
      });

  bindSpectra(m);
  bindEngine(m);

  py::class_<Mca>(m, "Mca",
                  "A spectrum of a multichannel analyser with its metadata: Mca(counts, offset, slope, metadata) "
                  "with the energy scale in keV (channel i at offset + i * slope), or read_mca(path).")
      .def(py::init(&makeMca), py::arg("counts"), py::arg("offset") = 0.0, py::arg("slope") = 0.01,
           py::arg("metadata") = py::none())
      .def_property_readonly(
          "counts", [](py::object self) {
            const calyx::MCAFile& f = self.cast<const Mca&>().file;
            std::shared_ptr<calyx::LinearSpectrum<double>> s = f.getSpectrum();
            if (!s || s->size() == 0) return py::array(newArray({}));
            return readOnlyView(s->values(), s->size(), self);
          },
          "The channel values: a read-only view of the library's spectrum (no copy).")
      .def_property_readonly("energies", [](const Mca& mca) {
        std::vector<double> e;
        std::shared_ptr<calyx::LinearSpectrum<double>> s = mca.file.getSpectrum();
        for (unsigned int i = 0; s && i < s->size(); ++i) e.push_back(s->energyAt(i));
        return newArray(e);
      }, "Channel energies, keV.")
      .def_property_readonly("offset", [](const Mca& mca) { return mca.file.getSpectrum()->getFirstEnergy(); },
                             "Energy of channel 0, keV.")
      .def_property_readonly("slope", [](const Mca& mca) { return mca.file.getSpectrum()->getStepSize(); },
                             "Channel width, keV.")
      .def_property_readonly("metadata", [](const Mca& mca) { return mca.file.getMetadata(); },
                             "The header entries (a copy).")
      .def_property_readonly("livetime", [](const Mca& mca) -> py::object {
        const double t = mca.file.getLivetime();
        return t == -1.0 ? py::object(py::none()) : py::object(py::float_(t));
      }, "'Livetime' as a number, or None.")
      .def("write", [](const Mca& mca, py::object path) {
        const std::string file = py::module_::import("os").attr("fspath")(path).cast<std::string>();
        libraryCall(ErrorKind::McaFile, file, [&] {
          mca.file.write(file);
          return 0;
        });
      }, py::arg("path"), "Writes the MCA text file; McaFileError with the library's message when it cannot.")
      .def("__len__", [](const Mca& mca) { return mca.file.getSpectrum() ? mca.file.getSpectrum()->size() : 0u; });
  m.def("read_mca", &readMca, py::arg("path"),
        "Reads an MCA text file; McaFileError with the library's message when it cannot.");

  m.def("detector_efficiency", [](py::object energies, py::object crystal, double thickness, py::object window,
                                  double windowThickness) {
    DoubleArray e = toArray(energies, "energies");
    calyx::DetectorHardware d;
    d.Z = toElement(crystal).atomicNumber();
    d.thickness = thickness;
    d.windowZ = toElement(window).atomicNumber();
    d.windowThickness = windowThickness;
    py::array_t<double> out(e.size());
    const double* in = e.data();
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < e.size(); ++i) o[i] = d.getDetectorEfficiencyFactor(in[i]);
    return out;
  }, py::arg("energies"), py::kw_only(), py::arg("crystal") = "Si", py::arg("thickness") = 450.0,
        py::arg("window") = "Be", py::arg("window_thickness") = 12.5,
        "A detector's efficiency at each energy (keV): window transmission x absorption in the crystal "
        "(thicknesses in micrometres).");

  m.def("filter_transmission", [](py::object energies, py::object compound, double thickness, double density) {
    const calyx::Filter filter = makeFilter(compound, thickness, density);
    DoubleArray e = toArray(energies, "energies");
    py::array_t<double> out(e.size());
    const double* in = e.data();
    double* o = out.mutable_data();
    py::gil_scoped_release release;
    for (py::ssize_t i = 0; i < e.size(); ++i) o[i] = filter.getTransmissionCoef(in[i]);
    return out;
  }, py::arg("energies"), py::arg("compound"), py::arg("thickness"), py::arg("density") = 0.0,
        "Transmission of a layer at each energy (keV): compound a formula ('Al', 'Fe2O3') or {symbol: mass "
        "fraction}, thickness in micrometres, density in g/cm3 (0: each element at its own density).");

  m.def("set_log_level", [](py::object level) {
    setForwardLevel(toSpdlogLevel(level));
    py::object name = py::isinstance<py::str>(level) ? py::object(py::str(level).attr("upper")())
                                                     : py::reinterpret_borrow<py::object>(level);
    py::module_::import("logging").attr("getLogger")("calyx").attr("setLevel")(name);
  }, py::arg("level"),
        "The level from which the library's messages reach Python's logger 'calyx' ('info' shows the per-pass "
        "traces; default 'warning'); also sets that logger's level. Errors always become exceptions.");
  m.def("get_log_level", [] {
    static const char* names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL", "OFF"};
    return std::string(names[static_cast<int>(forwardLevel())]);
  });
  m.def("_flush_log", &emitPending, "Emits log records the library wrote outside a call.");
}
