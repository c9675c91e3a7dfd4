#include "Spectra.h"

#include <cmath>
#include <memory>

#include <fmt/format.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "Convert.h"
#include "Errors.h"

namespace py = pybind11;

namespace calyxpy {

calyx::LinearSpectrum<double> SpectrumRecord::linear() const { return calyx::LinearSpectrum<double>(offset, slope, counts); }

SpectrumRecord readSpectrum(const std::string& path) {
  calyx::MeasuredSpectrum measured;
  try {
    libraryCall(ErrorKind::Input, path, [&] {
      const int status = calyx::readSpectrumFile(path, measured);
      return status != 0 || !measured.spectrum ? 1 : 0;
    });
  } catch (const CalyxException& e) {
    fail(e.kind(), path + ": " + e.what());
  }
  SpectrumRecord r;
  const calyx::LinearSpectrum<double>& s = *measured.spectrum;
  for (unsigned int i = 0; i < s.size(); ++i) r.counts.push_back(s.valueAt(i));
  r.offset = s.getFirstEnergy();
  r.slope = s.getStepSize();
  r.liveTime = measured.liveTimeSeconds;
  r.realTime = measured.realTimeSeconds;
  r.format = measured.format;
  r.source = path;
  return r;
}

SpectrumRecord toSpectrum(py::handle spectrum, py::handle offset, py::handle slope, py::handle liveTime) {
  SpectrumRecord r;
  if (py::isinstance<SpectrumRecord>(spectrum)) {
    r = spectrum.cast<SpectrumRecord>();
  } else if (py::isinstance<py::str>(spectrum) || py::hasattr(spectrum, "__fspath__")) {
    r = readSpectrum(py::module_::import("os").attr("fspath")(spectrum).cast<std::string>());
  } else {
    if (offset.is_none() || slope.is_none())
      inputError("counts given as an array need the energy scale: offset= and slope= (keV)");
    DoubleArray values = toArray(spectrum, "counts");
    r.counts.assign(values.data(), values.data() + values.size());
    r.offset = offset.cast<double>();
    r.slope = slope.cast<double>();
    r.source = "the spectrum";
    if (!(std::isfinite(r.offset) && std::isfinite(r.slope) && r.slope > 0))
      inputError(fmt::format("the energy scale needs a finite offset and a slope above 0 (got {}, {})", r.offset, r.slope));
  }
  if (!liveTime.is_none()) r.liveTime = liveTime.cast<double>();
  if (!(r.liveTime > 0) || !std::isfinite(r.liveTime))
    inputError(r.source + ": no live time: state it with live_time= (seconds)");
  return r;
}

BeamMeasurement beamFromFit(const calyx::SpectrumFitResult& fit) {
  BeamMeasurement beam;
  beam.hasScatter = fit.hasScatterRate;
  beam.scatter = fit.scatterRate;
  for (const calyx::SpectrumFitLine& l : fit.lines) {
    if (!l.inRange) continue;
    beam.lines.push_back(l.line);
    beam.rates.push_back(l.rate);
    beam.uncertainties.push_back(l.rateSigma);
  }
  return beam;
}

calyx::SpectrumFitResult fitSpectrum(const calyx::FPRateAlgorithm& engine, const calyx::TubeHardware& tube,
                                     unsigned int beam, const SpectrumRecord& spectrum) {
  if (beam >= engine.shermans.size())
    inputError(fmt::format("beam {} is out of range: the engine has {} beam(s)", beam, engine.shermans.size()));
  std::unique_ptr<calyx::SpectrumFit> fitter;
  calyx::SpectrumFitResult result;
  const calyx::LinearSpectrum<double> linear = spectrum.linear();
  try {
    libraryCall(ErrorKind::Input, spectrum.source, [&] {
      if (calyx::SpectrumFit::create(engine, beam, tube, calyx::SpectrumFitOptions(), fitter) != 0) return 1;
      return fitter->fit(linear, spectrum.liveTime, result);
    });
  } catch (const CalyxException& e) {
    fail(e.kind(), spectrum.source + ": " + e.what());
  }
  return result;
}

namespace {

py::array_t<double> copyOf(const std::vector<double>& v) { return newArray(v); }

}  // namespace

void bindSpectra(py::module_& m) {
  py::class_<SpectrumRecord>(m, "Spectrum",
                             "A spectrum: counts per channel on the energy scale offset + slope x channel (keV), "
                             "with live and real time (None when unknown).")
      .def(py::init([](py::object counts, double offset, double slope, py::object liveTime) {
             SpectrumRecord r;
             DoubleArray values = toArray(counts, "counts");
             r.counts.assign(values.data(), values.data() + values.size());
             if (!(std::isfinite(offset) && std::isfinite(slope) && slope > 0))
               inputError(fmt::format("the energy scale needs a finite offset and a slope above 0 (got {}, {})", offset, slope));
             r.offset = offset;
             r.slope = slope;
             r.source = "the spectrum";
             if (!liveTime.is_none()) r.liveTime = liveTime.cast<double>();
             return r;
           }),
           py::arg("counts"), py::arg("offset") = 0.0, py::arg("slope") = 0.02, py::arg("live_time") = py::none())
      .def_property_readonly("counts", [](const SpectrumRecord& r) { return copyOf(r.counts); })
      .def_property_readonly("energies", [](const SpectrumRecord& r) {
        std::vector<double> e(r.counts.size());
        for (std::size_t i = 0; i < e.size(); ++i) e[i] = r.offset + r.slope * static_cast<double>(i);
        return copyOf(e);
      })
      .def_readonly("offset", &SpectrumRecord::offset)
      .def_readonly("slope", &SpectrumRecord::slope)
      .def_property_readonly("live_time", [](const SpectrumRecord& r) -> py::object {
        return r.liveTime > 0 ? py::object(py::float_(r.liveTime)) : py::object(py::none());
      })
      .def_property_readonly("real_time", [](const SpectrumRecord& r) -> py::object {
        return r.realTime > 0 ? py::object(py::float_(r.realTime)) : py::object(py::none());
      })
      .def_readonly("format", &SpectrumRecord::format, "\"mca\", \"pmca\", \"emsa\", \"text\"; \"\" when made in Python.")
      .def("__len__", [](const SpectrumRecord& r) { return r.counts.size(); });

  m.def("read_spectrum", [](py::object path) {
    const std::string file = py::module_::import("os").attr("fspath")(path).cast<std::string>();
    return readSpectrum(file);
  }, py::arg("path"),
        "Reads a spectrum file in any format the library reads (recognised by content): its MCA files, PMCA "
        "text, EMSA/MAS, two-column text (keV, counts). InputError with the library's message when it cannot.");

  py::class_<calyx::SpectrumFitLine>(m, "FitLine", "One analysis line of a fitted beam.")
      .def_property_readonly("line", [](const calyx::SpectrumFitLine& l) { return lineLabel(l.line); })
      .def_readonly("energy", &calyx::SpectrumFitLine::energyKeV)
      .def_readonly("in_range", &calyx::SpectrumFitLine::inRange, "False: outside the fitted range, no rate.")
      .def_readonly("tied", &calyx::SpectrumFitLine::tied,
                    "A beta group fitted with its alpha group in the ratio of the engine's predictions.")
      .def_readonly("counts", &calyx::SpectrumFitLine::counts)
      .def_readonly("counts_sigma", &calyx::SpectrumFitLine::countsSigma)
      .def_readonly("rate", &calyx::SpectrumFitLine::rate)
      .def_readonly("rate_sigma", &calyx::SpectrumFitLine::rateSigma);

  py::class_<FitRecord>(m, "FitResult", "The fit of one beam's spectrum (docs/spectrum-fitting.md).")
      .def_property_readonly("beam", [](const FitRecord& f) { return f.fit.beam; })
      .def_property_readonly("live_time", [](const FitRecord& f) { return f.fit.liveTimeSeconds; })
      .def_property_readonly("lines", [](const FitRecord& f) { return f.fit.lines; })
      .def_property_readonly("rates", [](const FitRecord& f) {
        py::dict d;
        for (const calyx::SpectrumFitLine& l : f.fit.lines)
          if (l.inRange) d[py::str(lineLabel(l.line))] = l.rate;
        return d;
      }, "{line: counts per live second} of the lines in the fitted range.")
      .def_property_readonly("sigmas", [](const FitRecord& f) {
        py::dict d;
        for (const calyx::SpectrumFitLine& l : f.fit.lines)
          if (l.inRange) d[py::str(lineLabel(l.line))] = l.rateSigma;
        return d;
      })
      .def_property_readonly("scatter_rate", [](const FitRecord& f) -> py::object {
        return f.fit.hasScatterRate ? py::object(py::float_(f.fit.scatterRate)) : py::object(py::none());
      }, "Rayleigh + Compton of the tube's line per live second (None outside the fitted range).")
      .def_property_readonly("scatter_rate_sigma", [](const FitRecord& f) { return f.fit.scatterRateSigma; })
      .def_property_readonly("offset", [](const FitRecord& f) { return f.fit.energyScale.offsetKeV; })
      .def_property_readonly("slope", [](const FitRecord& f) { return f.fit.energyScale.gainKeV; })
      .def_property_readonly("noise", [](const FitRecord& f) { return f.fit.resolution.noiseEV; },
                             "Refined electronic noise (FWHM, eV).")
      .def_property_readonly("fano", [](const FitRecord& f) { return f.fit.resolution.fano; })
      .def_property_readonly("compton_width_factor", [](const FitRecord& f) { return f.fit.comptonWidthFactor; })
      .def_property_readonly("chi_square", [](const FitRecord& f) { return f.fit.chiSquare; })
      .def_property_readonly("degrees_of_freedom", [](const FitRecord& f) { return f.fit.degreesOfFreedom; })
      .def_property_readonly("reduced_chi_square", [](const FitRecord& f) { return f.fit.reducedChiSquare; })
      .def_property_readonly("channels", [](const FitRecord& f) { return py::make_tuple(f.fit.firstChannel, f.fit.endChannel); },
                             "The fitted range: channels [first, end).")
      .def_property_readonly("model", [](const FitRecord& f) { return copyOf(f.fit.model); })
      .def_property_readonly("background", [](const FitRecord& f) { return copyOf(f.fit.background); })
      .def_property_readonly("residuals", [](const FitRecord& f) { return copyOf(f.fit.residuals); })
      .def_property_readonly("unexplained", [](const FitRecord& f) {
        py::list out;
        for (const calyx::SpectrumFitPeak& p : f.fit.unexplained)
          out.append(py::make_tuple(p.energyKeV, p.significance, p.candidates));
        return out;
      }, "Residual peaks no line explains: (energy keV, significance, candidate lines).")
      .def("beam_rates", [](const FitRecord& f) { return beamFromFit(f.fit); },
           "The rates as a BeamRates (with sigmas and the scatter rate), as quantify takes them.");
}

}  // namespace calyxpy
