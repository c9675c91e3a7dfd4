// Iterative quantification by fundamental parameters: each pass lets every beam's model
// predict its line rates for the current composition, then moves each measured element's
// fraction by the ratio of its measured rate to its calibrated, efficiency-weighted
// prediction, f <- f m / p. This is the fixed-point scheme of J.W. Criss and L.S. Birks,
// Anal. Chem. 40 (1968) 1080, with the light-element share corrected from scatter in the
// same pass (LightElements.cpp).
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "calyx/FPRateAlgorithm.h"
#include "FPRateAlgorithm/Layout.h"
#include "detail/Log.h"

namespace calyx {
namespace {

constexpr double kGuessFloor = 1e-10;      // first guess of an element without a usable rate
constexpr double kNormalizeFloor = 1e-8;   // keeps every element present, so rates stay defined
constexpr double kResidualFloor = 1e-8;
constexpr double kRatioFloor = 1e-10;

// p = R c ε(E), in that order.
double predictedRate(const FPRateAlgorithm::AnalysisLine& line, double efficiency) {
  return *line.theoreticalRate * line.calibrationFactor * efficiency;
}

// The detector's efficiency depends on these four values only.
bool sameEfficiency(const DetectorHardware& a, const DetectorHardware& b) {
  return a.Z == b.Z && a.thickness == b.thickness && a.windowZ == b.windowZ &&
         a.windowThickness == b.windowThickness;
}

// A correction divides by the measured and by the predicted rate: a line where either is 0
// or not finite would turn the composition into NaN or infinity, so it sits out the pass.
bool correctable(const FPRateAlgorithm::AnalysisLine& line, double predicted) {
  const double m = line.measuredRate;
  if (m != 0.0 && std::isfinite(m) && predicted != 0.0 && std::isfinite(predicted)) return true;
  CALYX_LOG_WARN("beam {:d} line [{:s}:{:.2f}] not corrected in this pass: measured rate {:g}, predicted rate {:g}",
                 line.beam, printableSymbol(line.line.element()), line.line.lineEnergyKeV(), m, predicted);
  return false;
}

// The lines one correction step applies, with their predictions, and how many of them act on
// each element's fraction. An element measured on k lines (Ka and Kb, or one line in two
// beams) takes a k-th of each line's correction: applying each full ratio in turn would
// multiply the step's gain by k, so the iteration overshoots and diverges.
struct StepPlan {
  std::vector<bool> applies;
  std::vector<double> predictions;
  std::map<const double*, unsigned int> sharers;

  explicit StepPlan(std::size_t lines) : applies(lines, false), predictions(lines, 0.0) {}

  void add(std::size_t index, const FPRateAlgorithm::AnalysisLine& line, double predicted) {
    applies[index] = true;
    predictions[index] = predicted;
    ++sharers[line.fraction];
  }
  unsigned int shareOf(const FPRateAlgorithm::AnalysisLine& line) const { return sharers.at(line.fraction); }

  /// The lines that `takesPart` admits and whose rates allow a correction this pass.
  template <typename Admit>
  static StepPlan make(const std::vector<FPRateAlgorithm::AnalysisLine>& lines,
                       const std::vector<double>& efficiencies, Admit takesPart) {
    StepPlan plan(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (!takesPart(lines[i])) continue;
      const double p = predictedRate(lines[i], efficiencies[i]);
      if (correctable(lines[i], p)) plan.add(i, lines[i], p);
    }
    return plan;
  }
};

bool within(const double* p, const std::vector<double>& array) {
  const std::less<const double*> before;
  return !before(p, array.data()) && before(p, array.data() + array.size());
}

// The residual step takes no negative or NaN rate; unlike the 0 or infinite ones that
// correctable() turns away, they are filtered before it, so they are reported here.
bool reportUnmeasured(const FPRateAlgorithm::AnalysisLine& line) {
  CALYX_LOG_WARN("beam {:d} line [{:s}:{:.2f}] not corrected in this pass: measured rate {:g} is below 0 or "
                 "not a number",
                 line.beam, printableSymbol(line.line.element()), line.line.lineEnergyKeV(), line.measuredRate);
  return false;
}

}  // namespace

bool detail::engineLayoutIntact(const FPRateAlgorithm& engine, const char* step) {
  const Sherman::Chemistry* c = engine.chemistry.get();
  bool intact = c != nullptr && c->fractions.size() == c->elements.size() &&
                c->uncertainties.size() == c->elements.size();
  for (std::size_t b = 0; intact && b < engine.shermans.size(); ++b)
    intact = engine.shermans[b].chemistry.get() == c && engine.shermans[b].linesMatchChemistry();
  for (std::size_t i = 0; intact && i < engine.analysisLines.size(); ++i)
    intact = within(engine.analysisLines[i].fraction, c->fractions) &&
             within(engine.analysisLines[i].uncertainty, c->uncertainties);
  if (!intact)
    CALYX_LOG_ERR("{:s} refused: the engine's chemistry arrays were resized or replaced after the build", step);
  return intact;
}

FPRateAlgorithm::AnalysisLine::AnalysisLine(unsigned int b, Sherman::Line& l)
    : beam(b), line(l.line), fraction(&l.fraction), uncertainty(&l.uncertainty), theoreticalRate(&l.rate) {}

FPRateAlgorithm::RateMapper::RateMapper(FPRateAlgorithm& algorithm, unsigned int beam,
                                        const std::vector<XRFLine>& lines)
    : algorithm_(algorithm), beam_(beam) {
  indices_.reserve(lines.size());
  for (const XRFLine& line : lines) {
    int found = -1;
    for (std::size_t i = 0; i < algorithm.analysisLines.size(); ++i) {
      AnalysisLine& candidate = algorithm.analysisLines[i];
      if (candidate.beam == beam && candidate.line == line) {
        candidate.inUse = true;
        found = static_cast<int>(i);
        break;
      }
    }
    indices_.push_back(found);
  }
}

template <typename T>
void FPRateAlgorithm::RateMapper::setRates(T leRate, T* rates, T* uncertainties) {
  algorithm_.leRates[beam_] = static_cast<double>(leRate);
  if (rates == nullptr) {
    // No rates for lines the caller listed: take them out of the measurement rather than
    // let them run on the rates of an earlier one.
    bool matched = false;
    for (int index : indices_)
      if (index >= 0) {
        algorithm_.analysisLines[index].inUse = false;
        matched = true;
      }
    if (matched)
      CALYX_LOG_ERR("beam {:d}: rates array is null; the mapped lines are taken out of this measurement", beam_);
    return;
  }
  for (std::size_t i = 0; i < indices_.size(); ++i) {
    if (indices_[i] < 0) continue;
    AnalysisLine& line = algorithm_.analysisLines[indices_[i]];
    line.measuredRate = static_cast<double>(rates[i]);
    double u = uncertainties != nullptr ? static_cast<double>(uncertainties[i]) : 0.0;
    if (!(u >= 0.0) || !std::isfinite(u)) {
      CALYX_LOG_WARN("beam {:d} line [{:s}:{:.2f}]: rate uncertainty {:g} is not a finite number >= 0: taken as "
                     "unknown (0)",
                     beam_, printableSymbol(line.line.element()), line.line.lineEnergyKeV(), u);
      u = 0.0;
    }
    line.measuredUncertainty = u;
  }
}

template void FPRateAlgorithm::RateMapper::setRates<float>(float, float*, float*);
template void FPRateAlgorithm::RateMapper::setRates<double>(double, double*, double*);

FPRateAlgorithm::AnalysisLine* FPRateAlgorithm::findLine(unsigned int beam, const XRFLine& line) {
  for (AnalysisLine& candidate : analysisLines)
    if (candidate.beam == beam && candidate.line == line) return &candidate;
  return nullptr;
}

void FPRateAlgorithm::setAllLinesNotInUse() {
  for (AnalysisLine& line : analysisLines) line.inUse = false;
}

void FPRateAlgorithm::doInitialGuess(unsigned int /*beam*/) {
  if (!detail::engineLayoutIntact(*this, "initial guess")) return;
  std::vector<double>& fractions = chemistry->fractions;
  for (double& f : fractions) f = kGuessFloor;
  // A new measurement owes nothing to the previous one: an element without a line in use now
  // would otherwise carry the uncertainty an earlier sample's line gave it (a new engine
  // starts every uncertainty at 0, which the passes then set for the lines in use).
  std::fill(chemistry->uncertainties.begin(), chemistry->uncertainties.end(), 0.0);

  // Only lines measured now seed the guess: a line left out of this measurement may still
  // hold the rate of an earlier sample.
  for (const AnalysisLine& line : analysisLines) {
    if (!line.inUse) continue;
    double f = line.measuredRate / line.initialGuessFactor;
    if (!(f >= kGuessFloor) || !std::isfinite(f)) f = kGuessFloor;
    *line.fraction = f;
  }

  double sum = 0.0;
  for (double f : fractions) sum += f;
  if (sum > 1.0) {
    for (double& f : fractions) f /= sum;
    sum = 1.0;
  }

  if (!leElements.empty() && !leElements[0].empty()) {
    const double share = (1.0 - sum) / static_cast<double>(leElements[0].size());
    for (const Element& element : leElements[0]) chemistry->set(element, share, 0.0);
  }

  if (detail::infoEnabled())
    for (std::size_t i = 0; i < chemistry->elements.size(); ++i)
      CALYX_LOG_INFO("init chem: {:s} {:f}", printableSymbol(chemistry->elements[i]), fractions[i]);
}

void FPRateAlgorithm::process(int lastBeam) {
  PassReport report;
  for (Sherman& model : shermans) model.computeRates();
  normalizeAllChem();
  report.lightElementsSkipped = !correctLightElements(lastBeam);
  // Uses the rates of the first step: the model is not run again after the two changes above.
  correctLines(lastBeam, report);
  for (double f : chemistry->fractions) report.finite = report.finite && std::isfinite(f);
  lastPass_ = report;
  CALYX_LOG_INFO("******* compound after everything ****** {:s}", compoundToString(getCompound()));
}

void FPRateAlgorithm::normalizeAllChem() {
  std::vector<double>& fractions = chemistry->fractions;
  if (fractions.empty()) return;
  double sum = 0.0;
  for (double& f : fractions) {
    if (f < kNormalizeFloor) f = kNormalizeFloor;
    sum += f;
  }
  const double scale = 1.0 / sum;
  for (double& f : fractions) f *= scale;
  for (double& u : chemistry->uncertainties) u *= scale;
}

const std::vector<double>& FPRateAlgorithm::lineEfficiencies() {
  bool current = efficiencies_.size() == analysisLines.size() && sameEfficiency(efficiencyDetector_, detector);
  for (std::size_t i = 0; current && i < analysisLines.size(); ++i)
    current = efficiencyEnergies_[i] == analysisLines[i].line.lineEnergyKeV();
  if (current) return efficiencies_;

  efficiencyEnergies_.resize(analysisLines.size());
  efficiencies_.resize(analysisLines.size());
  for (std::size_t i = 0; i < analysisLines.size(); ++i) {
    efficiencyEnergies_[i] = analysisLines[i].line.lineEnergyKeV();
    efficiencies_[i] = detector.getDetectorEfficiencyFactor(efficiencyEnergies_[i]);
  }
  efficiencyDetector_ = detector;
  return efficiencies_;
}

void FPRateAlgorithm::adjustChemByResidual(int lastBeam) {
  PassReport ignored;
  correctLines(lastBeam, ignored);
}

void FPRateAlgorithm::correctLines(int lastBeam, PassReport& report) {
  // A negative index reads as a large unsigned one: every beam corrects.
  const unsigned int last = static_cast<unsigned int>(lastBeam);
  if (!detail::engineLayoutIntact(*this, "line correction")) return;
  const std::vector<double>& efficiencies = lineEfficiencies();
  const StepPlan plan = StepPlan::make(analysisLines, efficiencies, [last](const AnalysisLine& line) {
    return line.inUse && line.beam <= last && (line.measuredRate >= 0.0 || reportUnmeasured(line));
  });

  for (std::size_t i = 0; i < analysisLines.size(); ++i) {
    const AnalysisLine& candidate = analysisLines[i];
    if (candidate.inUse && candidate.beam <= last) ++(plan.applies[i] ? report.corrected : report.skipped);
    if (!plan.applies[i]) continue;
    AnalysisLine& line = analysisLines[i];
    const double p = plan.predictions[i];
    const double m = line.measuredRate;
    double& f = *line.fraction;
    // f + delta = f m / p: the element's fraction scaled by measured over predicted.
    const double delta = ((f / p) * (m - p)) / plan.shareOf(line);
    CALYX_LOG_INFO("[{:4s}:{:.2f}%] [{:.2f} KeV] p:{:.1f} m: {:.1f}", printableSymbol(line.line.element()),
                   f * 100, line.line.lineEnergyKeV(), p, m);
    CALYX_LOG_INFO("[{:4s}:{:.2f}] deltaChem: {:f}", printableSymbol(line.line.element()),
                   line.line.lineEnergyKeV(), delta);
    f = f + delta;
    if (f < kResidualFloor) f = kResidualFloor;
    *line.uncertainty = f * (line.measuredUncertainty / m);
  }
  CALYX_LOG_INFO("******* compound After adjustChemByResidual ****** {:s}", compoundToString(getCompound()));
}

void FPRateAlgorithm::adjustChemByRatio() {
  if (!detail::engineLayoutIntact(*this, "line correction")) return;
  const std::vector<double>& efficiencies = lineEfficiencies();
  const StepPlan plan =
      StepPlan::make(analysisLines, efficiencies, [](const AnalysisLine& line) { return line.inUse; });

  for (std::size_t i = 0; i < analysisLines.size(); ++i) {
    if (!plan.applies[i]) continue;
    AnalysisLine& line = analysisLines[i];
    const double p = plan.predictions[i];
    const double m = line.measuredRate;
    double& f = *line.fraction;
    const double r = m / p;
    // The same sharing as the residual step (whose f + delta is f r): to first order k
    // lines together apply their mean ratio once, and the factor stays defined for a
    // negative ratio, where a k-th root would not be.
    const unsigned int k = plan.shareOf(line);
    const double factor = k == 1 ? r : 1.0 + (r - 1.0) / k;
    CALYX_LOG_INFO("[{:4s}:{:.2f}%] [{:.2f} KeV] p:{:f} c:{:f} m: {:f}", printableSymbol(line.line.element()),
                   f * 100, line.line.lineEnergyKeV(), *line.theoreticalRate, p, m);
    CALYX_LOG_INFO("[{:4s}:{:.2f}] ratio: {:f}", printableSymbol(line.line.element()), line.line.lineEnergyKeV(),
                   factor);
    f = f * factor;
    *line.uncertainty = f * (line.measuredUncertainty / m);
    if (f < kRatioFloor) f = kRatioFloor;
  }
}

void FPRateAlgorithm::normalizeBeamChem(unsigned int beam) {
  std::set<Element> inBeam = leElements[beam];
  for (const AnalysisLine& line : analysisLines)
    if (line.beam == beam) inBeam.insert(line.line.element());

  double inside = 0.0;
  double outside = 0.0;
  for (std::size_t i = 0; i < chemistry->elements.size(); ++i)
    (inBeam.count(chemistry->elements[i]) != 0 ? inside : outside) += chemistry->fractions[i];

  const double scale = (1.0 - outside) / inside;
  // With the beam's elements all at 0, or the others already above 1, no scaling of the
  // beam's elements reaches a sum of 1 with non-negative fractions.
  if (!(scale >= 0.0) || !std::isfinite(scale)) {
    CALYX_LOG_WARN("beam {:d} not normalised: its elements sum to {:g}, the others to {:g}", beam, inside,
                   outside);
    return;
  }
  for (std::size_t i = 0; i < chemistry->elements.size(); ++i)
    if (inBeam.count(chemistry->elements[i]) != 0) chemistry->fractions[i] *= scale;
}

Compound FPRateAlgorithm::getCompound() const {
  Compound compound;
  // Bounded by every array, should a host have resized one.
  const std::size_t n =
      std::min({chemistry->elements.size(), chemistry->fractions.size(), chemistry->uncertainties.size()});
  for (std::size_t i = 0; i < n; ++i)
    compound.insert(ElementChemistry(chemistry->elements[i], chemistry->fractions[i], chemistry->uncertainties[i]));
  return compound;
}

namespace {

// A composition whose mass fractions (or their sum) leave [0, 1] by more than this is no
// result but a diverged iteration: a pass leaves the fractions unnormalised and an early one
// may overshoot (a steel sums to 114 % after its first pass), but a fraction or a sum beyond
// 200 % is no step of a working iteration.
constexpr double kFractionSlack = 1.0;

// Empty for a composition within [0, 1] (give or take kFractionSlack); otherwise what leaves it.
std::string divergence(const Compound& composition) {
  double sum = 0;
  for (const ElementChemistry& e : composition) {
    if (!std::isfinite(e.fraction) || e.fraction < -kFractionSlack || e.fraction > 1 + kFractionSlack)
      return fmt::format("{} at {:g} mass %", printableSymbol(e.element), 100 * e.fraction);
    sum += e.fraction;
  }
  if (sum > 1 + kFractionSlack) return fmt::format("the mass fractions add up to {:g} %", 100 * sum);
  return "";
}

}  // namespace

FPRateAlgorithm::QuantifyOutcome FPRateAlgorithm::quantify(int lastBeam, int maxPasses, double tolerance,
                                                           bool robust) {
  QuantifyOutcome result;
  doInitialGuess(0);
  std::vector<double> previous = chemistry->fractions;
  if (robust) {
    const SolveResult solved = solve(lastBeam, maxPasses, tolerance);
    result.passes = solved.passes;
    result.converged = solved.converged;
    result.lastChange = solved.residual;
  }
  while (!robust && result.passes < maxPasses) {
    process(lastBeam);
    ++result.passes;
    const PassReport& pass = lastPass();
    result.skippedLines = pass.skipped;
    result.lightElementsSkipped = pass.lightElementsSkipped;
    if (pass.corrected == 0) {
      result.noLineCorrected = true;
      return result;
    }
    if (!pass.finite) break;  // reported as diverged below
    const std::vector<double>& now = chemistry->fractions;
    double change = 0;
    for (std::size_t i = 0; i < now.size() && i < previous.size(); ++i) {
      const double d = std::fabs(now[i] - previous[i]);
      change = std::isnan(d) ? d : std::max(change, d);
    }
    previous = now;
    result.lastChange = change;
    if (change <= tolerance) {
      // Still, but not converged while lines or the light elements sit out: the passes
      // that follow would not change that.
      result.converged = pass.skipped == 0 && !pass.lightElementsSkipped;
      break;
    }
  }
  result.divergence = divergence(getCompound());
  if (!result.divergence.empty()) result.converged = false;
  return result;
}

}  // namespace calyx
