// A short tour of the library's foundations: compounds from formulas, an element's lines
// with their shells and energies, and spectra that share their points until written.
#include <cstdio>
#include <memory>

#include <calyx/calyx.h>
#include <spdlog/spdlog.h>

int main() {
  using namespace calyx;
  getLogger()->set_level(spdlog::level::warn);

  std::printf("Calyx %s\n\n", versionString());

  for (const char* formula : {"SiO2", "Fe2O3", "CuZn0.6Pb0.02"}) {
    Compound c;
    if (!Compound::fromFormula(formula, c)) {
      std::printf("%s: not a formula\n", formula);
      continue;
    }
    std::printf("%s (mass fractions):%s", formula, compoundToString(c).c_str());
  }

  std::printf("\nLines of Pb and Fe (line, shell, line energy, edge energy):\n");
  for (const char* symbol : {"Fe", "Pb"}) {
    for (int code : groupLines) {
      XRFLine line = XRFLine::create(Element(symbol), code);
      if (!line.isValid()) continue;
      std::printf("  %-2s %-3s shell %d  %7.3f keV  edge %7.3f keV\n", symbol, lineName(code).c_str(),
                  line.shell(), line.lineEnergyKeV(), line.edgeEnergyKeV());
    }
  }

  LinearSpectrum<double> grid(0.0, 10.0, 1.0);
  for (unsigned int i = 0; i < grid.size(); ++i) grid.setValueAt(i, 100.0 * (i + 1));
  LinearSpectrum<double> half = grid / 2.0;
  DiscreteSpectrum<double> lines(2);
  lines.setEnergyAt(0, 20.2);
  lines.setValueAt(0, 5000.0);
  lines.setEnergyAt(1, 22.7);
  lines.setValueAt(1, 900.0);
  std::shared_ptr<SpectrumBase<double>> a = std::make_shared<LinearSpectrum<double>>(half);
  std::shared_ptr<SpectrumBase<double>> b = std::make_shared<DiscreteSpectrum<double>>(lines);
  std::shared_ptr<SpectrumBase<double>> joined = spectrumConcat(a, b);
  std::printf("\nA 1 keV grid halved and joined with two lines (%u points):\n", joined->size());
  for (unsigned int i = 0; i < joined->size(); ++i)
    std::printf("  %6.2f keV  %8.1f\n", joined->energyAt(i), joined->valueAt(i));
  return 0;
}
