#include "calyx/XRFLine.h"

#include "detail/Xraylib.h"

namespace calyx {

// Each line with the shell of its initial vacancy: the group lines by their main transition
// (LA from L3, LB from L2), the single transitions by their IUPAC names, the Siegbahn names
// beside them.
const std::map<int, int> lineToShell = {
    {KA_LINE, K_SHELL},    {KB_LINE, K_SHELL},    {LA_LINE, L3_SHELL},   {LB_LINE, L2_SHELL},
    {KL3_LINE, K_SHELL},   {KL2_LINE, K_SHELL},   {KL1_LINE, K_SHELL},         // Kα1 Kα2 Kα3
    {KM3_LINE, K_SHELL},   {KN3_LINE, K_SHELL},   {KM2_LINE, K_SHELL},         // Kβ1 Kβ2 Kβ3
    {KN5_LINE, K_SHELL},   {KM5_LINE, K_SHELL},                                // Kβ4 Kβ5
    {L3M5_LINE, L3_SHELL}, {L3M4_LINE, L3_SHELL},                              // Lα1 Lα2
    {L2M4_LINE, L2_SHELL}, {L3N5_LINE, L3_SHELL}, {L1M3_LINE, L1_SHELL},       // Lβ1 Lβ2 Lβ3
    {L1M2_LINE, L1_SHELL}, {L3O45_LINE, L3_SHELL}, {L3N1_LINE, L3_SHELL},      // Lβ4 Lβ5 Lβ6
    {L3O1_LINE, L3_SHELL}, {L1M5_LINE, L1_SHELL}, {L1M4_LINE, L1_SHELL},       // Lβ7 Lβ9 Lβ10
    {L3N4_LINE, L3_SHELL}, {L2M3_LINE, L2_SHELL},                              // Lβ15 Lβ17
    {L2N4_LINE, L2_SHELL}, {L1N2_LINE, L1_SHELL}, {L1N3_LINE, L1_SHELL},       // Lγ1 Lγ2 Lγ3
    {L1O3_LINE, L1_SHELL}, {L2N1_LINE, L2_SHELL}, {L2O4_LINE, L2_SHELL},       // Lγ4 Lγ5 Lγ6
    {L2O1_LINE, L2_SHELL}, {L2M1_LINE, L2_SHELL}, {L3M1_LINE, L3_SHELL},       // Lγ8 Lη Ll
    {L3M3_LINE, L3_SHELL}, {L3M2_LINE, L3_SHELL}, {L3N6_LINE, L3_SHELL},       // Ls Lt Lu
    {L2N6_LINE, L2_SHELL},                                                     // Lv
    {M5N7_LINE, M5_SHELL}, {M5N6_LINE, M5_SHELL},                              // Mα1 Mα2
    {M4N6_LINE, M4_SHELL}, {M3N5_LINE, M3_SHELL},                              // Mβ Mγ
};

const std::vector<int> individualLines = {
    KL3_LINE,  KL2_LINE,  KL1_LINE,  KM3_LINE,  KN3_LINE, KM2_LINE,  // Kα1 Kα2 Kα3 Kβ1 Kβ2 Kβ3
    L3M5_LINE, L3M4_LINE, L2M4_LINE, L3N5_LINE, L2N4_LINE,           // Lα1 Lα2 Lβ1 Lβ2 Lγ1
};
const std::vector<int> groupLines = {KA_LINE, KB_LINE, LA_LINE, LB_LINE};
const std::map<std::string, int> lineSymbols = {
    {"KA", KA_LINE}, {"KB", KB_LINE}, {"LA", LA_LINE}, {"LB", LB_LINE}};

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
