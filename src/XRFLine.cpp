#include "calyx/XRFLine.h"

#include "detail/Xraylib.h"

namespace calyx {

const std::map<int, int> lineToShell = {
    {0, 0},      {1, 0},      {2, 3},      {3, 2},                                // KA KB LA LB
    {-3, 0},     {-2, 0},     {-1, 0},     {-6, 0},     {-11, 0},  {-5, 0},       // Kα1-3 Kβ1-3
    {-13, 0},    {-8, 0},                                                         // Kβ4 Kβ5
    {-90, 3},    {-89, 3},    {-63, 2},    {-95, 3},    {-34, 1},  {-33, 1},      // Lα1 Lα2 Lβ1-4
    {-102, 3},   {-91, 3},    {-98, 3},    {-36, 1},    {-35, 1},  {-94, 3},      // Lβ5-7 Lβ9 Lβ10 Lβ15
    {-62, 2},    {-68, 2},    {-38, 1},    {-39, 1},    {-47, 1},  {-65, 2},      // Lβ17 Lγ1-5
    {-75, 2},    {-72, 2},    {-60, 2},    {-86, 3},    {-88, 3},  {-87, 3},      // Lγ6 Lγ8 Lη Ll Ls Lt
    {-96, 3},    {-70, 2},                                                        // Lu Lv
    {-207, 8},   {-206, 8},   {-187, 7},   {-165, 6},                             // Mα1 Mα2 Mβ Mγ
};

const std::vector<int> individualLines = {-3, -2, -1, -6, -11, -5, -90, -89, -63, -95, -68};
const std::vector<int> groupLines = {0, 1, 2, 3};
const std::map<std::string, int> lineSymbols = {{"KA", 0}, {"KB", 1}, {"LA", 2}, {"LB", 3}};

XRFLine XRFLine::create(Element element, int line) {
  XRFLine l;
  l.element_ = element;
  l.line_ = line;
  l.lineEnergyKeV_ = detail::xrl::lineEnergy(element.atomicNumber(), line);
  l.shell_ = lineToShell.at(line);
  l.edgeEnergyKeV_ = detail::xrl::edgeEnergy(element.atomicNumber(), l.shell_);
  return l;
}

std::string lineName(int lineCode) {
  for (const auto& entry : lineSymbols)
    if (entry.second == lineCode) return entry.first;
  return std::to_string(lineCode);
}

}  // namespace calyx
