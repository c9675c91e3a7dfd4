// Rate computation of the Sherman model: fluorescence of an infinitely thick, homogeneous
// sample with primary excitation and secondary fluorescence.
//
// Primary term after J. Sherman, Spectrochim. Acta 7 (1955) 283; secondary fluorescence
// in the form of T. Shiraiwa and N. Fujino, Jpn. J. Appl. Phys. 5 (1966) 886, as also used
// by fisx (D.K.G. de Boer, X-Ray Spectrom. 19 (1990) 145):
//
//   rate_i = c_i S_i Σ_{j: E_j > B_i} τ_i(E_j) I_j / (μs(E_j)/sin ψin + μs(L_i)/sin ψout)
//            x (1 + Σ_{k: L_k > B_i, E_j > B_k} c_k A_ikj (Pin + Pout)),
//   A_ikj = ½ S_k τ_k(E_j) τ_i(L_k) / τ_i(E_j),
//   Pin   = sin ψin ln(1 + μs(E_j)/(μs(L_k) sin ψin)) / μs(E_j),
//   Pout  = sin ψout ln(1 + μs(L_i)/(μs(L_k) sin ψout)) / μs(L_i),
//
// with μs(E) = Σ_e c_e μ_e(E) the sample's mass attenuation. The atomic data come from the
// model's tables (Tables.cpp); each call forms only what depends on the composition: the
// attenuation sums, Pin once per enhancer and point, Pout once per pair of lines. Every
// operation is written in the order of the equation above, so that results are the same
// bits as its plain evaluation (tests/support/ReferenceRates.cpp) on every run and thread
// count.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <vector>

#include <omp.h>

#include "Sherman/Tables.h"
#include "calyx/Sherman.h"
#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {

namespace {

// Above this much work (Tables::work, in secondary-fluorescence terms; about 80 µs on one
// core of a 2 GHz machine) the lines are shared among the OpenMP threads. Below it, waking
// the workers and meeting them at the barrier costs about as much as they would save.
constexpr double kParallelWork = 50000.0;

bool within(const double* p, const std::vector<double>& array) {
  const std::less<const double*> before;
  return !before(p, array.data()) && before(p, array.data() + array.size());
}

// μs(E) = Σ_e c_e μ_e(E) for the first `rows` rows of a row-major table with one column per
// element, summed in element order; `out` gets `size` entries (those past `rows` are 0).
void sampleAttenuation(const double* table, std::size_t rows, std::size_t size, std::size_t elementCount,
                       const double* fractions, std::vector<double>& out) {
  out.assign(size, 0.0);
  for (std::size_t r = 0; r < rows; ++r) {
    const double* muRow = table + r * elementCount;
    double mu = 0.0;
    for (std::size_t e = 0; e < elementCount; ++e) mu = fractions[e] * muRow[e] + mu;
    out[r] = mu;
  }
}

// The per-call scratch of computeRates, in one block: the incidence-side terms Pin(k, j)
// (lines x points), the excitation's values and μs(E_j) / sin ψin (one per point each), and
// one row of enhancement sums per thread.
struct ScratchLayout {
  double* incidenceTerm;
  double* value;
  double* incidenceDenominator;
  double* enhancementRows;
};

// Grows `scratch` (never shrinks it, to spare allocations between calls) and lays it out.
ScratchLayout layOutScratch(std::vector<double>& scratch, std::size_t lineCount, std::size_t pointCount,
                            std::size_t threads) {
  const std::size_t size = lineCount * pointCount + 2 * pointCount + threads * pointCount;
  if (scratch.size() < size) scratch.resize(size);
  ScratchLayout out;
  out.incidenceTerm = scratch.data();
  out.value = out.incidenceTerm + lineCount * pointCount;
  out.incidenceDenominator = out.value + pointCount;
  out.enhancementRows = out.incidenceDenominator + pointCount;
  return out;
}

// What the loops of one computeRates read: the model's tables (rows of `stride` points) and
// this call's composition-dependent terms, as plain arrays.
struct RatePass {
  Sherman::Line* lines;
  std::size_t stride;      // binCount: the points of every per-point row
  std::size_t pointCount;  // points of the excitation that the tables reach
  double sinIn;
  double sinOut;
  const double* energy;                      // E_j
  const double* photo;                       // τ(Z_l, E_j)
  const double* halfSensitivity;             // 0.5 S_k
  const std::size_t* enhancerBegin;          // enhancers of line i: [enhancerBegin[i], enhancerBegin[i + 1])
  const std::size_t* enhancer;               // k
  const double* analytePhotoAtEnhancerLine;  // τ(Z_i, L_k)
  const std::size_t* firstAbove;             // points above line l's edge lie in
  const std::size_t* endAbove;               // [firstAbove[l], endAbove[l])
  const double* muAtPoint;                   // μs(E_j)
  const double* muAtLine;                    // μs(L_i)
  const double* value;                       // I_j
  const double* incidenceDenominator;        // μs(E_j) / sin ψin
  double* incidenceTerm;                     // Pin(k, j)
};

// Pin(k, j) = sin ψin ln(1 + μs(E_j) / (μs(L_k) sin ψin)) / μs(E_j) at the points above line
// k's edge: it depends on the enhancer and the point, not on the analyte.
void fillIncidenceRow(const RatePass& pass, std::size_t k) {
  const double sinIn = pass.sinIn;
  const double* energy = pass.energy;
  const double* muAtPoint = pass.muAtPoint;
  const double muAtLine = pass.muAtLine[k];
  const double edge = pass.lines[k].line.edgeEnergyKeV();
  double* out = pass.incidenceTerm + k * pass.stride;
  const std::size_t end = std::min(pass.endAbove[k], pass.pointCount);
  for (std::size_t j = pass.firstAbove[k]; j < end; ++j) {
    if (!(energy[j] > edge)) continue;
    out[j] = sinIn * std::log(1.0 + muAtPoint[j] / (muAtLine * sinIn)) / muAtPoint[j];
  }
}

// Enhancement sums of line i into `enh` (zeroed over the line's points by the caller),
// enhancer by enhancer in ascending order, so that each point's sum adds its terms in the
// order of the plain loop over k.
void addEnhancement(const RatePass& pass, std::size_t i, double* enh) {
  const double sinOut = pass.sinOut;
  const double* energy = pass.energy;
  const double analyteMu = pass.muAtLine[i];
  const double* analytePhoto = pass.photo + i * pass.stride;
  for (std::size_t e = pass.enhancerBegin[i]; e < pass.enhancerBegin[i + 1]; ++e) {
    const std::size_t k = pass.enhancer[e];
    const double ck = pass.lines[k].fraction;
    const double halfS = pass.halfSensitivity[k];
    const double tau = pass.analytePhotoAtEnhancerLine[e];
    // Pout = sin ψout ln(1 + μs(L_i) / (μs(L_k) sin ψout)) / μs(L_i), the same at every point.
    const double pOut = sinOut * std::log(1.0 + analyteMu / (pass.muAtLine[k] * sinOut)) / analyteMu;
    const double enhancerEdge = pass.lines[k].line.edgeEnergyKeV();
    const double* enhancerPhoto = pass.photo + k * pass.stride;
    const double* pIn = pass.incidenceTerm + k * pass.stride;
    const std::size_t enhancerEnd = std::min(pass.endAbove[k], pass.pointCount);
    for (std::size_t j = pass.firstAbove[k]; j < enhancerEnd; ++j) {
      // A = 0.5 S_k τ_k(E_j) τ_i(L_k) / τ_i(E_j); the term is c_k A (Pin + Pout).
      const double term = ck * ((halfS * enhancerPhoto[j] * tau / analytePhoto[j]) * (pIn[j] + pOut));
      enh[j] = energy[j] > enhancerEdge ? enh[j] + term : enh[j];
    }
  }
}

// The rate of line i: its primary fluorescence at each point above its edge, times one plus
// the enhancement there. `enh` is this thread's row of `stride` points.
double lineRate(const RatePass& pass, std::size_t i, double* enh) {
  const Sherman::Line& analyte = pass.lines[i];
  const double edge = analyte.line.edgeEnergyKeV();
  const double* energy = pass.energy;
  const double* analytePhoto = pass.photo + i * pass.stride;
  const double* value = pass.value;
  const double* incidenceDenominator = pass.incidenceDenominator;
  const std::size_t first = pass.firstAbove[i];
  const std::size_t end = std::min(pass.endAbove[i], pass.pointCount);
  for (std::size_t j = first; j < end; ++j) enh[j] = 0.0;
  addEnhancement(pass, i, enh);

  const double outgoingDenominator = pass.muAtLine[i] / pass.sinOut;
  double sum = 0.0;
  for (std::size_t j = first; j < end; ++j) {
    if (!(energy[j] > edge)) continue;
    const double primary = (analytePhoto[j] * value[j]) / (incidenceDenominator[j] + outgoingDenominator);
    sum = sum + primary * (enh[j] + 1.0);
  }
  return sum * (analyte.sensitivity * analyte.fraction);
}

}  // namespace

bool Sherman::linesMatchChemistry() const {
  if (lines.empty()) return true;
  if (chemistry == nullptr) return false;
  const Chemistry& c = *chemistry;
  if (c.fractions.size() != c.elements.size() || c.uncertainties.size() != c.elements.size()) return false;
  for (const Line& line : lines)
    if (!within(&line.fraction, c.fractions) || !within(&line.uncertainty, c.uncertainties)) return false;
  return true;
}

double Sherman::secondaryFluorescense(unsigned int i, unsigned int k, unsigned int j) const {
  const double sinIn = std::sin(incidenceAngle_.radians());
  const double sinOut = std::sin(takeOffAngle_.radians());
  const std::size_t stride = binCount_;
  const double analytePhotoAtPoint = photoTable_[i * stride + j];
  const double enhancerPhotoAtPoint = photoTable_[k * stride + j];
  const double analytePhotoAtEnhancerLine = detail::xrl::csPhoto(
      lines[i].line.element().atomicNumber(), lines[k].line.lineEnergyKeV());
  const double muAtPoint = binAttenuation_[j];
  const double muAtEnhancerLine = lineAttenuation_[k];
  const double muAtAnalyteLine = lineAttenuation_[i];

  const double A = 0.5 * lines[k].sensitivity * enhancerPhotoAtPoint * analytePhotoAtEnhancerLine /
                   analytePhotoAtPoint;
  const double pIn = sinIn * std::log(1.0 + muAtPoint / (muAtEnhancerLine * sinIn)) / muAtPoint;
  const double pOut =
      sinOut * std::log(1.0 + muAtAnalyteLine / (muAtEnhancerLine * sinOut)) / muAtAnalyteLine;
  return A * (pIn + pOut);
}

int Sherman::computeRates() {
  // The lines refer into the chemistry's arrays: arrays resized since the build would have
  // them read freed memory.
  if (!linesMatchChemistry()) {
    CALYX_LOG_ERR("rates not computed: the chemistry's arrays were resized after the model was built");
    return 1;
  }
  // A model assembled without the builder, or whose lines or chemistry were changed by
  // hand, gets its tables now.
  const std::size_t chemistrySize = chemistry != nullptr ? chemistry->elements.size() : 0;
  if (tables_ == nullptr || tables_->lineCount != lines.size() || tables_->pointCount != binCount_ ||
      tables_->elementCount != chemistrySize)
    buildTables();
  const Tables& t = *tables_;
  const std::size_t n = lines.size();
  const std::size_t m = binCount_;
  const std::size_t elementCount = t.elementCount;
  const double* fractions = chemistry != nullptr ? chemistry->fractions.data() : nullptr;

  // The tables have binCount columns; a spectrum that has since changed its number of
  // points is read only as far as the tables reach.
  std::size_t pointCount = excitation != nullptr ? excitation->size() : 0;
  if (pointCount != m) {
    CALYX_LOG_WARN("excitation spectrum has {:d} points, the model was built for {:d}",
                   pointCount, m);
    pointCount = std::min(pointCount, m);
  }

  // Sample attenuation at each line energy and at each excitation energy.
  sampleAttenuation(t.lineMu.data(), n, n, elementCount, fractions, lineAttenuation_);
  sampleAttenuation(t.pointMu.data(), pointCount, m, elementCount, fractions, binAttenuation_);

  // Small models run on the calling thread: waking the workers would cost more than
  // they save.
  const bool parallel = t.work > kParallelWork;
  const int teamSize = parallel ? omp_get_max_threads() : 1;

  // Scratch, allocated here so that nothing inside the parallel region can throw.
  const ScratchLayout scratch = layOutScratch(scratch_, n, m, static_cast<std::size_t>(teamSize));
  for (std::size_t j = 0; j < pointCount; ++j) {
    scratch.value[j] = excitation->valueAt(static_cast<unsigned int>(j));
    scratch.incidenceDenominator[j] = binAttenuation_[j] / t.sinIn;
  }

  const RatePass pass{lines.data(), m, pointCount, t.sinIn, t.sinOut, t.energyKeV.data(), photoTable_.data(),
                      t.halfSensitivity.data(), t.enhancerBegin.data(), t.enhancer.data(),
                      t.analytePhotoAtEnhancerLine.data(), t.firstAbove.data(), t.endAbove.data(),
                      binAttenuation_.data(), lineAttenuation_.data(), scratch.value,
                      scratch.incidenceDenominator, scratch.incidenceTerm};
  const std::size_t* enhancing = t.enhancing.data();
  const std::size_t* order = t.order.data();
  const long long enhancingCount = static_cast<long long>(t.enhancing.size());
  const long long lineCount = static_cast<long long>(n);

  // Every term is formed with the operations of the rate equation in their order, so the
  // rates are the same bits as its plain evaluation, for any number of threads: each line
  // and each Pin row is written by one thread only. No locks, no logging in here.
#pragma omp parallel num_threads(teamSize) if (parallel)
  {
#pragma omp for schedule(dynamic, 1)
    for (long long r = 0; r < enhancingCount; ++r) fillIncidenceRow(pass, enhancing[r]);

    double* enh = scratch.enhancementRows + static_cast<std::size_t>(omp_get_thread_num()) * m;
#pragma omp for schedule(dynamic, 1)
    for (long long p = 0; p < lineCount; ++p) {
      const std::size_t i = order[p];
      lines[i].rate = lineRate(pass, i, enh);
    }
  }
  return 0;
}

}  // namespace calyx
