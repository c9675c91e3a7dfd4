// Ordinary least-squares straight line (normal equations), with the classic statistics of
// the fit: St = Σ(y - ȳ)², Sr = Σ(y - a0 - a1·x)², the standard deviation √(St/(n-1)), the
// standard error of the estimate √(Sr/(n-2)) and r² = (St - Sr)/St (Chapra & Canale,
// Numerical Methods for Engineers, ch. 17). The report's texts are printf formats.
#include <cmath>
#include <string>

#include "calyx/Regression.h"
#include "detail/Log.h"

namespace calyx {
namespace {

void logText(const std::string& text) { CALYX_LOG_INFO("{}", text); }

}  // namespace

LeastSqrRegressionResult leastSqrRegression(Point* points, int count, bool throughOrigin) {
  LeastSqrRegressionResult result;
  if (points == nullptr || count == 0) {
    logText("Empty data set!\n");
    return result;
  }

  // A negative count reads no point: the sums stay 0 and the quotients below are 0/0.
  double sumX = 0.0;
  double sumY = 0.0;
  double sumXX = 0.0;
  double sumXY = 0.0;
  for (int i = 0; i < count; ++i) {
    sumX += points[i].x;
    sumY += points[i].y;
    sumXX += points[i].x * points[i].x;
    sumXY += points[i].x * points[i].y;
  }
  const double n = static_cast<double>(count);
  const double meanX = sumX / n;
  const double meanY = sumY / n;
  result.slope = (n * sumXY - sumX * sumY) / (n * sumXX - sumX * sumX);
  if (throughOrigin)
    result.slope = sumXY / sumXX;
  else
    result.intercept = meanY - result.slope * meanX;

  // The report is formatted only when info messages are written at all.
  if (!detail::infoEnabled()) return result;

  const std::string rule60(60, '-');
  logText(detail::formatPrintf("x mean(AVGx) = %0.5E\n", meanX));
  logText(detail::formatPrintf("y mean(AVGy) = %0.5E\n", meanY));
  logText("\n");
  logText("The linear equation that best fits the given data:\n");
  logText(detail::formatPrintf("       y = %2.8lfx + %2.8f\n", result.slope, result.intercept));
  logText(rule60 + "\n");
  logText("   Original (x,y)   (y_i - y_avg)^2     (y_i - a_o - a_1*x_i)^2\n");
  logText(rule60 + "\n");

  // St is always about the mean, Sr about the line actually fitted (through the origin
  // too), so r² may come out negative for a poor fit through the origin.
  double st = 0.0;
  double sr = 0.0;
  for (int i = 0; i < count; ++i) {
    const double x = points[i].x;
    const double y = points[i].y;
    const double deviation = (y - meanY) * (y - meanY);
    const double residual = y - result.intercept - result.slope * x;
    const double squaredResidual = residual * residual;
    st += deviation;
    sr += squaredResidual;
    logText(detail::formatPrintf("   (%0.2f %0.2f)      %0.5E         %0.5E\n", x, y, deviation,
                                 squaredResidual));
  }

  logText(std::string(50, '-') + "\n");
  logText(detail::formatPrintf("Sum of (y_i - y_avg)^2 = %0.5E\t\n", st));
  logText(detail::formatPrintf("Sum of (y_i - a_o - a_1*x_i)^2 = %0.5E\t\n", sr));
  logText(detail::formatPrintf("Standard deviation(St) = %0.5E\n", std::sqrt(st / (n - 1.0))));
  logText(detail::formatPrintf("Standard error of the estimate(Sr) = %0.5E\t\n",
                               std::sqrt(sr / (n - 2.0))));
  logText(detail::formatPrintf("Coefficent of determination(r^2) = %0.5E\t\n", (st - sr) / st));
  logText(detail::formatPrintf("Correlation coefficient(r) = %0.5E\t\n", std::sqrt((st - sr) / st)));
  return result;
}

}  // namespace calyx
