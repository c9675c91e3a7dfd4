// A solver of the iteration's fixed point that cannot overshoot. The passes of process()
// move each element by measured / predicted rate, a Jacobi step whose gain is right only
// where the matrix effects are weak; with rates off in scale from the calibration, or the
// light elements far from their share, it oscillates or diverges. Here the unknowns are the
// logarithms of the measured elements' fractions and of the light elements' common factor;
// the residual of a group is ln(measured / predicted) (an element's lines averaged as
// process() averages them, the light elements' scatter as its scatter step weighs it), and
// the fixed point is every residual equal to one common ln c with the fractions summing to 1.
// Newton steps with the Jacobian taken by finite differences of the model, refined by
// Broyden's update between refreshes, and a backtracking line search on the residuals'
// spread make every accepted step an improvement (C.G. Broyden, Math. Comp. 19 (1965) 577;
// J.E. Dennis and R.B. Schnabel, Numerical Methods for Unconstrained Optimization and
// Nonlinear Equations, 1983, ch. 6 and 8).
#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include <Eigen/Dense>

#include "calyx/FPRateAlgorithm.h"
#include "calyx/Filter.h"
#include "detail/Log.h"

namespace calyx {
namespace {

constexpr double kDifferenceStep = 1e-6;      // in ln f
constexpr double kScatterPointKeV = 20.0;     // as the scatter step of process()
constexpr double kLargestLogStep = 2.0;       // e² per step at most
constexpr int kBacktracks = 30;

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;

struct Problem {
  FPRateAlgorithm& engine;
  unsigned int last;
  std::vector<double> efficiencies;
  // Groups: one per measured element (its chemistry index) and, last, the light elements.
  std::vector<int> elementIndex;
  std::vector<std::vector<std::size_t>> groupLines;
  std::vector<int> lightIndices;  // chemistry indices the light group scales
  bool hasLight = false;
  int passes = 0;

  std::size_t size() const { return elementIndex.size() + (hasLight ? 1 : 0); }

  // Fractions from the unknowns (light elements as base x factor), normalised.
  void apply(const Vector& y, const std::vector<double>& base) {
    std::vector<double>& f = engine.chemistry->fractions;
    f = base;
    for (std::size_t g = 0; g < elementIndex.size(); ++g) f[static_cast<std::size_t>(elementIndex[g])] = std::exp(y[static_cast<Eigen::Index>(g)]);
    if (hasLight) {
      const double factor = std::exp(y[static_cast<Eigen::Index>(elementIndex.size())]);
      for (int i : lightIndices) f[static_cast<std::size_t>(i)] = base[static_cast<std::size_t>(i)] * factor;
    }
    double sum = 0.0;
    for (double v : f) sum += v;
    for (double& v : f) v /= sum;
  }

  // The light-element step's own prediction, so that both solvers share one fixed point.
  double predictedScatter() const { return engine.predictedScatterRate(engine.getCompound()); }

  // Residuals at the chemistry's current fractions (one model pass).
  bool residuals(Vector& r) {
    for (Sherman& model : engine.shermans) model.computeRates();
    ++passes;
    r.resize(static_cast<Eigen::Index>(size()));
    for (std::size_t g = 0; g < elementIndex.size(); ++g) {
      double ratio = 0.0;
      for (std::size_t i : groupLines[g]) {
        const FPRateAlgorithm::AnalysisLine& line = engine.analysisLines[i];
        ratio += line.measuredRate / (*line.theoreticalRate * line.calibrationFactor * efficiencies[i]);
      }
      r[static_cast<Eigen::Index>(g)] = std::log(ratio / static_cast<double>(groupLines[g].size()));
    }
    if (hasLight) {
      // The scatter step moves the light elements by 1 / count of the relative residual.
      const double count = static_cast<double>(lightIndices.size());
      const double ratio = 1.0 + (engine.leRates[0] / predictedScatter() - 1.0) / count;
      r[static_cast<Eigen::Index>(elementIndex.size())] = std::log(ratio);
    }
    return r.allFinite();
  }
};

// The spread of the residuals about their mean, and that mean (ln c).
double spread(const Vector& r, double& mean) {
  mean = r.mean();
  return (r.array() - mean).abs().maxCoeff();
}

}  // namespace

FPRateAlgorithm::SolveResult FPRateAlgorithm::solve(int lastBeam, int maxPasses, double tolerance) {
  SolveResult result;
  if (shermans.empty() || chemistry->fractions.empty()) return result;
  Problem problem{*this, std::min<unsigned int>(static_cast<unsigned int>(lastBeam),
                                                static_cast<unsigned int>(shermans.size() - 1)),
                  lineEfficiencies(), {}, {}, {}};

  // Every fraction at the normalisation floor or above, summing to 1.
  normalizeAllChem();
  std::vector<double>& f = chemistry->fractions;
  for (Sherman& model : shermans) model.computeRates();
  ++problem.passes;

  std::map<int, std::size_t> groupOf;
  for (std::size_t i = 0; i < analysisLines.size(); ++i) {
    const AnalysisLine& line = analysisLines[i];
    if (!line.inUse || line.beam > problem.last) continue;
    const double m = line.measuredRate;
    const double p = *line.theoreticalRate * line.calibrationFactor * problem.efficiencies[i];
    if (!(m > 0.0 && std::isfinite(m) && p > 0.0 && std::isfinite(p))) {
      CALYX_LOG_WARN("beam {:d} line [{:s}:{:.2f}] not used by the solver: measured rate {:g}, predicted rate {:g}",
                     line.beam, printableSymbol(line.line.element()), line.line.lineEnergyKeV(), m, p);
      continue;
    }
    const int index = chemistry->getIndex(line.line.element());
    auto found = groupOf.find(index);
    if (found == groupOf.end()) {
      found = groupOf.emplace(index, problem.elementIndex.size()).first;
      problem.elementIndex.push_back(index);
      problem.groupLines.emplace_back();
    }
    problem.groupLines[found->second].push_back(i);
  }

  const std::set<Element>& light = leElements[problem.last];
  if (!light.empty() && hasScatterModel(0) && std::isfinite(leRates[0]) && leRates[0] > 0.0) {
    for (const Element& element : light) {
      const int index = chemistry->getIndex(element);
      if (index >= 0 && groupOf.count(index) == 0) problem.lightIndices.push_back(index);
    }
    problem.hasLight = !problem.lightIndices.empty();
  } else if (!light.empty()) {
    CALYX_LOG_WARN("light elements not solved for: no scatter point at {:g} keV or no measured scatter rate",
                   kScatterPointKeV);
  }

  const std::size_t n = problem.size();
  if (n == 0) {
    CALYX_LOG_WARN("nothing to solve for: no line with a usable measured and predicted rate");
    result.passes = problem.passes;
    return result;
  }
  const auto N = static_cast<Eigen::Index>(n);

  // The light elements share one factor on top of their present proportions.
  std::vector<double> base = f;
  Vector y(N);
  for (std::size_t g = 0; g < problem.elementIndex.size(); ++g)
    y[static_cast<Eigen::Index>(g)] = std::log(f[static_cast<std::size_t>(problem.elementIndex[g])]);
  if (problem.hasLight) y[N - 1] = 0.0;

  Vector r;
  problem.apply(y, base);
  if (!problem.residuals(r)) {
    CALYX_LOG_ERR("solver: the residuals at the start are not finite");
    result.passes = problem.passes;
    return result;
  }
  double mean = 0.0;
  double phi = spread(r, mean);

  // The unknowns of the normalised state: ln of each group's fraction (the light group's as
  // its factor), from the fractions as they are.
  auto stateOf = [&](Vector& state) {
    for (std::size_t g = 0; g < problem.elementIndex.size(); ++g)
      state[static_cast<Eigen::Index>(g)] = std::log(f[static_cast<std::size_t>(problem.elementIndex[g])]);
    if (problem.hasLight) {
      const int i = problem.lightIndices.front();
      state[N - 1] = std::log(f[static_cast<std::size_t>(i)] / base[static_cast<std::size_t>(i)]);
    }
  };
  stateOf(y);

  Matrix J(N, N);
  bool fresh = false;
  auto jacobian = [&]() {
    for (Eigen::Index k = 0; k < N; ++k) {
      Vector shifted = y;
      shifted[k] += kDifferenceStep;
      problem.apply(shifted, base);
      Vector rk;
      problem.residuals(rk);
      J.col(k) = (rk - r) / kDifferenceStep;
    }
    problem.apply(y, base);
    fresh = true;
  };
  // The first Jacobian is the passes' own model of the rates (each element's rate in
  // proportion to its fraction, J = -I), so the first step is their ratio step; Broyden's
  // updates then learn the matrix effects, and a step the line search cannot use brings in
  // the finite-difference Jacobian.
  J = -Matrix::Identity(N, N);

  while (problem.passes < maxPasses) {
    if (phi <= tolerance) {
      result.converged = true;
      break;
    }
    // [J  -1] [dy]   [-(r - mean)]
    // [w   0] [dc] = [     0     ], w the groups' fractions: the step keeps the sum.
    Matrix A = Matrix::Zero(N + 1, N + 1);
    A.topLeftCorner(N, N) = J;
    A.block(0, N, N, 1).setConstant(-1.0);
    for (Eigen::Index g = 0; g < N; ++g) {
      double w = 0.0;
      if (static_cast<std::size_t>(g) < problem.elementIndex.size())
        w = f[static_cast<std::size_t>(problem.elementIndex[static_cast<std::size_t>(g)])];
      else
        for (int i : problem.lightIndices) w += f[static_cast<std::size_t>(i)];
      A(N, g) = w;
    }
    Vector b = Vector::Zero(N + 1);
    b.head(N) = -(r.array() - mean).matrix();
    Vector step = A.colPivHouseholderQr().solve(b).head(N);
    if (!step.allFinite()) step = b.head(N);  // a singular system: the plain ratio step
    const double largest = step.cwiseAbs().maxCoeff();
    if (largest > kLargestLogStep) step *= kLargestLogStep / largest;

    // Backtracking: halve until the spread falls.
    double alpha = 1.0;
    bool accepted = false;
    Vector trial, rTrial;
    double phiTrial = phi;
    double meanTrial = mean;
    for (int k = 0; k < kBacktracks && problem.passes < maxPasses; ++k, alpha *= 0.5) {
      trial = y + alpha * step;
      problem.apply(trial, base);
      if (problem.residuals(rTrial)) {
        phiTrial = spread(rTrial, meanTrial);
        if (phiTrial < phi) {
          accepted = true;
          break;
        }
      }
    }
    if (!accepted) {
      problem.apply(y, base);
      if (fresh || problem.passes >= maxPasses) {
        CALYX_LOG_WARN("solver: no step lowers the residuals ({:g}) after {:d} passes", phi, problem.passes);
        break;
      }
      problem.residuals(r);
      jacobian();
      continue;
    }
    Vector yNew(N);
    stateOf(yNew);
    // Broyden's update of the Jacobian with the step actually taken.
    const Vector dy = yNew - y;
    const Vector dr = rTrial - r;
    const double dd = dy.squaredNorm();
    if (dd > 0.0) J += ((dr - J * dy) * dy.transpose()) / dd;
    fresh = false;
    y = yNew;
    r = rTrial;
    phi = phiTrial;
    mean = meanTrial;
  }
  if (!result.converged && phi <= tolerance) result.converged = true;

  // Uncertainties as the line step sets them, then the passes' normalisation, and the rates
  // at the final composition.
  problem.apply(y, base);
  for (std::size_t g = 0; g < problem.elementIndex.size(); ++g)
    for (std::size_t i : problem.groupLines[g]) {
      const AnalysisLine& line = analysisLines[i];
      *line.uncertainty = *line.fraction * (line.measuredUncertainty / line.measuredRate);
    }
  normalizeAllChem();
  for (Sherman& model : shermans) model.computeRates();
  ++problem.passes;
  result.passes = problem.passes;
  result.residual = phi;
  CALYX_LOG_INFO("solver: {:s} after {:d} passes, residual {:g}: {:s}", result.converged ? "converged" : "stopped",
                 result.passes, phi, compoundToString(getCompound()));
  return result;
}

}  // namespace calyx
