#include "SpectrumInput.h"

#include <fmt/format.h>

#include "Error.h"
#include "LibraryLog.h"

namespace calyxtool {

calyx::SpectrumFitResult fitSpectrumFile(Instrument& instrument, unsigned int beam, const std::string& path,
                                         double liveTime, calyx::MeasuredSpectrum* spectrum,
                                         const calyx::SpectrumFitOptions& options) {
  if (beam >= instrument.beamCount())
    inputError(path, fmt::format("beam {} is out of range: {} has {} beam(s)", beam, instrument.configPath,
                                 instrument.beamCount()));
  calyx::MeasuredSpectrum measured;
  {
    LibraryErrors errors;
    if (calyx::readSpectrumFile(path, measured) != 0 || !measured.spectrum)
      inputError(path, errors.any() ? errors.text() : "not a spectrum the library reads");
  }
  const double live = liveTime > 0 ? liveTime : measured.liveTimeSeconds;
  if (!(live > 0))
    inputError(path, "the file gives no live time: state it with --live-time SECONDS");
  LibraryErrors errors;
  std::unique_ptr<calyx::SpectrumFit> fitter;
  if (calyx::SpectrumFit::create(*instrument.engine, beam, instrument.builder.tube, options, fitter) != 0)
    inputError(path, errors.any() ? errors.text() : "the spectrum fit cannot be set up");
  calyx::SpectrumFitResult result;
  if (fitter->fit(*measured.spectrum, live, result) != 0)
    inputError(path, errors.any() ? errors.text() : "the spectrum cannot be fitted");
  if (spectrum) *spectrum = measured;
  return result;
}

BeamRates beamRatesFromFit(const calyx::SpectrumFitResult& fit, const std::string& path, bool measuredOnly) {
  BeamRates beam;
  beam.hasScatterRate = fit.hasScatterRate;
  beam.scatterRate = fit.scatterRate;
  for (std::size_t i = 0; i < fit.lines.size(); ++i) {
    const calyx::SpectrumFitLine& l = fit.lines[i];
    if (!l.inRange || (measuredOnly && l.tied)) continue;
    LineRate r;
    r.line = l.line;
    r.rate = l.rate;
    r.uncertainty = l.rateSigma;
    r.hasUncertainty = true;
    r.where = fmt::format("{}: {}", path, lineLabel(l.line));
    beam.lines.push_back(r);
  }
  return beam;
}

namespace {

RatesRecord fitSpectra(Instrument& instrument, const std::vector<std::string>& paths, double liveTime,
                       const calyx::SpectrumFitOptions& options, bool measuredOnly) {
  if (paths.size() > instrument.beamCount())
    inputError("--spectra", fmt::format("{} spectra for the {} beam(s) of {}", paths.size(), instrument.beamCount(),
                                        instrument.configPath));
  RatesRecord record;
  for (unsigned int b = 0; b < paths.size(); ++b)
    record.beams.push_back(
        beamRatesFromFit(fitSpectrumFile(instrument, b, paths[b], liveTime, nullptr, options), paths[b], measuredOnly));
  return record;
}

}  // namespace

RatesRecord ratesFromSpectra(Instrument& instrument, const std::vector<std::string>& paths, double liveTime) {
  return fitSpectra(instrument, paths, liveTime, calyx::SpectrumFitOptions(), false);
}

RatesRecord standardRatesFromSpectra(Instrument& instrument, const std::vector<std::string>& paths) {
  calyx::SpectrumFitOptions options;
  options.certifiedComposition = true;
  return fitSpectra(instrument, paths, 0.0, options, true);
}

}  // namespace calyxtool
