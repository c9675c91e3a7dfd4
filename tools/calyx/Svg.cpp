#include "Svg.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace calyxtool {

namespace {

constexpr double kWidth = 960;
constexpr double kHeight = 600;
constexpr double kLeft = 100;
constexpr double kRight = 40;
constexpr double kTop = 80;
constexpr double kBottom = 70;
constexpr int kMaxDecades = 7;  // a log axis shows at most this many decades below the top
constexpr int kTargetTicks = 8;
const char* const kCurveColour = "#1f5fa8";
const char* const kPeakColour = "#c0392b";

// 1, 2 or 5 times a power of ten, at least `raw`.
double niceStep(double raw) {
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * p >= raw * (1 - 1e-12)) return m * p;
  return 10 * p;
}

struct Axis {
  double lo, hi;
  bool log;
  double pixelLo, pixelHi;  // pixel positions of lo and hi
  double map(double v) const {
    double t;
    if (log) {
      const double lv = v > 0 ? std::log10(v) : lo;
      t = (std::clamp(lv, lo, hi) - lo) / (hi - lo);
    } else {
      t = (std::clamp(v, lo, hi) - lo) / (hi - lo);
    }
    return pixelLo + t * (pixelHi - pixelLo);
  }
};

std::string num(double v) { return fmt::format("{:.2f}", v); }

std::string tickLabel(double v) { return fmt::format("{:g}", std::fabs(v) < 1e-12 ? 0.0 : v); }

}  // namespace

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {

// The axes: x from 0 and y from 0 (or, on a log scale, over at most kMaxDecades decades)
// to a round value above everything plotted, with their tick steps.
struct Axes {
  Axis x;
  Axis y;
  double xStep;
  double yStep;  // 0 on a log scale (one tick a decade)
};

Axes axesFor(const Plot& plot) {
  double xMax = 0, yMax = 0, yMinPositive = std::numeric_limits<double>::infinity();
  auto take = [&](double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    xMax = std::max(xMax, x);
    yMax = std::max(yMax, y);
    if (y > 0) yMinPositive = std::min(yMinPositive, y);
  };
  for (std::size_t i = 0; i < plot.curveX.size() && i < plot.curveY.size(); ++i) take(plot.curveX[i], plot.curveY[i]);
  for (const PlotPeak& p : plot.peaks) take(p.x, p.y);
  for (const PlotCurve& c : plot.extraCurves)
    for (std::size_t i = 0; i < c.x.size() && i < c.y.size(); ++i) take(c.x[i], c.y[i]);
  if (xMax <= 0) xMax = 1;
  if (yMax <= 0) yMax = 1;

  const double xStep = niceStep(xMax / kTargetTicks);
  const Axis xAxis{0.0, std::ceil(xMax / xStep - 1e-9) * xStep, false, kLeft, kWidth - kRight};
  Axis yAxis{0, 0, plot.logY, kHeight - kBottom, kTop};
  double yStep = 0;
  if (plot.logY) {
    yAxis.hi = std::ceil(std::log10(yMax));
    const double bottom = std::isfinite(yMinPositive) ? std::floor(std::log10(yMinPositive)) : yAxis.hi - 1;
    yAxis.lo = std::max(bottom, yAxis.hi - kMaxDecades);
    if (yAxis.lo >= yAxis.hi) yAxis.lo = yAxis.hi - 1;
  } else {
    yStep = niceStep(yMax / kTargetTicks);
    yAxis.hi = std::ceil(yMax / yStep - 1e-9) * yStep;
  }
  return Axes{xAxis, yAxis, xStep, yStep};
}

// SVG path data through the finite points of (x, y), or empty.
std::string pathData(const std::vector<double>& x, const std::vector<double>& y, const Axes& axes) {
  std::string d;
  for (std::size_t i = 0; i < x.size() && i < y.size(); ++i) {
    if (!std::isfinite(x[i]) || !std::isfinite(y[i])) continue;
    d += fmt::format("{}{} {} ", d.empty() ? "M" : "L", num(axes.x.map(x[i])), num(axes.y.map(y[i])));
  }
  return d;
}

// Grid lines and tick labels.
void appendGrid(const Plot& plot, const Axes& axes, std::string& s) {
  const Axis& xAxis = axes.x;
  const Axis& yAxis = axes.y;
  const double xStep = axes.xStep;
  const double yStep = axes.yStep;
  s += "<g stroke=\"#ddd\" stroke-width=\"1\">\n";
  for (double x = xAxis.lo; x <= xAxis.hi + 1e-9; x += xStep)
    s += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\"/>\n", num(xAxis.map(x)), num(kTop),
                     num(kHeight - kBottom));
  if (plot.logY) {
    for (int d = static_cast<int>(yAxis.lo); d <= static_cast<int>(yAxis.hi); ++d)
      s += fmt::format("<line x1=\"{1}\" y1=\"{0}\" x2=\"{2}\" y2=\"{0}\"/>\n", num(yAxis.map(std::pow(10.0, d))),
                       num(kLeft), num(kWidth - kRight));
  } else {
    for (double y = 0; y <= yAxis.hi + 1e-9 * yAxis.hi; y += yStep)
      s += fmt::format("<line x1=\"{1}\" y1=\"{0}\" x2=\"{2}\" y2=\"{0}\"/>\n", num(yAxis.map(y)), num(kLeft),
                       num(kWidth - kRight));
  }
  s += "</g>\n";

  s += "<g font-size=\"13\" fill=\"#222\">\n";
  for (double x = xAxis.lo; x <= xAxis.hi + 1e-9; x += xStep)
    s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", num(xAxis.map(x)),
                     num(kHeight - kBottom + 20), tickLabel(x));
  if (plot.logY) {
    for (int d = static_cast<int>(yAxis.lo); d <= static_cast<int>(yAxis.hi); ++d)
      s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\">10<tspan dy=\"-7\" font-size=\"10\">{}</tspan></text>\n",
                       num(kLeft - 8), num(yAxis.map(std::pow(10.0, d)) + 5), d);
  } else {
    for (double y = 0; y <= yAxis.hi + 1e-9 * yAxis.hi; y += yStep)
      s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"end\">{}</text>\n", num(kLeft - 8),
                       num(yAxis.map(y) + 5), tickLabel(y));
  }
  s += "</g>\n";
}

// Frame and axis titles.
void appendFrame(const Plot& plot, std::string& s) {
  s += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#222\"/>\n", num(kLeft),
                   num(kTop), num(kWidth - kLeft - kRight), num(kHeight - kTop - kBottom));
  s += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"15\" text-anchor=\"middle\">{}</text>\n",
                   num((kLeft + kWidth - kRight) / 2), num(kHeight - 22), xmlEscape(plot.xLabel));
  s += fmt::format("<text x=\"0\" y=\"0\" font-size=\"15\" text-anchor=\"middle\" "
                   "transform=\"translate(24 {}) rotate(-90)\">{}</text>\n",
                   num((kTop + kHeight - kBottom) / 2), xmlEscape(plot.yLabel));
}

// The curve, then the extra curves in order.
void appendCurves(const Plot& plot, const Axes& axes, std::string& s) {
  const std::string path = pathData(plot.curveX, plot.curveY, axes);
  if (!path.empty())
    s += fmt::format("<path d=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"1.6\"/>\n", path, kCurveColour);

  for (const PlotCurve& c : plot.extraCurves) {
    const std::string d = pathData(c.x, c.y, axes);
    if (!d.empty())
      s += fmt::format("<path d=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"1.2\"/>\n", d,
                       xmlEscape(c.colour));
  }
}

// Peaks: a stem from the axis, a dot at the value and a label above, alternating heights
// so that neighbouring labels stay apart.
void appendPeaks(const Plot& plot, const Axes& axes, std::string& s) {
  const Axis& xAxis = axes.x;
  const Axis& yAxis = axes.y;
  s += fmt::format("<g stroke=\"{0}\" fill=\"{0}\">\n", kPeakColour);
  for (std::size_t i = 0; i < plot.peaks.size(); ++i) {
    const PlotPeak& p = plot.peaks[i];
    const double px = xAxis.map(p.x), py = yAxis.map(p.y);
    s += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\" stroke-width=\"2\"/>\n", num(px),
                     num(kHeight - kBottom), num(py));
    s += fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"3.5\"/>\n", num(px), num(py));
    const double labelY = std::max(kTop + 14, py - 10 - 15 * static_cast<double>(i % 2));
    s += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"13\" stroke=\"none\" text-anchor=\"middle\">{}</text>\n",
                     num(px), num(labelY), xmlEscape(p.label));
  }
  s += "</g>\n";
}

// The legend: the curve, the peaks (when any) and each extra curve.
void appendLegend(const Plot& plot, std::string& s) {
  const double lx = kWidth - kRight - 330, ly = kTop + 18;
  s += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"320\" height=\"{}\" fill=\"white\" fill-opacity=\"0.85\" "
                   "stroke=\"#999\"/>\n",
                   num(lx), num(ly - 14), (plot.peaks.empty() ? 26 : 46) + 20 * static_cast<int>(plot.extraCurves.size()));
  s += fmt::format("<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"2\"/>\n", num(lx + 8),
                   num(ly), num(lx + 38), num(ly), kCurveColour);
  s += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"13\">{}</text>\n", num(lx + 46), num(ly + 4),
                   xmlEscape(plot.curveLabel));
  if (!plot.peaks.empty()) {
    s += fmt::format("<circle cx=\"{}\" cy=\"{}\" r=\"3.5\" fill=\"{}\"/>\n", num(lx + 23), num(ly + 20), kPeakColour);
    s += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"13\">{}</text>\n", num(lx + 46), num(ly + 24),
                     xmlEscape(plot.peakLabel));
  }
  for (std::size_t k = 0; k < plot.extraCurves.size(); ++k) {
    const double y = ly + (plot.peaks.empty() ? 20 : 40) + 20 * static_cast<double>(k);
    s += fmt::format("<line x1=\"{}\" y1=\"{}\" x2=\"{}\" y2=\"{}\" stroke=\"{}\" stroke-width=\"2\"/>\n", num(lx + 8),
                     num(y), num(lx + 38), num(y), xmlEscape(plot.extraCurves[k].colour));
    s += fmt::format("<text x=\"{}\" y=\"{}\" font-size=\"13\">{}</text>\n", num(lx + 46), num(y + 4),
                     xmlEscape(plot.extraCurves[k].label));
  }
}

}  // namespace

std::string renderSvg(const Plot& plot) {
  const Axes axes = axesFor(plot);
  std::string s;
  s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += fmt::format("<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"{0}\" height=\"{1}\" "
                   "viewBox=\"0 0 {0} {1}\" font-family=\"DejaVu Sans, Arial, sans-serif\">\n",
                   kWidth, kHeight);
  s += "<title>" + xmlEscape(plot.title) + "</title>\n";
  s += fmt::format("<rect x=\"0\" y=\"0\" width=\"{}\" height=\"{}\" fill=\"white\"/>\n", kWidth, kHeight);
  s += fmt::format("<text x=\"{}\" y=\"32\" font-size=\"20\" text-anchor=\"middle\">{}</text>\n", kWidth / 2,
                   xmlEscape(plot.title));
  if (!plot.subtitle.empty())
    s += fmt::format("<text x=\"{}\" y=\"56\" font-size=\"14\" text-anchor=\"middle\" fill=\"#444\">{}</text>\n",
                     kWidth / 2, xmlEscape(plot.subtitle));

  appendGrid(plot, axes, s);
  appendFrame(plot, s);
  appendCurves(plot, axes, s);
  appendPeaks(plot, axes, s);
  appendLegend(plot, s);
  s += "</svg>\n";
  return s;
}

}  // namespace calyxtool
