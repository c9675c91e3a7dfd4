// Spectrum fit: a linear model of peak columns and background splines whose areas are solved
// by non-negative, Poisson-weighted least squares, with Gauss-Newton refinement of the
// energy scale, resolution and Compton width.
//
// Weights: iteratively reweighted by the model (w = 1/μ). At convergence the areas satisfy
// Σ_i ∂μ_i/∂a (y_i - μ_i)/μ_i = 0, the score equations of the Poisson likelihood, so areas
// are free of the low bias that data weights (1/y) give at low counts. The first solve uses a
// smoothed copy of the data (floored by its SNIP background) for weights.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include <Eigen/Dense>

#include "SpectrumFit/Response.h"
#include "calyx/Filter.h"
#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {

using detail::PeakColumn;
using detail::ShapeParameters;
using detail::SparseColumn;

namespace {

constexpr double kWeightFloor = 0.1;  // counts: the smallest model value a weight divides by
constexpr int kReweightPasses = 2;
constexpr int kShapeCount = 5;        // offset, gain, noise, Fano, Compton width
constexpr double kLowestLineKeV = 0.5;
// A beta group closer than this many FWHM to another element's line is tied to its alpha group.
constexpr double kTieFwhm = 0.7;
// ... or closer than this to its own alpha group (a weak beta line on the alpha's flank).
constexpr double kTieOwnFwhm = 1.2;

// The beam-0 scatter prediction that the fit's scatter rate is defined to match: the
// engine's own (FPRateAlgorithm::predictedScatterRate); 0 where the engine has no scatter
// model (beam 0 without intensity at 20 keV).
double predictedScatterRate(const FPRateAlgorithm& engine, const Compound& compound) {
  if (!engine.hasScatterModel(0)) return 0.0;
  return engine.predictedScatterRate(compound);
}

std::string lineLabel(int Z, int code) {
  const std::string symbol = printableSymbol(Element(Z));
  if (code == detail::kMAlphaGroup) return symbol + " MA";
  return symbol + " " + lineName(code);
}

double sparseDot(const SparseColumn& a, const SparseColumn& b, const std::vector<double>& w, unsigned int first) {
  const unsigned int lo = std::max(a.start, b.start);
  const unsigned int hi =
      std::min(a.start + static_cast<unsigned int>(a.values.size()), b.start + static_cast<unsigned int>(b.values.size()));
  double s = 0.0;
  for (unsigned int i = lo; i < hi; ++i) s += a.values[i - a.start] * b.values[i - b.start] * w[i - first];
  return s;
}

double denseDot(const SparseColumn& a, const std::vector<double>& d, const std::vector<double>& w, unsigned int first) {
  double s = 0.0;
  for (std::size_t k = 0; k < a.values.size(); ++k) {
    const unsigned int i = a.start + static_cast<unsigned int>(k);
    s += a.values[k] * d[i - first] * w[i - first];
  }
  return s;
}

// Lawson-Hanson active-set solve of min |A x - y|_W, x >= 0, on the normal equations
// N = AᵀWA, b = AᵀWy, starting from `passive` when it has one entry per column (the last
// solve's positive set: consecutive solves differ little), else from the unconstrained
// solution's positive set. `passive` returns the final positive set.
Eigen::VectorXd nonNegativeSolve(const Eigen::MatrixXd& N, const Eigen::VectorXd& b, std::vector<bool>& passive) {
  const int n = static_cast<int>(b.size());
  Eigen::VectorXd x = Eigen::VectorXd::Zero(n);
  auto solvePassive = [&](Eigen::VectorXd& z) {
    std::vector<int> idx;
    for (int j = 0; j < n; ++j)
      if (passive[j]) idx.push_back(j);
    z = Eigen::VectorXd::Zero(n);
    if (idx.empty()) return;
    const int m = static_cast<int>(idx.size());
    Eigen::MatrixXd Np(m, m);
    Eigen::VectorXd bp(m);
    for (int r = 0; r < m; ++r) {
      bp(r) = b(idx[r]);
      for (int c = 0; c < m; ++c) Np(r, c) = N(idx[r], idx[c]);
    }
    const Eigen::VectorXd zp = Np.ldlt().solve(bp);
    for (int r = 0; r < m; ++r) z(idx[r]) = std::isfinite(zp(r)) ? zp(r) : 0.0;
  };
  if (passive.size() != static_cast<std::size_t>(n)) {
    passive.assign(n, false);
    const Eigen::VectorXd z = N.ldlt().solve(b);
    for (int j = 0; j < n; ++j) passive[j] = std::isfinite(z(j)) && z(j) > 0;
  }
  double scale = 0.0;
  for (int j = 0; j < n; ++j) scale = std::max(scale, std::fabs(b(j)));
  const double tolerance = 1e-10 * std::max(scale, 1e-300);
  for (int outer = 0; outer < 3 * n + 10; ++outer) {
    Eigen::VectorXd z;
    for (int inner = 0; inner < 3 * n + 10; ++inner) {
      solvePassive(z);
      bool feasible = true;
      double alpha = 1.0;
      for (int j = 0; j < n; ++j) {
        if (passive[j] && z(j) <= 0) {
          feasible = false;
          const double d = x(j) - z(j);
          alpha = std::min(alpha, d > 0 ? x(j) / d : 0.0);
        }
      }
      if (feasible) {
        x = z;
        break;
      }
      x = x + alpha * (z - x);
      for (int j = 0; j < n; ++j)
        if (passive[j] && x(j) <= 1e-12 * (1.0 + std::fabs(z(j)))) {
          passive[j] = false;
          x(j) = 0.0;
        }
    }
    const Eigen::VectorXd gradient = b - N * x;
    int best = -1;
    double bestValue = tolerance;
    for (int j = 0; j < n; ++j)
      if (!passive[j] && gradient(j) > bestValue) {
        bestValue = gradient(j);
        best = j;
      }
    if (best < 0) break;
    passive[best] = true;
  }
  for (int j = 0; j < n; ++j) x(j) = std::max(0.0, x(j));
  return x;
}

struct ShapeSteps {
  double step[kShapeCount];
};

}  // namespace

struct SpectrumFit::Impl {
  using Ties = std::map<int, std::pair<int, double>>;  // tied analysis line -> (line it follows, ratio)

  SpectrumFitOptions options;
  unsigned int beam = 0;
  DetectorHardware detector;
  DetectorResolution resolution;
  double escapeKeV = 0.0;
  double maxEnergyKeV = 0.0;
  int anodeZ = 0;
  bool anodeKLines = true;
  std::vector<PeakColumn> peaks;
  std::vector<SpectrumFitLine> lines;  // template, by analysis line of the beam
  std::vector<int> lineColumn;         // analysis line -> peak column, or -1
  std::vector<int> lineSibling;        // analysis line of a beta group -> its alpha line, or -1
  std::vector<double> atomicRatio;     // beta / alpha photons from atomic data and efficiency
  const FPRateAlgorithm* engine = nullptr;

  // The engine's calibrated prediction of analysis line i of the beam (0 when unknown).
  double predicted(std::size_t i) const {
    std::size_t seen = 0;
    for (const FPRateAlgorithm::AnalysisLine& a : engine->analysisLines) {
      if (a.beam != beam) continue;
      if (seen++ == i)
        return *a.theoreticalRate * a.calibrationFactor * engine->detector.getDetectorEfficiencyFactor(a.line.lineEnergyKeV());
    }
    return 0.0;
  }

  // The ties of one fit (columns `peakIndex` fitted, `reportable` inside the range): tied
  // analysis line -> (the analysis line it follows, ratio of their photons). Lines of two
  // elements closer than kTieFwhm FWHM cannot be separated by energy (the pair trades area,
  // and a weak partner is truncated at 0); one of them follows a line of its own element in
  // the ratio of the engine's calibrated predictions:
  //  1. a beta group within kTieFwhm of another line, or within kTieOwnFwhm of its own alpha
  //     group (Al KA and KB), follows its alpha group (before the engine has rates: the
  //     atomic ratio);
  //  2. of a coincident pair left (Pb LA on As KA, S KA on Mo LA), the line that follows is
  //     one with a free sibling: an analysis line of the same element, inside the range, not
  //     tied, with no other element's line within kTieFwhm. Of the candidates, the one whose
  //     sibling carries the most photons relative to its own is tied, as the sibling then
  //     measures it best (Pb LB about as many as Pb LA, As KB a seventh of As KA: Pb LA
  //     follows Pb LB). A pair without such a sibling stays free, and the sigmas of its two
  //     lines say how little the data separate them.
  Ties ties(const std::vector<int>& peakIndex, const std::set<int>& reportable) const {
    Ties tied;
    const auto coincide = [&](int p, int q, double fwhms) {
      return std::fabs(peaks[q].energyKeV - peaks[p].energyKeV) < fwhms * resolution.fwhmKeV(peaks[p].energyKeV);
    };
    // Elements the engine predicts no photons of, when its composition is certified.
    std::set<int> absent;
    if (options.certifiedComposition) {
      std::map<int, double> photons;
      for (std::size_t i = 0; i < lines.size(); ++i)
        if (lineColumn[i] >= 0) photons[peaks[lineColumn[i]].Z] += predicted(i);
      for (const auto& e : photons)
        if (!(e.second > 0)) absent.insert(e.first);
    }
    const auto isLine = [&](int q) {
      return (peaks[q].kind == PeakColumn::kLine || peaks[q].kind == PeakColumn::kCompanion) && absent.count(peaks[q].Z) == 0;
    };
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const int p = lineColumn[i], sibling = lineSibling[i];
      if (p < 0 || sibling < 0) continue;
      bool degenerate = false;
      for (int q : peakIndex)
        if (q != p && isLine(q) && coincide(p, q, q == lineColumn[sibling] ? kTieOwnFwhm : kTieFwhm)) degenerate = true;
      double ratio = predicted(i) / predicted(static_cast<std::size_t>(sibling));
      if (!(ratio > 0) || !std::isfinite(ratio)) ratio = atomicRatio[i];
      if (degenerate && ratio > 0 && std::isfinite(ratio)) tied[static_cast<int>(i)] = {sibling, ratio};
    }
    const std::set<int> fitted(peakIndex.begin(), peakIndex.end());
    const auto clear = [&](int p) {
      for (int q : peakIndex)
        if (q != p && isLine(q) && peaks[q].Z != peaks[p].Z && coincide(p, q, kTieFwhm)) return false;
      return true;
    };
    // The best free sibling of analysis line i and its photons per photon of i (0: none).
    const auto freeSibling = [&](int i, int& best) {
      double bestRatio = 0.0;
      best = -1;
      const double own = predicted(static_cast<std::size_t>(i));
      for (std::size_t j = 0; j < lines.size(); ++j) {
        const int q = lineColumn[j];
        if (static_cast<int>(j) == i || q < 0 || peaks[q].Z != peaks[lineColumn[i]].Z || fitted.count(q) == 0 ||
            reportable.count(q) == 0 || tied.count(static_cast<int>(j)) != 0 || !clear(q))
          continue;
        const double ratio = predicted(j) / own;
        if (std::isfinite(ratio) && ratio > bestRatio) {
          bestRatio = ratio;
          best = static_cast<int>(j);
        }
      }
      return bestRatio;
    };
    for (bool changed = true; changed;) {
      changed = false;
      for (std::size_t i = 0; i < lines.size() && !changed; ++i) {
        const int p = lineColumn[i];
        if (p < 0 || fitted.count(p) == 0 || tied.count(static_cast<int>(i)) != 0 || !isLine(p)) continue;
        for (int q : peakIndex) {
          if (q == p || !isLine(q) || peaks[q].Z == peaks[p].Z || !coincide(p, q, kTieFwhm)) continue;
          const int k = peaks[q].kind == PeakColumn::kLine ? peaks[q].analysisIndex : -1;
          if (k >= 0 && tied.count(k) != 0) continue;  // resolved: the partner follows its own element
          int candidate[2] = {static_cast<int>(i), k}, sibling[2] = {-1, -1};
          double ratio[2] = {freeSibling(candidate[0], sibling[0]), k >= 0 ? freeSibling(k, sibling[1]) : 0.0};
          const int c = ratio[1] > ratio[0] ? 1 : 0;
          if (!(ratio[c] > 0)) continue;
          // A line the one tied was followed by now follows the same sibling.
          for (auto& t : tied)
            if (t.second.first == candidate[c]) t.second = {sibling[c], t.second.second / ratio[c]};
          tied[candidate[c]] = {sibling[c], 1.0 / ratio[c]};
          changed = true;
          break;
        }
      }
    }
    return tied;
  }

  // One fit's working state.
  struct Work {
    unsigned int first = 0, end = 0;
    std::vector<double> y;             // data over the range
    std::vector<int> peakIndex;        // included peak columns (indices into peaks)
    std::vector<PeakColumn> peakCols;  // their shapes (a tied beta group merged into its alpha)
    std::vector<SparseColumn> columns; // included peaks, then background
    std::size_t peakCount = 0;
    ShapeParameters shape;
    Eigen::VectorXd x;
    std::vector<double> mu;
    std::vector<bool> passive;  // the last non-negative solve's positive set
    int pileUp = -1;            // the sum-peak column (after the background), or -1
    double pileUpCounts = 0.0;  // its counts in the range per second of resolving time
    double liveTime = 0.0;
    unsigned int size = 0;            // channels of the spectrum
    double offset = 0.0, gain = 0.0;  // its energy scale as given
  };


  // The sum-peak column from the current areas of the line columns, scaled to unit counts
  // (like the peak columns, so that the solve sees columns of one scale); empty before the
  // first solve.
  void updatePileUp(Work& w) const {
    SparseColumn& column = w.columns[static_cast<std::size_t>(w.pileUp)];
    column.start = w.first;
    column.values.clear();
    if (static_cast<std::size_t>(w.x.size()) != w.columns.size()) return;
    std::vector<const PeakColumn*> lineColumns;
    std::vector<double> areas;
    for (std::size_t k = 0; k < w.peakCount; ++k)
      if (w.peakCols[k].kind == PeakColumn::kLine || w.peakCols[k].kind == PeakColumn::kCompanion) {
        lineColumns.push_back(&w.peakCols[k]);
        areas.push_back(w.x(static_cast<Eigen::Index>(k)));
      }
    std::vector<double> values(w.end - w.first, 0.0);
    detail::addPileUpPeaks(lineColumns, areas, options.pileUpPeaks, w.liveTime, 1.0, w.shape, w.first, w.end, values);
    std::size_t lo = 0, hi = values.size();
    while (lo < hi && values[lo] == 0) ++lo;
    while (hi > lo && values[hi - 1] == 0) --hi;
    double total = 0.0;
    for (std::size_t i = lo; i < hi; ++i) total += values[i];
    if (!(total > 0) || !std::isfinite(total)) return;
    w.pileUpCounts = total;
    for (std::size_t i = lo; i < hi; ++i) values[i] /= total;
    column.start = w.first + static_cast<unsigned int>(lo);
    column.values.assign(values.begin() + static_cast<std::ptrdiff_t>(lo), values.begin() + static_cast<std::ptrdiff_t>(hi));
  }

  void buildPeakColumns(Work& w) const {
    for (std::size_t k = 0; k < w.peakCount; ++k)
      detail::buildPeakColumn(w.peakCols[k], w.shape, options.escapePeaks, escapeKeV, w.first, w.end,
                              w.columns[k]);
  }
  void peakModel(const Work& w, const ShapeParameters& shape, std::vector<double>& out) const {
    out.assign(w.end - w.first, 0.0);
    for (std::size_t k = 0; k < w.peakCount; ++k)
      if (w.x(k) > 0)
        detail::addPeakColumn(w.peakCols[k], shape, options.escapePeaks, escapeKeV, w.first, w.end, w.x(k),
                              out);
  }
  void modelOf(Work& w) const {
    w.mu.assign(w.end - w.first, 0.0);
    for (std::size_t k = 0; k < w.columns.size(); ++k) {
      if (w.x(k) == 0) continue;
      const SparseColumn& c = w.columns[k];
      for (std::size_t i = 0; i < c.values.size(); ++i) w.mu[c.start + i - w.first] += w.x(k) * c.values[i];
    }
  }
  // Areas for the current columns under weights 1/max(weightModel, floor).
  void solveAreas(Work& w, const std::vector<double>& weightModel) const {
    if (w.pileUp >= 0) updatePileUp(w);
    const std::size_t n = w.columns.size();
    std::vector<double> weight(weightModel.size());
    for (std::size_t i = 0; i < weight.size(); ++i) weight[i] = 1.0 / std::max(weightModel[i], kWeightFloor);
    Eigen::MatrixXd N(n, n);
    Eigen::VectorXd b(n);
    for (std::size_t j = 0; j < n; ++j) {
      b(j) = denseDot(w.columns[j], w.y, weight, w.first);
      for (std::size_t k = 0; k <= j; ++k) N(j, k) = N(k, j) = sparseDot(w.columns[j], w.columns[k], weight, w.first);
    }
    // Columns without support (cut off by the range) stay at 0.
    for (std::size_t j = 0; j < n; ++j)
      if (!(N(j, j) > 0)) N(j, j) = 1.0;
    w.x = nonNegativeSolve(N, b, w.passive);
    modelOf(w);
  }
};

SpectrumFit::SpectrumFit() : impl_(new Impl) {}
SpectrumFit::~SpectrumFit() = default;
unsigned int SpectrumFit::beam() const { return impl_->beam; }
const SpectrumFitOptions& SpectrumFit::options() const { return impl_->options; }

int SpectrumFit::create(const FPRateAlgorithm& engine, unsigned int beam, const TubeHardware& tube,
                        const SpectrumFitOptions& options, std::unique_ptr<SpectrumFit>& out) {
  if (beam >= engine.shermans.size()) {
    CALYX_LOG_ERR("spectrum fit: beam {:d} is out of range ({:d} beams)", beam, engine.shermans.size());
    return 1;
  }
  const SpectrumBase<double>* excitation = engine.shermans[beam].excitationSpectrum();
  if (excitation == nullptr || excitation->size() == 0) {
    CALYX_LOG_ERR("spectrum fit: beam {:d} has no excitation spectrum", beam);
    return 1;
  }
  std::unique_ptr<SpectrumFit> fit(new SpectrumFit());
  Impl& m = *fit->impl_;
  m.options = options;
  m.beam = beam;
  m.engine = &engine;
  m.detector = engine.detector;
  m.resolution = DetectorResolution::fromDetector(engine.detector, options.fano);
  m.escapeKeV = detail::escapeLineKeV(engine.detector);
  // The excitation may hold its characteristic lines after the continuum: the highest energy
  // of any point is the beam's end.
  for (unsigned int i = 0; i < excitation->size(); ++i) m.maxEnergyKeV = std::max(m.maxEnergyKeV, excitation->energyAt(i));

  // Analysis lines of the beam, and the elements they belong to.
  std::map<int, std::vector<int>> elementCodes;
  for (const FPRateAlgorithm::AnalysisLine& a : engine.analysisLines) {
    if (a.beam != beam) continue;
    SpectrumFitLine l;
    l.line = a.line;
    l.energyKeV = a.line.lineEnergyKeV();
    m.lines.push_back(l);
    const int Z = a.line.element().atomicNumber();
    PeakColumn c;
    c.kind = PeakColumn::kLine;
    c.analysisIndex = static_cast<int>(m.lines.size() - 1);
    c.Z = Z;
    c.label = lineLabel(Z, a.line.line());
    c.energyKeV = a.line.lineEnergyKeV();
    c.transitions = detail::lineTransitions(Z, a.line.line(), m.detector, options.escapePeaks);
    if (c.transitions.empty() || !(c.energyKeV > 0)) {
      m.lineColumn.push_back(-1);
      continue;
    }
    m.lineColumn.push_back(static_cast<int>(m.peaks.size()));
    m.peaks.push_back(c);
    elementCodes[Z].push_back(a.line.line());
  }
  for (std::size_t i = 0; i < m.lines.size(); ++i) {
    int sibling = -1;
    const int code = m.lines[i].line.line();
    if (code == 1 || code == 3)
      for (std::size_t j = 0; j < m.lines.size(); ++j)
        if (m.lines[j].line.element() == m.lines[i].line.element() && m.lines[j].line.line() == code - 1 &&
            m.lineColumn[j] >= 0)
          sibling = static_cast<int>(j);
    m.lineSibling.push_back(sibling);
    double ratio = 0.0;
    if (sibling >= 0) {
      const int Z = m.lines[i].line.element().atomicNumber();
      double beta = 0.0, alpha = 0.0;
      detail::lineTransitions(Z, code, m.detector, false, &beta);
      detail::lineTransitions(Z, code - 1, m.detector, false, &alpha);
      ratio = alpha > 0 ? beta / alpha : 0.0;
    }
    m.atomicRatio.push_back(ratio);
  }
  if (m.lines.empty()) {
    CALYX_LOG_ERR("spectrum fit: beam {:d} has no analysis lines", beam);
    return 1;
  }
  // The other excited line groups of the same elements: fitted so that they do not bias
  // their neighbours, not reported.
  for (const auto& entry : elementCodes) {
    const int Z = entry.first;
    for (int code : {0, 1, 2, 3, detail::kMAlphaGroup}) {
      const int shell = code <= 1 && code >= 0 ? K_SHELL : code == 2 ? L3_SHELL : code == 3 ? L2_SHELL : M5_SHELL;
      const double edge = detail::xrl::edgeEnergy(Z, shell);
      if (!(edge > 0 && edge < m.maxEnergyKeV)) continue;
      PeakColumn c;
      c.kind = PeakColumn::kCompanion;
      c.Z = Z;
      c.label = lineLabel(Z, code);
      c.transitions = detail::lineTransitions(Z, code, m.detector, options.escapePeaks);
      if (c.transitions.empty()) continue;
      c.energyKeV = 0.0;
      for (const detail::Transition& t : c.transitions) c.energyKeV += t.weight * t.energyKeV;
      if (c.energyKeV < kLowestLineKeV) continue;
      bool duplicate = false;
      for (const PeakColumn& p : m.peaks)
        if (p.kind == PeakColumn::kLine && p.Z == Z &&
            std::fabs(p.energyKeV - c.energyKeV) < 0.5 * m.resolution.fwhmKeV(c.energyKeV))
          duplicate = true;
      if (!duplicate) m.peaks.push_back(c);
    }
  }
  // Scatter peaks of the tube anode's lines: K lines when the beam excites the anode's K
  // shell, otherwise its L lines.
  const int anode = tube.anodeZ;
  if (anode > 0) {
    const bool kLines = detail::xrl::edgeEnergy(anode, K_SHELL) < m.maxEnergyKeV;
    m.anodeZ = anode;
    m.anodeKLines = kLines;
    const int alpha = kLines ? 0 : 2, beta = kLines ? 1 : 3;
    const Sherman& model = engine.shermans[beam];
    const Angle angle = Angle::createFromRadian(model.takeOffAngle().radians() + model.incidenceAngle().radians());
    for (int code : {alpha, beta}) {
      const std::vector<detail::Transition> rayleigh = detail::lineTransitions(anode, code, m.detector, options.escapePeaks);
      if (rayleigh.empty()) continue;
      PeakColumn r;
      r.kind = PeakColumn::kRayleigh;
      r.tubeAlpha = code == alpha;
      r.Z = anode;
      r.label = lineLabel(anode, code) + " Rayleigh";
      r.transitions = rayleigh;
      for (const detail::Transition& t : rayleigh) r.energyKeV += t.weight * t.energyKeV;
      PeakColumn c = r;
      c.kind = PeakColumn::kCompton;
      c.label = lineLabel(anode, code) + " Compton";
      c.energyKeV = comptonScatterEnergy(angle, r.energyKeV);
      for (detail::Transition& t : c.transitions) {
        t.energyKeV = comptonScatterEnergy(angle, t.energyKeV);
        t.escapeFraction = options.escapePeaks ? detail::escapeFraction(m.detector, t.energyKeV) : 0.0;
      }
      m.peaks.push_back(r);
      m.peaks.push_back(c);
    }
  }
  out = std::move(fit);
  return 0;
}

int SpectrumFit::fit(const MCAFile& file, SpectrumFitResult& out) const {
  if (!file.getSpectrum()) {
    CALYX_LOG_ERR("spectrum fit: the MCA file holds no spectrum");
    return 1;
  }
  return fit(*file.getSpectrum(), file.getLivetime(), out);
}

// The steps of a fit (SpectrumFit::fit).
namespace {

// The Gauss-Newton state of one fit: numeric derivatives of the peak model by the shape
// parameters (offset, gain, noise, Fano factor, Compton width), which of them are refined, and
// the joint normal equations of areas and shape.
struct Refinement {
  using Impl = SpectrumFit::Impl;
  using Work = Impl::Work;
  const Impl& m;
  Work& w;
  const std::size_t channels;
  bool hasCompton = false;
  const double deltas[kShapeCount];
  std::vector<std::vector<double>> jac = std::vector<std::vector<double>>(kShapeCount);
  std::vector<bool> refined = std::vector<bool>(kShapeCount, false);
  std::vector<bool> fixedShape = std::vector<bool>(kShapeCount, false);

  Refinement(const Impl& impl, Work& work)
      : m(impl), w(work), channels(work.end - work.first), deltas{1e-4, work.gain * 1e-5, 0.5, 0.002, 0.01} {
    for (std::size_t k = 0; k < w.peakCount; ++k)
      if (m.peaks[w.peakIndex[k]].kind == PeakColumn::kCompton) hasCompton = true;
  }

  static ShapeParameters shapeWith(ShapeParameters s, int k, double v) {
    double* p[kShapeCount] = {&s.offsetKeV, &s.gainKeV, &s.noiseEV, &s.fano, &s.comptonWidth};
    *p[k] += v;
    return s;
  }

  void computeJacobian() {
    std::vector<double> base, moved;
    m.peakModel(w, w.shape, base);
    for (int k = 0; k < kShapeCount; ++k) {
      refined[k] = !(k == 4 && !hasCompton) && !fixedShape[k];
      if (!refined[k]) continue;
      m.peakModel(w, shapeWith(w.shape, k, deltas[k]), moved);
      jac[k].resize(channels);
      double norm = 0.0;
      for (std::size_t i = 0; i < channels; ++i) {
        jac[k][i] = (moved[i] - base[i]) / deltas[k];
        norm += jac[k][i] * jac[k][i];
      }
      if (!(norm > 0)) refined[k] = false;
    }
  }

  // Joint normal matrix of the columns `cols` and the refined shape columns.
  void jointMatrix(const std::vector<int>& cols, const std::vector<double>& weight, bool withShape, Eigen::MatrixXd& M,
                   Eigen::VectorXd& rhs, std::vector<int>& shapeIdx) const {
    shapeIdx.clear();
    if (withShape)
      for (int k = 0; k < kShapeCount; ++k)
        if (refined[k]) shapeIdx.push_back(k);
    const std::size_t a = cols.size(), s = shapeIdx.size();
    M.resize(a + s, a + s);
    rhs.resize(a + s);
    std::vector<double> r(channels);
    for (std::size_t i = 0; i < channels; ++i) r[i] = w.y[i] - w.mu[i];
    for (std::size_t j = 0; j < a; ++j) {
      rhs(j) = denseDot(w.columns[cols[j]], r, weight, w.first);
      for (std::size_t k = 0; k <= j; ++k)
        M(j, k) = M(k, j) = sparseDot(w.columns[cols[j]], w.columns[cols[k]], weight, w.first);
      for (std::size_t k = 0; k < s; ++k) M(j, a + k) = M(a + k, j) = denseDot(w.columns[cols[j]], jac[shapeIdx[k]], weight, w.first);
    }
    for (std::size_t j = 0; j < s; ++j) {
      double rr = 0.0;
      for (std::size_t i = 0; i < channels; ++i) rr += jac[shapeIdx[j]][i] * r[i] * weight[i];
      rhs(a + j) = rr;
      for (std::size_t k = 0; k <= j; ++k) {
        double v = 0.0;
        for (std::size_t i = 0; i < channels; ++i) v += jac[shapeIdx[j]][i] * jac[shapeIdx[k]][i] * weight[i];
        M(a + j, a + k) = M(a + k, a + j) = v;
      }
    }
  }

  std::vector<double> weightsOf(const std::vector<double>& model) const {
    std::vector<double> weight(channels);
    for (std::size_t i = 0; i < channels; ++i) weight[i] = 1.0 / std::max(model[i], kWeightFloor);
    return weight;
  }

  // The columns with a positive area (and with `withLines` every line and tube alpha column).
  std::vector<int> activeColumns(bool withLines) const {
    std::vector<int> cols;
    for (std::size_t k = 0; k < w.columns.size(); ++k) {
      const bool line = k < w.peakCount && m.peaks[w.peakIndex[k]].kind == PeakColumn::kLine;
      if (w.x(k) > 0 || (withLines && line) || (withLines && k < w.peakCount && m.peaks[w.peakIndex[k]].tubeAlpha))
        cols.push_back(static_cast<int>(k));
    }
    return cols;
  }
};

// The fit's columns for one spectrum: its range, the peaks that reach into it, the ties,
// the background splines (and the sum-peak column), and the data. 1 with the reason in the
// log for a spectrum that cannot be fitted.
int setUp(const SpectrumFit::Impl& m, const LinearSpectrum<double>& spectrum, double liveTimeSeconds,
          SpectrumFit::Impl::Work& w, SpectrumFit::Impl::Ties& tied, std::set<int>& reportable) {
  const SpectrumFitOptions& o = m.options;
  if (!(liveTimeSeconds > 0) || !std::isfinite(liveTimeSeconds)) {
    CALYX_LOG_ERR("spectrum fit: the live time {:g} s is not a positive number", liveTimeSeconds);
    return 1;
  }
  const unsigned int n = spectrum.size();
  const double offset = spectrum.getFirstEnergy(), gain = spectrum.getStepSize();
  if (!(gain > 0) || !std::isfinite(gain) || !std::isfinite(offset) || !std::isfinite(offset + gain * n)) {
    CALYX_LOG_ERR("spectrum fit: the energy scale (first {:g} keV, step {:g} keV) is not usable", offset, gain);
    return 1;
  }
  for (unsigned int i = 0; i < n; ++i) {
    const double v = spectrum.valueAt(i);
    if (!(v >= 0) || !std::isfinite(v)) {
      CALYX_LOG_ERR("spectrum fit: channel {:d} holds {:g}; counts must be finite and not negative", i, v);
      return 1;
    }
  }
  w.size = n;
  w.offset = offset;
  w.gain = gain;
  const double lo = std::max(o.lowestEnergyKeV, offset);
  const double hi = std::min(offset + gain * (static_cast<double>(n) - 1.0), m.maxEnergyKeV);
  w.first = static_cast<unsigned int>(std::max(0.0, std::ceil((lo - offset) / gain)));
  const double endChannel = std::floor((hi - offset) / gain) + 1.0;
  w.end = endChannel > w.first ? static_cast<unsigned int>(std::min<double>(endChannel, n)) : w.first;
  w.shape.offsetKeV = offset;
  w.shape.gainKeV = gain;
  w.shape.noiseEV = m.resolution.noiseEV;
  w.shape.fano = m.resolution.fano;
  w.shape.comptonWidth = o.comptonWidthFactor;

  // Columns whose nominal energy lies a FWHM inside the range.
  const double eLow = offset + gain * w.first, eHigh = offset + gain * (static_cast<double>(w.end) - 1.0);
  // Columns of peaks that reach into the range are fitted; a line is reported only when it
  // lies a FWHM inside it.
  for (std::size_t k = 0; k < m.peaks.size(); ++k) {
    const double e = m.peaks[k].energyKeV;
    const double f = m.resolution.fwhmKeV(e) * (m.peaks[k].kind == PeakColumn::kCompton ? o.comptonWidthFactor : 1.0);
    if (e - 2.0 * f < eHigh && e + 2.0 * f > eLow) w.peakIndex.push_back(static_cast<int>(k));
    if (e - f >= eLow && e + f <= eHigh) reportable.insert(static_cast<int>(k));
  }
  tied = m.ties(w.peakIndex, reportable);
  for (const auto& t : tied)
    CALYX_LOG_AT(::spdlog::level::debug, "spectrum fit: {:s} follows {:s} ({:.4g} photons per photon)",
                 m.peaks[m.lineColumn[t.first]].label, m.peaks[m.lineColumn[t.second.first]].label, t.second.second);
  {
    std::vector<int> kept;
    for (int q : w.peakIndex) {
      bool drop = false;
      for (const auto& t : tied)
        if (m.lineColumn[t.first] == q) drop = true;
      if (drop) continue;
      kept.push_back(q);
      PeakColumn c = m.peaks[q];
      for (const auto& t : tied)
        if (m.lineColumn[t.second.first] == q)
          for (detail::Transition tr : m.peaks[m.lineColumn[t.first]].transitions) {
            tr.weight *= t.second.second;
            c.transitions.push_back(tr);
          }
      w.peakCols.push_back(c);
    }
    w.peakIndex = kept;
  }
  w.peakCount = w.peakIndex.size();
  w.columns.resize(w.peakCount);
  m.buildPeakColumns(w);
  const EnergyScale scale{offset, gain};
  for (SparseColumn& c : detail::backgroundColumns(eLow, eHigh, o.backgroundKnotKeV, scale, w.first, w.end))
    w.columns.push_back(std::move(c));
  if (o.pileUp) {
    w.pileUp = static_cast<int>(w.columns.size());
    w.liveTime = liveTimeSeconds;
    w.columns.emplace_back();
  }
  const std::size_t channels = w.end - w.first;
  if (w.end <= w.first || channels < w.columns.size() + 10 || w.peakCount == 0) {
    CALYX_LOG_ERR("spectrum fit: {:d} channels between {:g} and {:g} keV cannot hold the {:d} lines and "
                  "background of beam {:d}",
                  channels, lo, hi, w.peakCount, m.beam);
    return 1;
  }
  w.y.resize(channels);
  double total = 0.0;
  for (std::size_t i = 0; i < channels; ++i) {
    w.y[i] = spectrum.valueAt(static_cast<unsigned int>(w.first + i));
    total += w.y[i];
  }
  if (!(total > 0)) {
    CALYX_LOG_ERR("spectrum fit: the spectrum holds no counts between {:g} and {:g} keV", lo, hi);
    return 1;
  }
  return 0;
}

// The first solves: weights from the data smoothed over a FWHM, not below its SNIP
// background, then from the model.
void solveFirst(const SpectrumFit::Impl& m, SpectrumFit::Impl::Work& w) {
  const std::size_t channels = w.end - w.first;
  const double gain = w.gain;
  const unsigned int window =
      std::max(1u, static_cast<unsigned int>(std::lround(2.0 * m.resolution.fwhmKeV(10.0) / gain)));
  const std::vector<double> snip = snipBackground(w.y, window);
  std::vector<double> smooth(channels);
  const int half = std::max(1, static_cast<int>(std::lround(0.5 * m.resolution.fwhmKeV(6.0) / gain)));
  for (std::size_t i = 0; i < channels; ++i) {
    double s = 0.0;
    int count = 0;
    for (int d = -half; d <= half; ++d) {
      const long j = static_cast<long>(i) + d;
      if (j < 0 || j >= static_cast<long>(channels)) continue;
      s += w.y[j];
      ++count;
    }
    smooth[i] = std::max(s / count, snip[i]);
  }
  m.solveAreas(w, smooth);
  for (int pass = 1; pass < kReweightPasses; ++pass) {
    const std::vector<double> previous = w.mu;
    m.solveAreas(w, previous);
  }
}

// Up to refinementSteps Gauss-Newton steps on the shape: the areas and the shape step solved
// jointly on the linearised model, then the areas solved again (non-negative) at the new shape.
void refine(const SpectrumFit::Impl& m, Refinement& g) {
  const SpectrumFitOptions& o = m.options;
  SpectrumFit::Impl::Work& w = g.w;
  const double stepLimits[kShapeCount] = {0.03, w.gain * 0.005, 20.0, 0.03, 0.5};
  const double determinedWithin[kShapeCount] = {0.01, w.gain * 0.002, 10.0, 0.03, 0.5};
  for (int step = 0; step < o.refinementSteps; ++step) {
    g.computeJacobian();
    const std::vector<double> weight = g.weightsOf(w.mu);
    const std::vector<int> cols = g.activeColumns(false);
    Eigen::MatrixXd M;
    Eigen::VectorXd rhs;
    std::vector<int> shapeIdx;
    g.jointMatrix(cols, weight, true, M, rhs, shapeIdx);
    if (shapeIdx.empty()) break;
    const std::size_t a = cols.size();
    for (std::size_t j = 0; j < shapeIdx.size(); ++j) M(a + j, a + j) *= 1.0 + 1e-3;  // Levenberg damping
    const Eigen::LDLT<Eigen::MatrixXd> stepFactor(M);
    const Eigen::VectorXd d = stepFactor.solve(rhs);
    bool small = true;
    for (std::size_t j = 0; j < shapeIdx.size(); ++j) {
      const int k = shapeIdx[j];
      // A parameter the spectrum determines poorly (few or weak peaks) keeps its starting
      // value and is left out of the covariance (decided before any step moves it).
      Eigen::VectorXd unit = Eigen::VectorXd::Zero(M.rows());
      unit(a + j) = 1.0;
      const double variance = stepFactor.solve(unit)(a + j);
      if (step == 0 && (!(variance >= 0) || std::sqrt(variance) > determinedWithin[k])) {
        g.fixedShape[k] = true;
        continue;
      }
      double v = d(a + j);
      if (!std::isfinite(v)) v = 0.0;
      v = std::max(-stepLimits[k], std::min(stepLimits[k], v));
      if (std::fabs(v) > g.deltas[k]) small = false;
      w.shape = Refinement::shapeWith(w.shape, k, v);
    }
    w.shape.noiseEV = std::max(0.0, w.shape.noiseEV);
    w.shape.fano = std::max(0.01, std::min(0.5, w.shape.fano));
    w.shape.comptonWidth = std::max(1.0, std::min(8.0, w.shape.comptonWidth));
    m.buildPeakColumns(w);
    const std::vector<double> previous = w.mu;
    m.solveAreas(w, previous);
    if (small) break;
  }
}

// The residual check: the residual summed over one FWHM against the model's counting noise;
// regions above unexplainedSigma are reported with the lines that lie there.
void findUnexplained(const SpectrumFit::Impl& m, const SpectrumFit::Impl::Work& w,
                     const DetectorResolution& refinedResolution, SpectrumFitResult& result) {
  const SpectrumFitOptions& o = m.options;
  const std::size_t channels = w.end - w.first;
  const double gain = w.gain;
  {
    std::vector<double> significance(channels, 0.0);
    for (std::size_t i = 0; i < channels; ++i) {
      const double e = w.shape.offsetKeV + w.shape.gainKeV * static_cast<double>(w.first + i);
      const int half = std::max(1, static_cast<int>(std::lround(0.5 * refinedResolution.fwhmKeV(std::max(e, 0.5)) / gain)));
      double r = 0.0, v = 0.0;
      for (int d = -half; d <= half; ++d) {
        const long j = static_cast<long>(i) + d;
        if (j < 0 || j >= static_cast<long>(channels)) continue;
        r += w.y[j] - w.mu[j];
        v += std::max(w.mu[j], kWeightFloor);
      }
      significance[i] = r / std::sqrt(v);
    }
    std::size_t i = 0;
    while (i < channels) {
      if (significance[i] <= o.unexplainedSigma) {
        ++i;
        continue;
      }
      std::size_t best = i;
      while (i < channels && significance[i] > o.unexplainedSigma) {
        if (significance[i] > significance[best]) best = i;
        ++i;
      }
      SpectrumFitPeak p;
      p.energyKeV = w.shape.offsetKeV + w.shape.gainKeV * static_cast<double>(w.first + best);
      p.significance = significance[best];
      const double tolerance = refinedResolution.fwhmKeV(p.energyKeV);
      for (int Z = 11; Z <= 92; ++Z)
        for (int code : {KA_LINE, KB_LINE, LA_LINE, LB_LINE, MA1_LINE}) {
          const double e = detail::xrl::lineEnergy(Z, code);
          if (e > 0 && std::fabs(e - p.energyKeV) <= tolerance)
            p.candidates.push_back(lineLabel(Z, code == MA1_LINE ? detail::kMAlphaGroup : code));
        }
      CALYX_LOG_WARN("spectrum fit: a peak at {:.3f} keV ({:.1f} sigma) is not explained by the configured lines",
                     p.energyKeV, p.significance);
      result.unexplained.push_back(std::move(p));
    }
  }
}

// The columns whose areas enter the covariance: those with a positive area, and every line
// held at 0 by the constraint that coincides (within the tie distance) with a transition of
// one of them. Such a line and its partner share one peak: when noise pushes the line's area
// below 0, the partner takes the whole peak, and its sigma must still be that of the pair
// (without this, the partner's pulls have heavy tails where the line is weak, as As KA under
// Pb LA at 1:20). Lines held at 0 elsewhere leave their neighbours' sigmas alone.
std::vector<int> coveredColumns(const SpectrumFit::Impl& m, const Refinement& g) {
  const SpectrumFit::Impl::Work& w = g.w;
  std::vector<int> cols = g.activeColumns(false);
  const std::set<int> active(cols.begin(), cols.end());
  for (std::size_t k = 0; k < w.peakCount; ++k) {
    if (active.count(static_cast<int>(k)) != 0 || w.peakCols[k].kind != PeakColumn::kLine) continue;
    const double e = w.peakCols[k].energyKeV, reach = kTieFwhm * m.resolution.fwhmKeV(e);
    bool coincides = false;
    for (int a : active)
      if (static_cast<std::size_t>(a) < w.peakCount)
        for (const detail::Transition& t : w.peakCols[static_cast<std::size_t>(a)].transitions)
          if (t.weight > 0.05 && std::fabs(t.energyKeV - e) < reach) coincides = true;
    if (coincides) cols.push_back(static_cast<int>(k));
  }
  std::sort(cols.begin(), cols.end());
  return cols;
}

// Checks the refined shape and the chi-square, and fills `result`: the lines' counts, rates
// and sigmas from the covariance of areas and shape, the scatter rate, background, model,
// residuals and residual peaks. 1 with the reason in the log when the fit is not usable.
int report(const SpectrumFit::Impl& m, Refinement& g, const SpectrumFit::Impl::Ties& tied, const std::set<int>& reportable,
           double liveTimeSeconds, SpectrumFitResult& result) {
  const SpectrumFitOptions& o = m.options;
  SpectrumFit::Impl::Work& w = g.w;
  const std::size_t channels = w.end - w.first;
  result.beam = m.beam;
  result.liveTimeSeconds = liveTimeSeconds;

  // The shape must stay within what a refinement of a usable energy scale can explain.
  DetectorResolution refinedResolution;
  refinedResolution.noiseEV = w.shape.noiseEV;
  refinedResolution.fano = w.shape.fano;
  const double widthRatio = refinedResolution.fwhmKeV(5.9) / m.resolution.fwhmKeV(5.9);
  if (std::fabs(w.shape.offsetKeV - w.offset) > o.maxOffsetKeV || std::fabs(w.shape.gainKeV / w.gain - 1.0) > o.maxGainChange ||
      !(widthRatio > 0.5 && widthRatio < 2.0)) {
    CALYX_LOG_ERR("spectrum fit: the energy scale or resolution cannot be recovered (offset {:+.4f} keV, gain "
                  "{:+.5f}, width x{:.3f}); check the spectrum's calibration",
                  w.shape.offsetKeV - w.offset, w.shape.gainKeV / w.gain - 1.0, widthRatio);
    return 1;
  }

  // Chi-square and the covariance of the areas (with the refined shape parameters).
  double chi = 0.0;
  for (std::size_t i = 0; i < channels; ++i) {
    const double mu = std::max(w.mu[i], kWeightFloor);
    chi += (w.y[i] - w.mu[i]) * (w.y[i] - w.mu[i]) / mu;
  }
  // Covariance of the active areas, the lines held at 0 that coincide with them, and the
  // refined shape; any other line held at 0 gets the sigma it would have if freed alone
  // (Schur complement).
  const std::vector<int> cols = coveredColumns(m, g);
  if (o.refinementSteps > 0) g.computeJacobian();
  const std::vector<double> finalWeight = g.weightsOf(w.mu);
  Eigen::MatrixXd M;
  Eigen::VectorXd rhs;
  std::vector<int> shapeIdx;
  g.jointMatrix(cols, finalWeight, o.refinementSteps > 0, M, rhs, shapeIdx);
  for (Eigen::Index j = 0; j < M.rows(); ++j)
    if (!(M(j, j) > 0)) M(j, j) = 1.0;
  const Eigen::LDLT<Eigen::MatrixXd> factor(M);
  const Eigen::MatrixXd covariance = factor.solve(Eigen::MatrixXd::Identity(M.rows(), M.cols()));
  std::map<int, int> covIndex;  // column -> row of the covariance
  for (std::size_t j = 0; j < cols.size(); ++j) covIndex[cols[j]] = static_cast<int>(j);
  auto inactiveSigma = [&](int k) {
    Eigen::VectorXd cross(M.rows());
    for (std::size_t j = 0; j < cols.size(); ++j) cross(j) = sparseDot(w.columns[k], w.columns[cols[j]], finalWeight, w.first);
    for (std::size_t j = 0; j < shapeIdx.size(); ++j)
      cross(cols.size() + j) = denseDot(w.columns[k], g.jac[shapeIdx[j]], finalWeight, w.first);
    const double self = sparseDot(w.columns[k], w.columns[k], finalWeight, w.first);
    const double schur = self - cross.dot(factor.solve(cross));
    return schur > 0 ? 1.0 / std::sqrt(schur) : std::numeric_limits<double>::infinity();
  };
  const std::size_t free = cols.size() + shapeIdx.size();
  result.degreesOfFreedom = channels > free ? static_cast<unsigned int>(channels - free) : 0u;
  result.chiSquare = chi;
  result.reducedChiSquare = result.degreesOfFreedom > 0 ? chi / result.degreesOfFreedom : 0.0;
  if (result.reducedChiSquare > o.maxReducedChiSquare) {
    CALYX_LOG_ERR("spectrum fit: the model does not describe the spectrum (chi-square per degree of freedom {:.1f}); "
                  "check the energy scale, the detector and the configured elements",
                  result.reducedChiSquare);
    return 1;
  }

  // Per analysis line.
  result.lines = m.lines;
  std::map<int, int> columnOfPeak;
  for (std::size_t k = 0; k < w.peakCount; ++k) columnOfPeak[w.peakIndex[k]] = static_cast<int>(k);
  for (std::size_t i = 0; i < result.lines.size(); ++i) {
    SpectrumFitLine& l = result.lines[i];
    const int peak = m.lineColumn[i];
    const auto it = peak >= 0 ? columnOfPeak.find(peak) : columnOfPeak.end();
    if (it == columnOfPeak.end() || reportable.count(peak) == 0) continue;  // out of range
    const int k = it->second;
    l.inRange = true;
    l.counts = w.x(k);
    const auto row = covIndex.find(k);
    const double sigma = row != covIndex.end() ? std::sqrt(covariance(row->second, row->second)) : inactiveSigma(k);
    // A line the data cannot determine at all (sigma not finite) is reported out of range.
    if (!std::isfinite(sigma) || !(sigma > 0)) {
      l.inRange = false;
      l.counts = 0.0;
      continue;
    }
    l.countsSigma = sigma;
    l.rate = l.counts / liveTimeSeconds;
    l.rateSigma = l.countsSigma / liveTimeSeconds;
  }
  for (const auto& t : tied) {
    const SpectrumFitLine& alpha = result.lines[t.second.first];
    SpectrumFitLine& l = result.lines[t.first];
    if (!alpha.inRange) continue;
    l.inRange = true;
    l.tied = true;
    l.counts = alpha.counts * t.second.second;
    l.countsSigma = alpha.countsSigma * t.second.second;
    l.rate = l.counts / liveTimeSeconds;
    l.rateSigma = l.countsSigma / liveTimeSeconds;
  }
  // The scatter rate: Rayleigh + Compton of the tube's alpha line.
  {
    std::vector<int> rows;
    double counts = 0.0, inactiveVariance = 0.0;
    int columnsFound = 0;
    for (std::size_t k = 0; k < w.peakCount; ++k)
      if (m.peaks[w.peakIndex[k]].tubeAlpha && reportable.count(w.peakIndex[k]) != 0) {
        ++columnsFound;
        const auto row = covIndex.find(static_cast<int>(k));
        if (row != covIndex.end()) rows.push_back(row->second);
        else inactiveVariance += std::pow(inactiveSigma(static_cast<int>(k)), 2);
        counts += w.x(k);
      }
    if (columnsFound == 2) {
      double variance = inactiveVariance;
      for (int r : rows)
        for (int c : rows) variance += covariance(r, c);
      result.hasScatterRate = true;
      result.scatterCounts = counts;
      result.scatterRate = counts / liveTimeSeconds;
      result.scatterRateSigma = (variance > 0 ? std::sqrt(variance) : std::sqrt(std::max(1.0, counts))) / liveTimeSeconds;
    }
  }

  // Background, model and residuals over the whole spectrum.
  result.firstChannel = w.first;
  result.endChannel = w.end;
  result.background.assign(w.size, 0.0);
  result.model.assign(w.size, 0.0);
  result.residuals.assign(w.size, 0.0);
  for (std::size_t k = w.peakCount; k < w.columns.size(); ++k) {
    if (static_cast<int>(k) == w.pileUp) continue;
    const SparseColumn& c = w.columns[k];
    for (std::size_t i = 0; i < c.values.size(); ++i) result.background[c.start + i] += w.x(k) * c.values[i];
  }
  for (std::size_t i = 0; i < channels; ++i) {
    result.model[w.first + i] = w.mu[i];
    result.residuals[w.first + i] = w.y[i] - w.mu[i];
  }
  result.energyScale = EnergyScale{w.shape.offsetKeV, w.shape.gainKeV};
  result.resolution = refinedResolution;
  result.comptonWidthFactor = w.shape.comptonWidth;
  if (w.pileUp >= 0) {
    const double perCount = w.pileUpCounts > 0 ? 1.0 / w.pileUpCounts : 0.0;
    result.pileUpTimeSeconds = w.x(w.pileUp) * perCount;
    const auto row = covIndex.find(w.pileUp);
    // Held at 0 (no pile-up seen): the sigma of the resolving time freed alone, as for a line.
    const double sigma = row != covIndex.end() ? std::sqrt(covariance(row->second, row->second)) : inactiveSigma(w.pileUp);
    result.pileUpTimeSigma = std::isfinite(sigma) ? sigma * perCount : 0.0;
  }

  findUnexplained(m, w, refinedResolution, result);
  CALYX_LOG_INFO("spectrum fit of beam {:d}: chi-square/dof {:.3f}, offset {:+.4f} keV, gain {:+.6f}, FWHM(5.9 keV) "
                 "{:.1f} eV",
                 m.beam, result.reducedChiSquare, w.shape.offsetKeV - w.offset, w.shape.gainKeV / w.gain - 1.0,
                 1000.0 * refinedResolution.fwhmKeV(5.9));
  return 0;
}

}  // namespace

int SpectrumFit::fit(const LinearSpectrum<double>& spectrum, double liveTimeSeconds, SpectrumFitResult& out) const {
  const Impl& m = *impl_;
  Impl::Work w;
  Impl::Ties tied;
  std::set<int> reportable;
  if (setUp(m, spectrum, liveTimeSeconds, w, tied, reportable) != 0) return 1;
  solveFirst(m, w);
  Refinement g(m, w);
  refine(m, g);
  SpectrumFitResult result;
  if (report(m, g, tied, reportable, liveTimeSeconds, result) != 0) return 1;
  out = std::move(result);
  return 0;
}

std::vector<XRFLine> SpectrumFitResult::fittedLines() const {
  std::vector<XRFLine> out;
  for (const SpectrumFitLine& l : lines)
    if (l.inRange) out.push_back(l.line);
  return out;
}

std::vector<double> SpectrumFitResult::fittedRates() const {
  std::vector<double> out;
  for (const SpectrumFitLine& l : lines)
    if (l.inRange) out.push_back(l.rate);
  return out;
}

std::vector<double> SpectrumFitResult::fittedRateSigmas() const {
  std::vector<double> out;
  for (const SpectrumFitLine& l : lines)
    if (l.inRange) out.push_back(l.rateSigma);
  return out;
}

int SpectrumFit::synthesize(const FPRateAlgorithm& engine, const Compound& compound,
                            const SyntheticSpectrumOptions& o, LinearSpectrum<double>& out) const {
  const Impl& m = *impl_;
  if (!(o.liveTimeSeconds > 0) || !std::isfinite(o.liveTimeSeconds) || o.channels == 0 ||
      !(o.energyScale.gainKeV > 0) || !std::isfinite(o.energyScale.offsetKeV) || !std::isfinite(o.energyScale.gainKeV) ||
      !(o.continuumFraction >= 0) || !(o.continuumRate >= 0) || !std::isfinite(o.continuumRate) ||
      !(o.tailFraction >= 0 && o.tailFraction < 1) || !(o.pileUpTimeSeconds >= 0) || !std::isfinite(o.pileUpTimeSeconds)) {
    CALYX_LOG_ERR("synthetic spectrum: live time, energy scale, channel count, continuum, tail or pile-up time not usable");
    return 1;
  }
  ShapeParameters shape;
  shape.offsetKeV = o.energyScale.offsetKeV;
  shape.gainKeV = o.energyScale.gainKeV;
  shape.noiseEV = o.noiseEV >= 0 ? o.noiseEV : DetectorResolution::fromDetector(m.detector, o.fano).noiseEV;
  shape.fano = o.fano;
  shape.comptonWidth = o.comptonWidthFactor;
  shape.tailFraction = o.tailFraction;
  shape.tailSlopeKeV = o.tailSlopeKeV;

  std::vector<double> expected(o.channels, 0.0);
  double peakCounts = 0.0;
  // The lines: calibrated, efficiency-weighted predictions; and their sum peaks.
  std::vector<const PeakColumn*> lineColumns;
  std::vector<double> lineCounts;
  std::size_t lineIndex = 0;
  for (const FPRateAlgorithm::AnalysisLine& a : engine.analysisLines) {
    if (a.beam != m.beam) continue;
    const int peak = lineIndex < m.lineColumn.size() ? m.lineColumn[lineIndex] : -1;
    ++lineIndex;
    if (peak < 0) continue;
    const double rate =
        *a.theoreticalRate * a.calibrationFactor * engine.detector.getDetectorEfficiencyFactor(a.line.lineEnergyKeV());
    if (!std::isfinite(rate) || rate < 0) {
      CALYX_LOG_ERR("synthetic spectrum: the model gives {:g} for {:s}", rate, m.peaks[peak].label);
      return 1;
    }
    const double counts = rate * o.liveTimeSeconds;
    detail::addPeakColumn(m.peaks[peak], shape, o.escapePeaks, m.escapeKeV, 0, o.channels, counts, expected);
    peakCounts += counts;
    lineColumns.push_back(&m.peaks[peak]);
    lineCounts.push_back(counts);
  }
  detail::addPileUpPeaks(lineColumns, lineCounts, o.pileUpPeaks, o.liveTimeSeconds, o.pileUpTimeSeconds, shape, 0,
                         o.channels, expected);
  // Scatter of beam 0: the engine's scatter prediction as the area of the tube's alpha
  // line, shared between Rayleigh and Compton as the sample's cross sections; the beta
  // line in the ratio of the anode's radiative rates.
  if (m.beam == 0) {
    const double scatter = predictedScatterRate(engine, compound);
    const PeakColumn* rayleigh[2] = {nullptr, nullptr};
    const PeakColumn* compton[2] = {nullptr, nullptr};
    for (const PeakColumn& p : m.peaks) {
      const int slot = p.tubeAlpha ? 0 : 1;
      if (p.kind == PeakColumn::kRayleigh) rayleigh[slot] = &p;
      if (p.kind == PeakColumn::kCompton) compton[slot] = &p;
    }
    if (scatter > 0 && std::isfinite(scatter) && rayleigh[0] && compton[0]) {
      const double sc = comptonScatterCoefficient(compound, rayleigh[0]->energyKeV);
      const double sr = rayleahScatterCoefficient(compound, rayleigh[0]->energyKeV);
      const double comptonShare = sc + sr > 0 ? sc / (sc + sr) : 0.5;
      const double alpha = scatter * o.liveTimeSeconds;
      detail::addPeakColumn(*rayleigh[0], shape, o.escapePeaks, m.escapeKeV, 0, o.channels, alpha * (1 - comptonShare), expected);
      detail::addPeakColumn(*compton[0], shape, o.escapePeaks, m.escapeKeV, 0, o.channels, alpha * comptonShare, expected);
      peakCounts += alpha;
      if (rayleigh[1] && compton[1]) {
        // Beta to alpha photons of the anode (K lines from xraylib; the L lines' ratio varies
        // with the vacancy distribution: half).
        double ratio = 0.5;
        if (m.anodeKLines) {
          const double ka = detail::xrl::radRate(m.anodeZ, KA_LINE), kb = detail::xrl::radRate(m.anodeZ, KB_LINE);
          if (ka > 0 && kb >= 0) ratio = kb / ka;
        }
        const double beta = alpha * ratio;
        detail::addPeakColumn(*rayleigh[1], shape, o.escapePeaks, m.escapeKeV, 0, o.channels, beta * (1 - comptonShare), expected);
        detail::addPeakColumn(*compton[1], shape, o.escapePeaks, m.escapeKeV, 0, o.channels, beta * comptonShare, expected);
        peakCounts += beta;
      }
    }
  }
  // A smooth continuum: scattered bremsstrahlung shape (E0 - E)/E, cut at low energy by the
  // detector's efficiency and a soft absorption edge.
  const double continuumCounts = std::max(o.continuumFraction * peakCounts, o.continuumRate * o.liveTimeSeconds);
  if (continuumCounts > 0) {
    std::vector<double> c(o.channels, 0.0);
    double sum = 0.0;
    for (unsigned int i = 0; i < o.channels; ++i) {
      const double e = o.energyScale.energyAt(i);
      if (!(e > 0.5 && e < m.maxEnergyKeV)) continue;
      const double cut = 1.0 - std::exp(-std::pow(e / 3.0, 3.0));
      c[i] = engine.detector.getDetectorEfficiencyFactor(e) * (m.maxEnergyKeV - e) / e * cut;
      if (!std::isfinite(c[i]) || c[i] < 0) c[i] = 0.0;
      sum += c[i];
    }
    if (sum > 0)
      for (unsigned int i = 0; i < o.channels; ++i) expected[i] += c[i] / sum * continuumCounts;
  }
  std::vector<double> values(o.channels);
  PoissonSampler sampler(o.seed);
  for (unsigned int i = 0; i < o.channels; ++i)
    values[i] = o.noise ? static_cast<double>(sampler.poisson(expected[i])) : expected[i];
  out = LinearSpectrum<double>(o.energyScale.offsetKeV, o.energyScale.gainKeV, values);
  return 0;
}

}  // namespace calyx
