// A small SVG line plot: one curve, marked peaks, labelled axes on a linear or logarithmic
// intensity scale. Used for tube spectra; the output is a standalone SVG 1.1 document.
#ifndef CALYX_TOOL_SVG_H
#define CALYX_TOOL_SVG_H

#include <string>
#include <vector>

namespace calyxtool {

struct PlotPeak {
  double x = 0.0;
  double y = 0.0;
  std::string label;
};

/// A further curve drawn over the main one, with its own legend entry.
struct PlotCurve {
  std::vector<double> x;
  std::vector<double> y;
  std::string label;
  std::string colour;  ///< an SVG colour, "#2e8b57"
};

struct Plot {
  std::string title;
  std::string subtitle;
  std::string xLabel;
  std::string yLabel;
  bool logY = true;
  std::vector<double> curveX;
  std::vector<double> curveY;
  std::string curveLabel;
  std::vector<PlotPeak> peaks;
  std::string peakLabel;
  std::vector<PlotCurve> extraCurves;  ///< drawn after the main curve, in order
};

/// The plot as an SVG document. Values at or below the bottom of a log axis are drawn on it.
std::string renderSvg(const Plot& plot);

/// Text with &, <, >, " and ' escaped for XML.
std::string xmlEscape(const std::string& text);

}  // namespace calyxtool

#endif  // CALYX_TOOL_SVG_H
