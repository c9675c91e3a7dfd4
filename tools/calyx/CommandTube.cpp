// calyx tube: a beam's excitation spectrum (tube continuum and characteristic lines after
// the beam's filters) as a table, or as an SVG plot.
#include <cmath>
#include <memory>
#include <stdexcept>
#include <utility>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <calyx/TubeSpectrum.h>

#include "Commands.h"
#include "Error.h"
#include "InputFile.h"
#include "Instrument.h"
#include "JsonFormats.h"
#include "OutputFile.h"
#include "Svg.h"

namespace calyxtool {

namespace {

// More points than this is a typing error in --step, not a plot anyone wants.
constexpr double kMaxPoints = 1e6;

struct TubeOptions {
  std::string config;
  int beam = 0;
  double step = 0.05;
  std::string svg;
  bool linear = false;
};

struct TubeLine {
  std::string name;  // "KA"
  double energyKeV;
  double intensity;
};

std::string greekName(const std::string& name) {
  if (name == "KA") return "Kα";
  if (name == "KB") return "Kβ";
  if (name == "LA") return "Lα";
  if (name == "LB") return "Lβ";
  return name;
}

std::string describeFilters(const std::vector<calyx::Filter>& filters) {
  if (filters.empty()) return "no filter";
  std::string out;
  for (const calyx::Filter& f : filters) {
    std::string material;
    for (const calyx::ElementChemistry& e : f.getCompound())
      material += (material.empty() ? "" : "+") + calyx::printableSymbol(e.element);
    out += fmt::format("{}{} {:g} µm", out.empty() ? "filter " : ", ", material, f.getThickness() * 1e4);
  }
  return out;
}

int runTube(const TubeOptions& o) {
  Instrument instrument;
  readConfiguration(o.config, instrument);
  // The engine is built for its checks alone: a voltage or set-up that create refuses has no
  // spectrum worth showing either.
  buildEngine(instrument);
  refuseOutputOverInputs(o.svg, {o.config});
  if (o.beam < 0 || static_cast<unsigned int>(o.beam) >= instrument.beamCount())
    inputError("--beam", fmt::format("beam {} is out of range: {} has {} beam(s)", o.beam, o.config,
                                     instrument.beamCount()));
  const calyx::FPRateAlgorithm::Builder::Beam& beam = instrument.builder.beams[static_cast<unsigned int>(o.beam)];
  const double voltage = beam.tubeKeV;
  if (!(o.step > 0) || voltage / o.step > kMaxPoints)
    inputError("--step", fmt::format("{:g} keV gives no sensible grid up to {:g} kV", o.step, voltage));

  calyx::TubeSpectrumCreator creator;
  creator.setHardware(instrument.builder.tube);
  creator.setFilters(beam.filters);
  creator.setVoltage(voltage);
  creator.setStepSize(o.step);
  calyx::LinearSpectrum<double> continuum(0.0, voltage, o.step);
  if (instrument.builder.ebelTube) {
    // Ebel's tube: the continuum integrated over each bin, as the engine builds it.
    creator.setModel(calyx::TubeSpectrumCreator::Model::Ebel);
    creator.setElectronIncidence(instrument.builder.electronIncidence);
    const std::shared_ptr<calyx::SpectrumBase<double>> total = creator.generateTotalSpectrum();
    for (unsigned int i = 0; i < continuum.size(); ++i) continuum.setValueAt(i, total->valueAt(i));
  } else {
    creator.generateContinuumSpectrum(o.step, continuum);
  }
  const calyx::DiscreteSpectrum<double> lines = creator.generateDiscreteSpectrum();

  const calyx::Element anode(instrument.builder.tube.anodeZ);
  std::vector<TubeLine> named;
  for (unsigned int i = 0; i < lines.size(); ++i) {
    std::string name = "?";
    for (int code : calyx::groupLines)
      if (calyx::XRFLine::create(anode, code).lineEnergyKeV() == lines.energyAt(i)) name = calyx::lineName(code);
    // Ebel's model gives the L lines one by one (xraylib's codes, Siegbahn's names).
    static const std::pair<int, const char*> kLLines[] = {{-90, "LA1"}, {-89, "LA2"}, {-95, "LB2"}, {-86, "Ll"},
                                                          {-63, "LB1"}, {-68, "LG1"}, {-34, "LB3"}, {-33, "LB4"}};
    for (const auto& [code, siegbahn] : kLLines) {
      if (name != "?") break;
      try {
        if (calyx::XRFLine::create(anode, code).lineEnergyKeV() == lines.energyAt(i)) name = siegbahn;
      } catch (const std::out_of_range&) {
      }
    }
    named.push_back({name, lines.energyAt(i), lines.valueAt(i)});
  }

  const std::string anodeName = calyx::printableSymbol(anode);
  const std::string title = fmt::format("Tube spectrum, beam {}: {} anode at {:g} kV", o.beam, anodeName, voltage);
  const std::string details =
      fmt::format("{}{}; tube window {} {:g} µm; take-off {:g}°; continuum step {:g} keV",
                  instrument.builder.ebelTube ? "Ebel tube model; " : "", describeFilters(beam.filters),
                  calyx::printableSymbol(instrument.builder.tube.windowZ),
                  instrument.builder.tube.windowThickness, instrument.builder.tube.takeoffAngle.getDegrees(), o.step);

  if (!o.svg.empty()) {
    Plot plot;
    plot.title = title;
    plot.subtitle = details;
    plot.xLabel = "Energy (keV)";
    plot.yLabel = "Intensity (relative photons per bin)";
    plot.logY = !o.linear;
    for (unsigned int i = 0; i < continuum.size(); ++i) {
      plot.curveX.push_back(continuum.energyAt(i));
      plot.curveY.push_back(continuum.valueAt(i));
    }
    plot.curveLabel = fmt::format("continuum (per {:g} keV bin)", o.step);
    for (const TubeLine& l : named)
      plot.peaks.push_back({l.energyKeV, l.intensity, fmt::format("{} {} {:.2f} keV", anodeName, greekName(l.name), l.energyKeV)});
    plot.peakLabel = "characteristic lines (per 1 keV bin)";
    emit(o.svg, renderSvg(plot));
    if (!isStandardOutput(o.svg))  // a plot on standard output stands alone
      emit("", fmt::format("{}\nwrote {} ({} continuum points, {} lines)\n", title, o.svg, continuum.size(), named.size()));
    return kExitOk;
  }

  std::string out = title + "\n" + details + "\n\ncontinuum (intensity per bin)\n";
  out += fmt::format("{:>12} {:>16}\n", "energy/keV", "intensity");
  for (unsigned int i = 0; i < continuum.size(); ++i)
    out += fmt::format("{:>12.4f} {:>16.6e}\n", continuum.energyAt(i), continuum.valueAt(i));
  out += "\ncharacteristic lines (intensity per 1 keV bin)\n";
  out += fmt::format("{:<8} {:>12} {:>16}\n", "line", "energy/keV", "intensity");
  for (const TubeLine& l : named)
    out += fmt::format("{:<8} {:>12.4f} {:>16.6e}\n", anodeName + " " + l.name, l.energyKeV, l.intensity);
  if (named.empty()) out += "(none below the tube voltage)\n";
  emit("", out);
  return kExitOk;
}

}  // namespace

Command addTubeCommand(CLI::App& app) {
  auto o = std::make_shared<TubeOptions>();
  CLI::App* sub = app.add_subcommand(
      "tube",
      "Show a beam's excitation spectrum: the tube's bremsstrahlung continuum and its characteristic lines\n"
      "after the beam's filters, as a table or as an SVG plot.");
  sub->add_option("CONFIG", o->config, "Instrument configuration (JSON)")->required();
  sub->add_option("-b,--beam", o->beam, "Beam index (default 0)");
  sub->add_option("--step", o->step, "Continuum grid step in keV (default 0.05)");
  sub->add_option("--svg", o->svg, "Write an SVG plot to this file (- for standard output) instead of the table");
  sub->add_flag("--linear", o->linear, "Linear intensity axis in the plot (default logarithmic)");
  return Command{sub, [o] { return runTube(*o); }};
}

}  // namespace calyxtool
