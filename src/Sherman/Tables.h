// Tables of the Sherman model that do not depend on the composition, filled once when a
// model is built, so that the rate computation makes no atomic-data look-up of its own.
#ifndef CALYX_SHERMAN_TABLES_H
#define CALYX_SHERMAN_TABLES_H

#include <cstddef>
#include <vector>

#include "calyx/Sherman.h"

namespace calyx {

// Hidden: the tables are the model's own, and Sherman's export would otherwise reach them.
struct CALYX_NO_EXPORT Sherman::Tables {
  std::size_t lineCount = 0;
  std::size_t pointCount = 0;    ///< binCount: the stride of every per-point row
  std::size_t elementCount = 0;  ///< chemistry elements when the model was built

  std::vector<double> energyKeV;  ///< E_j, excitation energies when the model was built
  /// μ(Z_e, L_i): one row per line, one column per chemistry element.
  std::vector<double> lineMu;
  /// μ(Z_e, E_j): one row per excitation point, one column per chemistry element.
  std::vector<double> pointMu;
  /// 0.5 S_k: the head of the secondary-fluorescence factor A = 0.5 S_k τ_k(E_j) ...
  std::vector<double> halfSensitivity;

  /// The lines k that can enhance line i (L_k > B_i), ascending, for i in
  /// [enhancerBegin[i], enhancerBegin[i + 1]), with τ(Z_i, L_k) beside each.
  std::vector<std::size_t> enhancerBegin;
  std::vector<std::size_t> enhancer;
  std::vector<double> analytePhotoAtEnhancerLine;

  /// Points that a line's shell absorbs (E_j > B_l) lie in [firstAbove[l], endAbove[l]);
  /// the interval may hold others too, which the loops skip.
  std::vector<std::size_t> firstAbove;
  std::vector<std::size_t> endAbove;

  /// Lines that enhance at least one line: their incidence-side terms are needed.
  std::vector<std::size_t> enhancing;
  /// Lines by decreasing work, so that threads taking lines in turn end together.
  std::vector<std::size_t> order;

  double sinIn = 0.0;
  double sinOut = 0.0;
  /// Rough cost of one computeRates, in secondary-fluorescence terms.
  double work = 0.0;

  // The steps of Sherman::buildTables, in their order (Tables.cpp). Each reads energyKeV at
  // the first `available` points and the tables the steps before it filled.
  struct AtomicData;  ///< τ and μ of the model's photoabsorption data
  /// lineMu, pointMu and halfSensitivity; returns τ(Z_l, E_j) of each line's element, one
  /// row of pointCount per line.
  std::vector<double> tabulate(const std::vector<Line>& lines, const std::vector<Element>& elements,
                               std::size_t available, const AtomicData& data);
  /// firstAbove and endAbove; returns the width of each line's interval.
  std::vector<double> findPointsAbove(const std::vector<Line>& lines, std::size_t available);
  /// enhancerBegin, enhancer and analytePhotoAtEnhancerLine.
  void listEnhancers(const std::vector<Line>& lines, const AtomicData& data);
  /// work, enhancing and order, from the intervals' widths and the enhancer lists.
  void orderByWork(const std::vector<double>& span);
};

}  // namespace calyx

#endif  // CALYX_SHERMAN_TABLES_H
