// Calibration against reference standards.
//
// The model runs once per standard over all beams; its efficiency-weighted predictions are
// cached (single precision) and each analysis line gets the through-origin slope of
// w = wf (m / p) against wf, i.e. Σ wf² (m/p) / Σ wf²: the ratio of measured to predicted
// rate, weighted by the squared mass fraction. The light-element factor and offset map the
// predicted Compton intensity of beam 0 onto the measured scatter rate by a straight line.
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <Eigen/Dense>

#include "calyx/CSVWriter.h"
#include "calyx/Calibration.h"
#include "calyx/FPRateAlgorithm.h"
#include "calyx/Filter.h"
#include "calyx/Regression.h"
#include "FPRateAlgorithm/Layout.h"
#include "detail/Log.h"

#ifndef CALYX_DEFAULT_DEBUG_CSV
#ifdef __ANDROID__
#define CALYX_DEFAULT_DEBUG_CSV "/sdcard/orvane/fp_cal_debug.csv"
#else
#define CALYX_DEFAULT_DEBUG_CSV "/tmp/fp_cal_debug.csv"
#endif
#endif

namespace calyx {
namespace {

constexpr std::size_t kTitleBufferSize = 100;

// A double as a default output stream writes it (%g, six significant digits).
std::string cell(double value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

bool lineBefore(const FPRateAlgorithm::AnalysisLine* a, const FPRateAlgorithm::AnalysisLine* b) {
  if (a->beam != b->beam) return a->beam < b->beam;
  return a->line < b->line;
}

// Why a standard's composition cannot enter the calibration, or an empty text. Its scatter
// prediction is Σ w σC / Σ w μ: an empty or all-zero composition, or one of elements
// without atomic data, makes it 0/0; a negative or non-finite fraction makes it meaningless.
std::string unusableComposition(const Compound& compound) {
  if (compound.empty()) return "its composition is empty";
  double sum = 0.0;
  for (const ElementChemistry& entry : compound) {
    if (entry.element.symbol() == nullptr)
      return "element " + printableSymbol(entry.element) + " has no atomic data (an unknown symbol?)";
    if (!(entry.fraction >= 0.0) || !std::isfinite(entry.fraction))
      return "the fraction " + cell(entry.fraction) + " of " + printableSymbol(entry.element) +
             " is not a finite number >= 0";
    sum += entry.fraction;
  }
  if (!(sum > 0.0)) return "its fractions are all 0";
  return std::string();
}

// The prediction matrix: per standard (row) each line's model rate times the detector's
// efficiency, and in the last column the scatter prediction of beam 0, all in single
// precision. One model pass per standard over every beam.
Eigen::MatrixXf predictionMatrix(FPRateAlgorithm& algo, const std::vector<FPRateAlgorithm::Standard>& standards,
                                 const FPRateAlgorithm::Calibration::LineSet& lines) {
  using AnalysisLine = FPRateAlgorithm::AnalysisLine;
  using Standard = FPRateAlgorithm::Standard;
  const DetectorHardware& detector = algo.detector;
  const Eigen::Index nStandards = static_cast<Eigen::Index>(standards.size());
  const Eigen::Index leColumn = static_cast<Eigen::Index>(lines.size());
  Eigen::MatrixXf predicted = Eigen::MatrixXf::Zero(nStandards, leColumn + 1);
  for (Eigen::Index i = 0; i < nStandards; ++i) {
    const Standard& standard = standards[static_cast<std::size_t>(i)];
    CALYX_LOG_INFO("theorical compound for {:s} : {:s}", standard.name(), compoundToString(standard.compound));
    algo.chemistry->setCompound(standard.compound);
    for (Sherman& model : algo.shermans) model.computeRates();

    Eigen::Index j = 0;
    for (const AnalysisLine* line : lines) {
      const double energy = line->line.lineEnergyKeV();
      predicted(i, j++) = static_cast<float>(*line->theoreticalRate * detector.getDetectorEfficiencyFactor(energy));
    }
    // The scatter prediction of beam 0, the light-element step's own model; it stays 0 when
    // beam 0's continuum stops below the scatter model's energy.
    if (algo.hasScatterModel()) predicted(i, leColumn) = static_cast<float>(algo.scatterModelRate(standard.compound));
  }
  return predicted;
}

// One line's factor: the through-origin fit of fraction-weighted measured / predicted rate
// against the fraction, over the standards that measured the line and contain its element;
// column j of `predicted` holds the line's predictions. The line keeps its factor without a
// usable standard.
void fitLine(FPRateAlgorithm::AnalysisLine* line, Eigen::Index j,
             const std::vector<FPRateAlgorithm::Standard>& standards, const Eigen::MatrixXf& predicted, CSVWriter& csv) {
  using LineKey = FPRateAlgorithm::LineKey;
  using Standard = FPRateAlgorithm::Standard;
  const Eigen::Index nStandards = static_cast<Eigen::Index>(standards.size());
  const Element element = line->line.element();
  const std::string symbol = printableSymbol(element);
  const double energy = line->line.lineEnergyKeV();
  const LineKey key = line->key();
  CALYX_LOG_INFO("Calibrating {:s}[{:3.1f} KeV]", symbol, energy);
  char title[kTitleBufferSize];
  std::snprintf(title, sizeof title, "%s [%f KeV]", symbol.c_str(), energy);
  csv.writeLine({title});
  csv.writeLine({"Standard", "Wt. Frac.", "Predicted Rate", "Measured Rate", "Weighted Measured Rate"});

  std::vector<Point> points;
  for (Eigen::Index i = 0; i < nStandards; ++i) {
    const Standard& standard = standards[static_cast<std::size_t>(i)];
    const ElementChemistry* entry = standard.compound.find(element);
    const float wf = entry != nullptr ? static_cast<float>(entry->fraction) : -1.0f;
    if (!standard.hasLine(key) || !(wf > 0)) continue;
    const float p = predicted(i, j);
    if (!(p > 0)) continue;
    const double m = standard.rates.at(key);
    if (!(m > 0)) continue;
    if (!std::isfinite(m)) {
      CALYX_LOG_WARN("{:s}: measured rate {:g} of {:s}[{:3.1f} KeV] is not finite: left out of the fit",
                     standard.name(), m, symbol, energy);
      continue;
    }
    const double w = static_cast<double>(wf) * (m / static_cast<double>(p));
    CALYX_LOG_INFO("{:s} {:.8f}% p: {:.8f} ==> m: {:.8f} weightedMeasuredRate: {:.8f}", standard.name(),
                   static_cast<double>(wf), static_cast<double>(p), m, w);
    csv.writeLine({standard.name(), cell(wf), cell(p), cell(m), cell(w)});
    points.push_back(Point{static_cast<double>(wf), w});
  }
  if (points.empty()) {
    CALYX_LOG_INFO("No useable calibration points");
    return;
  }

  const double factor = leastSqrRegression(points.data(), static_cast<int>(points.size()), true).slope;
  CALYX_LOG_INFO("LeastSqrRegressionResult factor: {:f}", factor);
  CALYX_LOG_INFO("new calibration factor {:s}[{:3.1f} KeV] : {:f}", symbol, energy, factor);
  csv.writeLine();
  csv.writeLine({"Calibration Factor: ", cell(factor)});
  csv.writeLine();

  // Goodness of fit over every standard with a positive prediction and measurement.
  std::vector<double> measured, fitted;
  for (Eigen::Index i = 0; i < nStandards; ++i) {
    const Standard& standard = standards[static_cast<std::size_t>(i)];
    if (!standard.hasLine(key)) continue;
    const float p = predicted(i, j);
    const double m = standard.rates.at(key);
    if (!(p > 0) || !(m > 0) || !std::isfinite(m)) continue;
    const double f = factor * static_cast<double>(p);
    measured.push_back(m);
    fitted.push_back(f);
    CALYX_LOG_INFO("{:s} r: {:f}", standard.name(), m - f);
  }
  double mean = 0.0;
  for (std::size_t k = 0; k < measured.size(); ++k) mean += (measured[k] - mean) / static_cast<double>(k + 1);
  double residual = 0.0, total = 0.0;
  for (std::size_t k = 0; k < measured.size(); ++k) {
    residual += (measured[k] - fitted[k]) * (measured[k] - fitted[k]);
    total += (measured[k] - mean) * (measured[k] - mean);
  }
  CALYX_LOG_INFO("{:s}[{:3.1f} KeV] r^2: {:f}", symbol, energy, 1.0 - residual / total);
  line->calibrationFactor = factor;
}

// The light-element factor and offset of beam 0: a straight line through (predicted,
// measured) scatter over the usable standards; the last column of `predicted` holds the
// predictions.
void fitLightElements(FPRateAlgorithm& algo, const std::vector<FPRateAlgorithm::Standard>& standards,
                      const Eigen::MatrixXf& predicted, CSVWriter& csv) {
  using Standard = FPRateAlgorithm::Standard;
  const Eigen::Index nStandards = static_cast<Eigen::Index>(standards.size());
  const Eigen::Index leColumn = predicted.cols() - 1;
  csv.writeLine({"LE Calibration"});
  csv.writeLine({"Standard", "Predicted Rate", "Measured Rate"});
  std::vector<Point> lePoints;
  for (Eigen::Index i = 0; i < nStandards; ++i) {
    const Standard& standard = standards[static_cast<std::size_t>(i)];
    const double p = static_cast<double>(predicted(i, leColumn));
    const double m = standard.leRate;
    CALYX_LOG_INFO("{:s} LE {:.10f} ==> {:.10f}", standard.name(), p, m);
    csv.writeLine({standard.name(), cell(p), cell(m)});
    // A non-finite point would turn the fit (and the decomposition below) into NaN.
    const std::string unusable = unusableComposition(standard.compound);
    if (!unusable.empty() || !std::isfinite(p) || !std::isfinite(m)) {
      CALYX_LOG_WARN("{:s}: left out of the light-element fit: {:s}", standard.name(),
                     !unusable.empty() ? unusable : fmt::format("scatter rate predicted {:g}, measured {:g}", p, m));
      continue;
    }
    lePoints.push_back(Point{p, m});
  }
  const Eigen::Index nLEPoints = static_cast<Eigen::Index>(lePoints.size());
  Eigen::MatrixXf leMatrix(nLEPoints, 1);
  Eigen::VectorXf leVector(nLEPoints);
  for (Eigen::Index i = 0; i < nLEPoints; ++i) {
    leMatrix(i, 0) = static_cast<float>(lePoints[static_cast<std::size_t>(i)].x);
    leVector(i) = static_cast<float>(lePoints[static_cast<std::size_t>(i)].y);
  }
  if (nLEPoints > 0) {
    Eigen::JacobiSVD<Eigen::MatrixXf> svd(leMatrix, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::VectorXf coefficient = svd.solve(leVector);
    CALYX_LOG_INFO("LE calibration factor: {:f}", static_cast<double>(coefficient(0)));
    // The one-column solve is a fit through the origin: its offset is 0 by construction.
    CALYX_LOG_INFO("LE calibration offset: {:f}", 0.0);
  }
  const LeastSqrRegressionResult le =
      leastSqrRegression(lePoints.empty() ? nullptr : lePoints.data(), static_cast<int>(lePoints.size()), false);
  CALYX_LOG_INFO("LeastSqrRegressionResult LE calibration factor: {:f}", le.slope);
  CALYX_LOG_INFO("LeastSqrRegressionResult LE calibration offset: {:f}", le.intercept);
  // A straight line needs two points that differ in x: with fewer usable standards, or
  // standards that scatter alike, the fit is undefined (0/0) and the previous values stay,
  // as a line's factor does without a usable standard.
  const bool leFitted = lePoints.size() >= 2 && std::isfinite(le.slope) && std::isfinite(le.intercept);
  csv.writeLine();
  if (leFitted)
    csv.writeLine({"Calibration Factor: " + cell(le.slope) + "Calibration Offset: " + cell(le.intercept)});
  else
    csv.writeLine({"No light-element fit: factor and offset kept"});
  csv.writeLine();
  if (!algo.leCalibrationFactors.empty()) {
    if (leFitted) {
      algo.leCalibrationFactors[0] = le.slope;
      algo.leCalibrationOffsets[0] = le.intercept;
    } else {
      CALYX_LOG_WARN("light-element calibration not fitted: {:d} usable standards, and a straight line needs two "
                     "that scatter differently; beam 0 keeps factor {:g} and offset {:g}",
                     lePoints.size(), algo.leCalibrationFactors[0], algo.leCalibrationOffsets[0]);
    }
  }
}

}  // namespace

const char* FPRateAlgorithm::Calibration::defaultDebugFilePath() { return CALYX_DEFAULT_DEBUG_CSV; }

FPRateAlgorithm::Calibration::Calibration(FPRateAlgorithm& algorithm)
    : algorithm_(algorithm), debugFilePath_(defaultDebugFilePath()) {}

void FPRateAlgorithm::Calibration::setDebugFilePath(const char* path) {
  if (path == nullptr) {
    CALYX_LOG_ERR("debug CSV path is null: {:s} is kept", debugFilePath_);
    return;
  }
  debugFilePath_ = path;
}

void FPRateAlgorithm::Calibration::addStandard(const Standard& standard) { standards_.push_back(standard); }

void FPRateAlgorithm::Calibration::computeCalibrationSet(LineSet& lines, std::set<Element>& elements) {
  for (AnalysisLine& line : algorithm_.analysisLines) {
    const LineKey key = line.key();
    for (const Standard& standard : standards_) {
      if (!standard.hasLine(key)) continue;
      lines.insert(&line);
      elements.insert(line.line.element());
      line.inUse = true;
    }
  }
}

void FPRateAlgorithm::Calibration::computeCalibrationFactors() {
  FPRateAlgorithm& algo = algorithm_;
  if (!detail::engineLayoutIntact(algo, "calibration")) return;

  // The debug file, the calibration set and the prediction matrix.
  CALYX_LOG_INFO("writing debug file to: {:s}", debugFilePath_);
  CSVWriter csv(debugFilePath_.c_str(), CSVWriter::ReplaceWhole{});  // appears whole, at the end
  LineSet lines(&lineBefore);
  std::set<Element> elements;
  computeCalibrationSet(lines, elements);
  const Eigen::MatrixXf predicted = predictionMatrix(algo, standards_, lines);

  // One factor per line.
  Eigen::Index column = 0;
  for (AnalysisLine* line : lines) fitLine(line, column++, standards_, predicted, csv);

  // The light-element factor and offset of beam 0.
  fitLightElements(algo, standards_, predicted, csv);
}

Compound FPRateAlgorithm::Calibration::createBeamCompound(const Compound& compound, const std::set<Element>&) {
  Compound result;
  double sum = 0.0;
  for (const ElementChemistry& entry : compound) {
    result.set(entry);
    sum += entry.fraction;
  }
  const double rest = 1.0 - sum;
  if (rest > 0 && !algorithm_.leElements.empty() && !algorithm_.leElements[0].empty()) {
    const double share = rest / static_cast<double>(algorithm_.leElements[0].size());
    for (const Element& le : algorithm_.leElements[0]) result.set(ElementChemistry(le, share, 0.0));
  }
  return result;
}

}  // namespace calyx
