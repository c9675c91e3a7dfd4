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
// with μs(E) = Σ_e c_e μ_e(E) the sample's mass attenuation. Every operation below is
// written in this order, so that results are the same bits on every run and thread count.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "calyx/Sherman.h"
#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {

namespace {

// The secondary-fluorescence term, given the looked-up photoabsorption of the analyte's
// element at the enhancer's line energy. Shared by secondaryFluorescense() and the rate
// loop, so both give the same bits.
inline double secondaryTerm(double enhancerSensitivity, double enhancerPhotoAtPoint,
                            double analytePhotoAtEnhancerLine, double analytePhotoAtPoint,
                            double sampleMuAtPoint, double sampleMuAtEnhancerLine,
                            double sampleMuAtAnalyteLine, double sinIn, double sinOut) {
  const double A =
      0.5 * enhancerSensitivity * enhancerPhotoAtPoint * analytePhotoAtEnhancerLine /
      analytePhotoAtPoint;
  const double pIn =
      sinIn * std::log(1.0 + sampleMuAtPoint / (sampleMuAtEnhancerLine * sinIn)) / sampleMuAtPoint;
  const double pOut =
      sinOut * std::log(1.0 + sampleMuAtAnalyteLine / (sampleMuAtEnhancerLine * sinOut)) /
      sampleMuAtAnalyteLine;
  return A * (pIn + pOut);
}

}  // namespace

double Sherman::secondaryFluorescense(unsigned int i, unsigned int k, unsigned int j) const {
  const double sinIn = std::sin(incidenceAngle_.radians());
  const double sinOut = std::sin(takeOffAngle_.radians());
  const std::size_t stride = binCount;
  const double analytePhotoAtEnhancerLine = detail::xrl::csPhoto(
      lines[i].line.element().atomicNumber(), lines[k].line.lineEnergyKeV());
  return secondaryTerm(lines[k].sensitivity, photoTable[k * stride + j],
                       analytePhotoAtEnhancerLine, photoTable[i * stride + j], binAttenuation[j],
                       lineAttenuation[k], lineAttenuation[i], sinIn, sinOut);
}

int Sherman::computeRates() {
  const std::size_t lineCount = lines.size();
  static const std::vector<Element> kNoElements;
  const std::vector<Element>& elements = chemistry != nullptr ? chemistry->elements : kNoElements;
  const std::size_t elementCount = elements.size();

  // The photoabsorption table has binCount columns; a spectrum that has since changed its
  // number of points is read only as far as the table reaches.
  unsigned int pointCount = excitation != nullptr ? excitation->size() : 0;
  if (pointCount != binCount) {
    CALYX_LOG_WARN("excitation spectrum has {:d} points, the model was built for {:d}",
                   pointCount, binCount);
    pointCount = std::min(pointCount, binCount);
  }

  // Sample attenuation at each line energy and at each excitation energy.
  lineAttenuation.assign(lineCount, 0.0);
  for (std::size_t i = 0; i < lineCount; ++i) {
    const double energyKeV = lines[i].line.lineEnergyKeV();
    double mu = 0.0;
    for (std::size_t e = 0; e < elementCount; ++e)
      mu = chemistry->fractions[e] * detail::xrl::csTotal(elements[e].atomicNumber(), energyKeV) +
           mu;
    lineAttenuation[i] = mu;
  }
  binAttenuation.assign(binCount, 0.0);
  for (unsigned int j = 0; j < pointCount; ++j) {
    const double energyKeV = excitation->energyAt(j);
    double mu = 0.0;
    for (std::size_t e = 0; e < elementCount; ++e)
      mu = chemistry->fractions[e] * detail::xrl::csTotal(elements[e].atomicNumber(), energyKeV) +
           mu;
    binAttenuation[j] = mu;
  }

  const double sinIn = std::sin(incidenceAngle_.radians());
  const double sinOut = std::sin(takeOffAngle_.radians());
  const std::size_t stride = binCount;
  const SpectrumBase<double>* spectrum = excitation.get();
  const long long signedLineCount = static_cast<long long>(lineCount);

  // One line per iteration: each writes only its own rate, so the result is the same for
  // any number of threads. No locks, no logging in here.
#pragma omp parallel for schedule(static)
  for (long long li = 0; li < signedLineCount; ++li) {
    const std::size_t i = static_cast<std::size_t>(li);
    const Line& analyte = lines[i];
    const int analyteZ = analyte.line.element().atomicNumber();
    const double analyteEdge = analyte.line.edgeEnergyKeV();
    const double analyteMu = lineAttenuation[i];
    const double* analytePhoto = photoTable.data() + i * stride;

    // Which lines can enhance this one (line energy above its edge), and the analyte's
    // photoabsorption at their energies: the same for every excitation point.
    std::vector<std::size_t> enhancers;
    std::vector<double> analytePhotoAtEnhancerLine;
    for (std::size_t k = 0; k < lineCount; ++k) {
      if (lines[k].line.lineEnergyKeV() > analyteEdge) {
        enhancers.push_back(k);
        analytePhotoAtEnhancerLine.push_back(
            detail::xrl::csPhoto(analyteZ, lines[k].line.lineEnergyKeV()));
      }
    }

    double sum = 0.0;
    for (unsigned int j = 0; j < pointCount; ++j) {
      const double energyKeV = spectrum->energyAt(j);
      if (!(energyKeV > analyteEdge)) continue;
      const double primary = (analytePhoto[j] * spectrum->valueAt(j)) /
                             (binAttenuation[j] / sinIn + analyteMu / sinOut);
      double enh = 0.0;
      for (std::size_t n = 0; n < enhancers.size(); ++n) {
        const std::size_t k = enhancers[n];
        const Line& enhancer = lines[k];
        if (!(energyKeV > enhancer.line.edgeEnergyKeV())) continue;
        enh = enh + enhancer.fraction *
                        secondaryTerm(enhancer.sensitivity, photoTable[k * stride + j],
                                      analytePhotoAtEnhancerLine[n], analytePhoto[j],
                                      binAttenuation[j], lineAttenuation[k], analyteMu, sinIn,
                                      sinOut);
      }
      sum = sum + primary * (enh + 1.0);
    }
    lines[i].rate = sum * (analyte.sensitivity * analyte.fraction);
  }
  return 0;
}

}  // namespace calyx
