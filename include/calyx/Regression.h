/// @file
/// Ordinary least-squares straight-line fits, with a statistics report in the log.
#ifndef CALYX_REGRESSION_H
#define CALYX_REGRESSION_H

#include "calyx/export.h"

namespace calyx {

/// One data point of a fit.
struct CALYX_EXPORT Point {
  double x = 0.0;
  double y = 0.0;
};

/// The fitted line y = slope x + intercept.
struct CALYX_EXPORT LeastSqrRegressionResult {
  double slope = 0.0;      ///< y units per x unit
  double intercept = 0.0;  ///< exactly 0 for a fit through the origin
};

/// Fits y = slope x (throughOrigin) or y = slope x + intercept to `count` points.
/// Through the origin slope = Σxy / Σx²; otherwise the usual normal equations. Logs the
/// means, the line, a per-point table and St, Sr, their deviations and r² at info level.
/// A null array or count 0 logs "Empty data set!" and gives 0, 0. Never throws; degenerate
/// data give infinite or not-a-number results as IEEE arithmetic has it.
CALYX_EXPORT LeastSqrRegressionResult leastSqrRegression(Point* points, int count, bool throughOrigin);

}  // namespace calyx

#endif  // CALYX_REGRESSION_H
