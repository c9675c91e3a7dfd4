#include <algorithm>
#include <cmath>

#include "calyx/Sherman.h"
#include "detail/Log.h"
#include "detail/ScatterShare.h"
#include "detail/Xraylib.h"

namespace calyx {

Sherman::Chemistry::Chemistry(const std::set<Element>& elementSet)
    : elements(elementSet.begin(), elementSet.end()),
      fractions(elementSet.size(), 0.0),
      uncertainties(elementSet.size(), 0.0) {}

int Sherman::Chemistry::getIndex(const Element& element) const {
  auto it = std::lower_bound(elements.begin(), elements.end(), element);
  if (it == elements.end() || *it != element) return -1;
  return static_cast<int>(it - elements.begin());
}

bool Sherman::Chemistry::hasElement(const Element& element) const { return getIndex(element) >= 0; }

bool Sherman::Chemistry::set(const Element& element, double fraction, double uncertainty) {
  if (!(fraction >= 0.0 && fraction <= 1.0)) return false;  // NaN included
  const int index = getIndex(element);
  if (index < 0) return false;
  if (!(uncertainty >= 0.0) || !std::isfinite(uncertainty)) {
    CALYX_LOG_WARN("uncertainty {:g} of {:s} is not a finite number >= 0: taken as unknown (0)", uncertainty,
                   printableSymbol(element));
    uncertainty = 0.0;
  }
  fractions[index] = fraction;
  uncertainties[index] = uncertainty;
  return true;
}

void Sherman::Chemistry::setCompound(const Compound& compound) {
  std::fill(fractions.begin(), fractions.end(), 0.0);
  std::fill(uncertainties.begin(), uncertainties.end(), 0.0);
  for (const ElementChemistry& entry : compound) {
    const int index = getIndex(entry.element);
    if (index < 0) {
      CALYX_LOG_WARN("cannot set chem for {:s}", printableSymbol(entry.element));
      continue;
    }
    fractions[index] = entry.fraction;
    uncertainties[index] = entry.uncertainty;
  }
}

namespace {

auto overChemistry(const Sherman::Chemistry& chemistry) {
  return [&chemistry](auto&& add) {
    for (std::size_t i = 0; i < chemistry.elements.size(); ++i)
      add(chemistry.elements[i].atomicNumber(), chemistry.fractions[i]);
  };
}

}  // namespace

double comptonScatterCoefficient(const Sherman::Chemistry& chemistry, double energyKeV) {
  return detail::scatterShare(detail::xrl::csCompt, energyKeV, overChemistry(chemistry));
}

double rayleahScatterCoefficient(const Sherman::Chemistry& chemistry, double energyKeV) {
  return detail::scatterShare(detail::xrl::csRayl, energyKeV, overChemistry(chemistry));
}

}  // namespace calyx
