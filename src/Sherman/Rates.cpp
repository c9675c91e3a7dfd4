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
  double* incidenceTerm = scratch.incidenceTerm;
  double* value = scratch.value;
  double* incidenceDenominator = scratch.incidenceDenominator;
  double* enhancementRows = scratch.enhancementRows;

  const double sinIn = t.sinIn;
  const double sinOut = t.sinOut;
  for (std::size_t j = 0; j < pointCount; ++j) {
    value[j] = excitation->valueAt(static_cast<unsigned int>(j));
    incidenceDenominator[j] = binAttenuation_[j] / sinIn;
  }

  const double* energy = t.energyKeV.data();
  const double* photo = photoTable_.data();
  const double* muAtPoint = binAttenuation_.data();
  const double* muAtLine = lineAttenuation_.data();
  const long long enhancingCount = static_cast<long long>(t.enhancing.size());
  const long long lineCount = static_cast<long long>(n);

  // Every term is formed with the operations of the rate equation in their order, so the
  // rates are the same bits as its plain evaluation, for any number of threads: each line
  // and each Pin row is written by one thread only. No locks, no logging in here.
#pragma omp parallel num_threads(teamSize) if (parallel)
  {
    // Pin(k, j) = sin ψin ln(1 + μs(E_j) / (μs(L_k) sin ψin)) / μs(E_j): it depends on the
    // enhancer and the point, not on the analyte.
#pragma omp for schedule(dynamic, 1)
    for (long long r = 0; r < enhancingCount; ++r) {
      const std::size_t k = t.enhancing[static_cast<std::size_t>(r)];
      const double edge = lines[k].line.edgeEnergyKeV();
      double* out = incidenceTerm + k * m;
      const std::size_t end = std::min(t.endAbove[k], pointCount);
      for (std::size_t j = t.firstAbove[k]; j < end; ++j) {
        if (!(energy[j] > edge)) continue;
        out[j] = sinIn * std::log(1.0 + muAtPoint[j] / (muAtLine[k] * sinIn)) / muAtPoint[j];
      }
    }

    double* enh = enhancementRows + static_cast<std::size_t>(omp_get_thread_num()) * m;
#pragma omp for schedule(dynamic, 1)
    for (long long p = 0; p < lineCount; ++p) {
      const std::size_t i = t.order[static_cast<std::size_t>(p)];
      const Line& analyte = lines[i];
      const double edge = analyte.line.edgeEnergyKeV();
      const double analyteMu = muAtLine[i];
      const double* analytePhoto = photo + i * m;
      const std::size_t first = t.firstAbove[i];
      const std::size_t end = std::min(t.endAbove[i], pointCount);
      for (std::size_t j = first; j < end; ++j) enh[j] = 0.0;

      // Enhancement sums, enhancer by enhancer in ascending order, so that each point's
      // sum adds its terms in the order of the plain loop over k.
      for (std::size_t e = t.enhancerBegin[i]; e < t.enhancerBegin[i + 1]; ++e) {
        const std::size_t k = t.enhancer[e];
        const double ck = lines[k].fraction;
        const double halfS = t.halfSensitivity[k];
        const double tau = t.analytePhotoAtEnhancerLine[e];
        // Pout = sin ψout ln(1 + μs(L_i) / (μs(L_k) sin ψout)) / μs(L_i), the same at every point.
        const double pOut =
            sinOut * std::log(1.0 + analyteMu / (muAtLine[k] * sinOut)) / analyteMu;
        const double enhancerEdge = lines[k].line.edgeEnergyKeV();
        const double* enhancerPhoto = photo + k * m;
        const double* pIn = incidenceTerm + k * m;
        const std::size_t enhancerEnd = std::min(t.endAbove[k], pointCount);
        for (std::size_t j = t.firstAbove[k]; j < enhancerEnd; ++j) {
          // A = 0.5 S_k τ_k(E_j) τ_i(L_k) / τ_i(E_j); the term is c_k A (Pin + Pout).
          const double term =
              ck * ((halfS * enhancerPhoto[j] * tau / analytePhoto[j]) * (pIn[j] + pOut));
          enh[j] = energy[j] > enhancerEdge ? enh[j] + term : enh[j];
        }
      }

      const double outgoingDenominator = analyteMu / sinOut;
      double sum = 0.0;
      for (std::size_t j = first; j < end; ++j) {
        if (!(energy[j] > edge)) continue;
        const double primary =
            (analytePhoto[j] * value[j]) / (incidenceDenominator[j] + outgoingDenominator);
        sum = sum + primary * (enh[j] + 1.0);
      }
      lines[i].rate = sum * (analyte.sensitivity * analyte.fraction);
    }
  }
  return 0;
}

}  // namespace calyx
