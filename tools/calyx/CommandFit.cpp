// calyx fit: one beam's spectrum to its line rates. Prints each analysis line's energy, net
// counts, rate and sigma with the fit's chi-square and refined energy scale; writes the rates
// file quantify reads (-o) and a plot of data, fit, background and residuals (--svg).
#include <cmath>
#include <memory>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "Commands.h"
#include "Error.h"
#include "Instrument.h"
#include "JsonFile.h"
#include "JsonText.h"
#include "JsonFormats.h"
#include "SpectrumInput.h"
#include "Svg.h"

namespace calyxtool {

namespace {

struct FitOptions {
  std::string config;
  std::string spectrum;
  unsigned int beam = 0;
  double liveTime = 0.0;
  std::string output;
  std::string svg;
  bool pileUp = false;
};

std::string table(const FitOptions& o, const calyx::SpectrumFitResult& r) {
  std::string out = fmt::format("Fit of {} as beam {} (live time {:g} s)\n", o.spectrum, o.beam, r.liveTimeSeconds);
  out += fmt::format("{:<8} {:>9} {:>14} {:>14} {:>12}\n", "line", "E (keV)", "net counts", "rate (1/s)", "sigma");
  for (const calyx::SpectrumFitLine& l : r.lines) {
    if (!l.inRange) {
      out += fmt::format("{:<8} {:>9.3f} {:>14}\n", lineLabel(l.line), l.energyKeV, "out of range");
      continue;
    }
    out += fmt::format("{:<8} {:>9.3f} {:>14.1f} {:>14.4g} {:>12.3g}{}\n", lineLabel(l.line), l.energyKeV, l.counts,
                       l.rate, l.rateSigma, l.tied ? "  (tied to its alpha line)" : "");
  }
  if (r.hasScatterRate)
    out += fmt::format("scatter  {:>9} {:>14.1f} {:>14.4g} {:>12.3g}\n", "", r.scatterCounts, r.scatterRate,
                       r.scatterRateSigma);
  if (o.pileUp)
    out += fmt::format("sum peaks: resolving time {:.4g} +- {:.2g} s\n", r.pileUpTimeSeconds, r.pileUpTimeSigma);
  out += fmt::format("chi-square per degree of freedom {:.3f} ({} degrees of freedom)\n", r.reducedChiSquare,
                     r.degreesOfFreedom);
  out += fmt::format("energy scale {:.5f} keV + {:.6f} keV x channel; FWHM at 5.9 keV {:.1f} eV; Compton width x{:.2f}\n",
                     r.energyScale.offsetKeV, r.energyScale.gainKeV, 1000.0 * r.resolution.fwhmKeV(5.9),
                     r.comptonWidthFactor);
  for (const calyx::SpectrumFitPeak& p : r.unexplained) {
    std::string candidates;
    for (const std::string& c : p.candidates) candidates += (candidates.empty() ? "" : ", ") + c;
    out += fmt::format("unexplained peak at {:.3f} keV ({:.1f} sigma){}\n", p.energyKeV, p.significance,
                       candidates.empty() ? "" : ": " + candidates + "?");
  }
  return out;
}

std::string plot(const FitOptions& o, const calyx::SpectrumFitResult& r, const calyx::MeasuredSpectrum& m) {
  // Data, fit, background and |residual| over the fitted range on a log axis, the fitted
  // lines marked at the model's height.
  Plot p;
  p.title = "Spectrum fit of " + o.spectrum;
  p.subtitle = fmt::format("beam {}, chi-square/dof {:.2f}", o.beam, r.reducedChiSquare);
  p.xLabel = "Energy (keV)";
  p.yLabel = "Counts per channel";
  p.logY = true;
  p.curveLabel = "data";
  for (unsigned int i = r.firstChannel; i < r.endChannel; ++i) {
    p.curveX.push_back(r.energyScale.energyAt(i));
    p.curveY.push_back(m.spectrum->valueAt(i));
  }
  PlotCurve model{{}, {}, "fit", "#c47f00"}, background{{}, {}, "background", "#2e8b57"},
      residual{{}, {}, "|data - fit|", "#888888"};
  for (unsigned int i = r.firstChannel; i < r.endChannel; ++i) {
    const double e = r.energyScale.energyAt(i);
    for (PlotCurve* c : {&model, &background, &residual}) c->x.push_back(e);
    model.y.push_back(r.model[i]);
    background.y.push_back(r.background[i]);
    residual.y.push_back(std::fabs(r.residuals[i]));
  }
  p.extraCurves = {model, background, residual};
  p.peakLabel = "fitted lines";
  for (const calyx::SpectrumFitLine& l : r.lines) {
    if (!l.inRange || !(l.counts > 0)) continue;
    const double channel = (l.energyKeV - r.energyScale.offsetKeV) / r.energyScale.gainKeV;
    const unsigned int c = static_cast<unsigned int>(std::lround(channel));
    if (c < r.firstChannel || c >= r.endChannel) continue;
    p.peaks.push_back(PlotPeak{l.energyKeV, r.model[c], lineLabel(l.line)});
  }
  return renderSvg(p);
}

int runFit(const FitOptions& o) {
  Instrument instrument;
  readConfiguration(o.config, instrument);
  buildEngine(instrument);
  calyx::MeasuredSpectrum measured;
  calyx::SpectrumFitOptions options;
  options.pileUp = o.pileUp;
  const calyx::SpectrumFitResult r = fitSpectrumFile(instrument, o.beam, o.spectrum, o.liveTime, &measured, options);
  std::fputs(table(o, r).c_str(), stdout);
  if (!o.output.empty()) {
    RatesRecord record;
    record.beams.resize(o.beam + 1);
    record.beams[o.beam] = beamRatesFromFit(r, o.spectrum);
    emit(o.output, toJsonText(ratesToJson(record)));
  }
  if (!o.svg.empty()) emit(o.svg, plot(o, r, measured));
  return kExitOk;
}

}  // namespace

Command addFitCommand(CLI::App& app) {
  auto o = std::make_shared<FitOptions>();
  CLI::App* sub = app.add_subcommand(
      "fit",
      "Fit one beam's spectrum into the net rates of its analysis lines (and beam 0's scatter rate): peaks of\n"
      "the configured lines with escape peaks, tube scatter peaks and a spline background, areas by a\n"
      "non-negative Poisson-weighted least-squares solve, energy scale and resolution refined.\n"
      "Reads the MCA file, <<PMCA SPECTRUM>> text, EMSA/MAS (.msa, .emsa) and two-column text (keV, counts).");
  sub->add_option("CONFIG", o->config, "Instrument configuration (JSON)")->required();
  sub->add_option("SPECTRUM", o->spectrum, "Spectrum file")->required();
  sub->add_option("--beam", o->beam, "The beam the spectrum was measured under (default 0)");
  sub->add_option("--live-time", o->liveTime, "Live time in seconds, overriding the file's");
  sub->add_option("-o,--output", o->output, "Write the rates file that quantify reads");
  sub->add_option("--svg", o->svg, "Plot the data with the fitted lines marked (SVG)");
  sub->add_flag("--pile-up", o->pileUp,
                "Fit the sum peaks of the strongest lines (pile-up at high count rates), with their resolving time");
  return Command{sub, [o] { return runFit(*o); }};
}

}  // namespace calyxtool
