// Composition-free tables of the Sherman model (J. Sherman, Spectrochim. Acta 7 (1955) 283,
// with the secondary fluorescence of Shiraiwa and Fujino, see Rates.cpp): the attenuation
// of every element at every line and excitation energy, the photoabsorption of each line's
// element at every excitation energy and at each enhancing line's energy, the sines of the
// angles, and which lines can enhance which. xraylib is consulted here, once per model.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Sherman/Tables.h"
#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {

namespace {

// One logarithm costs about as much as this many secondary-fluorescence terms.
constexpr double kLogarithmCost = 4.0;
// Where the subshell sum (CS_Photo_Total) is the better photoabsorption datum, measured over
// 1-50 keV against CS_Photo and an independent table (fisx's EPDL97, validation/
// photoabsorption.py): for Z = 19-30 CS_Photo runs up to 13 % above the sum just above the
// K edge (Cr) while the sum stays within 1.6 % of the table; for Z = 31-56 the two are equally
// good (2-3 %); below Z = 19 the sum misses the outer shells (O, C: 99 % low) and above Z = 56
// it misses part of the M shells (up to 27 % low below 5 keV).
constexpr int kSubshellSumFromZ = 19;
constexpr int kSubshellSumToZ = 56;

}  // namespace

struct Sherman::Tables::AtomicData {
  Sherman::Photoabsorption choice;
  bool subshell(int Z) const { return choice == Sherman::Photoabsorption::SubshellSum && Z >= kSubshellSumFromZ && Z <= kSubshellSumToZ; }
  double tau(int Z, double E) const { return subshell(Z) ? detail::xrl::csPhotoTotal(Z, E) : detail::xrl::csPhoto(Z, E); }
  double mu(int Z, double E) const {
    if (!subshell(Z)) return detail::xrl::csTotal(Z, E);
    return detail::xrl::csPhotoTotal(Z, E) + detail::xrl::csRayl(Z, E) + detail::xrl::csCompt(Z, E);
  }
};

void Sherman::buildTables() {
  static const std::vector<Element> kNoElements;
  const std::vector<Element>& elements = chemistry != nullptr ? chemistry->elements : kNoElements;
  const Tables::AtomicData data{photoabsorption_};
  // Builder::create sets binCount to the spectrum's size; only a model assembled by hand
  // may have fewer points, whose entries then stay 0 and which no computation reaches.
  const std::size_t available =
      excitation != nullptr ? std::min<std::size_t>(excitation->size(), binCount_) : 0;
  auto built = std::make_shared<Tables>();
  Tables& t = *built;
  t.lineCount = lines.size();
  t.pointCount = binCount_;
  t.elementCount = elements.size();
  t.energyKeV.assign(binCount_, 0.0);
  for (std::size_t j = 0; j < available; ++j)
    t.energyKeV[j] = excitation->energyAt(static_cast<unsigned int>(j));

  std::vector<double> photo = t.tabulate(lines, elements, available, data);
  t.listEnhancers(lines, data);
  t.orderByWork(t.findPointsAbove(lines, available));
  t.sinIn = std::sin(incidenceAngle_.radians());
  t.sinOut = std::sin(takeOffAngle_.radians());

  photoTable_ = std::move(photo);
  tables_ = std::move(built);
}

std::vector<double> Sherman::Tables::tabulate(const std::vector<Line>& lines,
                                              const std::vector<Element>& elements, std::size_t available,
                                              const AtomicData& data) {
  const std::size_t n = lines.size();
  const std::size_t m = pointCount;
  std::vector<double> photo(n * m, 0.0);
  for (std::size_t l = 0; l < n; ++l) {
    const int Z = lines[l].line.element().atomicNumber();
    double* row = photo.data() + l * m;
    for (std::size_t j = 0; j < available; ++j) row[j] = data.tau(Z, energyKeV[j]);
  }

  lineMu.resize(n * elementCount);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t e = 0; e < elementCount; ++e)
      lineMu[i * elementCount + e] = data.mu(elements[e].atomicNumber(), lines[i].line.lineEnergyKeV());
  pointMu.resize(m * elementCount);
  for (std::size_t j = 0; j < available; ++j)
    for (std::size_t e = 0; e < elementCount; ++e)
      pointMu[j * elementCount + e] = data.mu(elements[e].atomicNumber(), energyKeV[j]);

  halfSensitivity.resize(n);
  for (std::size_t l = 0; l < n; ++l) halfSensitivity[l] = 0.5 * lines[l].sensitivity;
  return photo;
}

// Points above each line's edge. The spectrum need not be sorted: the interval bounds them,
// and the loops test each point inside it.
std::vector<double> Sherman::Tables::findPointsAbove(const std::vector<Line>& lines, std::size_t available) {
  const std::size_t n = lines.size();
  firstAbove.assign(n, 0);
  endAbove.assign(n, 0);
  std::vector<double> span(n, 0.0);
  for (std::size_t l = 0; l < n; ++l) {
    const double edge = lines[l].line.edgeEnergyKeV();
    bool any = false;
    for (std::size_t j = 0; j < available; ++j) {
      if (!(energyKeV[j] > edge)) continue;
      if (!any) firstAbove[l] = j;
      any = true;
      endAbove[l] = j + 1;
    }
    span[l] = static_cast<double>(endAbove[l] - firstAbove[l]);
  }
  return span;
}

// A line enhances another when its energy lies above the other's edge (never itself: a line
// lies below its own edge).
void Sherman::Tables::listEnhancers(const std::vector<Line>& lines, const AtomicData& data) {
  const std::size_t n = lines.size();
  enhancerBegin.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const int Z = lines[i].line.element().atomicNumber();
    const double edge = lines[i].line.edgeEnergyKeV();
    for (std::size_t k = 0; k < n; ++k) {
      const double enhancerEnergyKeV = lines[k].line.lineEnergyKeV();
      if (!(enhancerEnergyKeV > edge)) continue;
      enhancer.push_back(k);
      analytePhotoAtEnhancerLine.push_back(data.tau(Z, enhancerEnergyKeV));
    }
    enhancerBegin[i + 1] = enhancer.size();
  }
}

// A line costs its points, and each enhancer's points and logarithm; an enhancing line
// adds its row of incidence-side logarithms.
void Sherman::Tables::orderByWork(const std::vector<double>& span) {
  const std::size_t n = lineCount;
  std::vector<bool> enhances(n, false);
  std::vector<double> lineWork(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    lineWork[i] = span[i];
    for (std::size_t e = enhancerBegin[i]; e < enhancerBegin[i + 1]; ++e) {
      enhances[enhancer[e]] = true;
      lineWork[i] += span[enhancer[e]] + kLogarithmCost;
    }
  }

  work = 0.0;
  for (std::size_t l = 0; l < n; ++l) {
    work += lineWork[l];
    if (!enhances[l]) continue;
    enhancing.push_back(l);
    work += kLogarithmCost * span[l];
  }
  // Lines by decreasing work, and the longest incidence-side rows first, so that threads
  // taking them in turn end together.
  std::stable_sort(enhancing.begin(), enhancing.end(),
                   [&span](std::size_t a, std::size_t b) { return span[a] > span[b]; });
  order.resize(n);
  for (std::size_t l = 0; l < n; ++l) order[l] = l;
  std::stable_sort(order.begin(), order.end(),
                   [&lineWork](std::size_t a, std::size_t b) { return lineWork[a] > lineWork[b]; });
}

namespace {

std::string energyText(double energyKeV) { return detail::formatPrintf("%g keV", energyKeV); }

// A total attenuation coefficient must be finite and above 0; a photoabsorption cross
// section finite and not negative.
std::string attenuationFault(double mu, const Element& element, double energyKeV) {
  if (std::isfinite(mu) && mu > 0.0) return std::string();
  if (mu == 0.0)
    return "no attenuation coefficient of " + printableSymbol(element) + " at " + energyText(energyKeV);
  return "attenuation coefficient of " + printableSymbol(element) + " at " + energyText(energyKeV) + " is " +
         detail::formatPrintf("%g", mu);
}

std::string photoFault(double tau, const Element& element, double energyKeV) {
  if (std::isfinite(tau) && tau >= 0.0) return std::string();
  return "photoabsorption cross section of " + printableSymbol(element) + " at " + energyText(energyKeV) +
         " is " + detail::formatPrintf("%g", tau);
}

}  // namespace

std::string Sherman::dataFault() const {
  if (tables_ == nullptr) return std::string();
  const Tables& t = *tables_;
  static const std::vector<Element> kNoElements;
  const std::vector<Element>& elements = chemistry != nullptr ? chemistry->elements : kNoElements;
  const std::size_t elementCount = std::min(t.elementCount, elements.size());
  // The points buildTables filled (a model assembled by hand may have fewer).
  const std::size_t available =
      excitation != nullptr ? std::min<std::size_t>(excitation->size(), t.pointCount) : 0;
  std::string fault;
  for (std::size_t i = 0; i < t.lineCount && fault.empty(); ++i)
    for (std::size_t e = 0; e < elementCount && fault.empty(); ++e)
      fault = attenuationFault(t.lineMu[i * t.elementCount + e], elements[e], lines[i].line.lineEnergyKeV());
  for (std::size_t j = 0; j < available && fault.empty(); ++j)
    for (std::size_t e = 0; e < elementCount && fault.empty(); ++e)
      fault = attenuationFault(t.pointMu[j * t.elementCount + e], elements[e], t.energyKeV[j]);
  for (std::size_t l = 0; l < t.lineCount && fault.empty(); ++l)
    for (std::size_t j = 0; j < available && fault.empty(); ++j)
      fault = photoFault(photoTable_[l * t.pointCount + j], lines[l].line.element(), t.energyKeV[j]);
  for (std::size_t i = 0; i < t.lineCount && fault.empty(); ++i)
    for (std::size_t n = t.enhancerBegin[i]; n < t.enhancerBegin[i + 1] && fault.empty(); ++n)
      fault = photoFault(t.analytePhotoAtEnhancerLine[n], lines[i].line.element(),
                         lines[t.enhancer[n]].line.lineEnergyKeV());
  return fault;
}

}  // namespace calyx
