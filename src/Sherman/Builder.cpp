// Set-up of the Sherman fluorescence model: the fundamental-parameter factor of each line
// and the tables that do not depend on the composition.
//
// Line factor after J. Sherman, Spectrochim. Acta 7 (1955) 283: the probability that a
// photoionisation of the line's element produces a photon of that line,
//   S = R (1 - 1/J) W,
// with R the line's radiative rate (group lines summed over their transitions), (1 - 1/J)
// the share of the photoabsorption that ionises the line's shell (J the edge jump ratio),
// and W the shell's fluorescence yield including vacancies moved in from the inner
// subshells by Coster-Kronig transitions (W. Bambynek et al., Rev. Mod. Phys. 44 (1972) 716).
// All atomic data from xraylib.
#include <algorithm>
#include <utility>

#include "calyx/Sherman.h"
#include "detail/Log.h"
#include "detail/Xraylib.h"

namespace calyx {

namespace {

constexpr int kMaxGroupLineZ = 120;
constexpr double kDefaultAngleDegrees = 45.0;

// Radiative rate of a line; a group line sums the rates of its transitions.
double radiativeRate(int Z, int line) {
  using detail::xrl::radRate;
  if (line < 0 || line > 3) return radRate(Z, line);
  if (Z < 1 || Z > kMaxGroupLineZ) return 0.0;
  switch (line) {
    case 0: {  // KA: KL1 + KL2 + KL3
      double r = radRate(Z, -1);
      r = r + radRate(Z, -2);
      r = r + radRate(Z, -3);
      return r;
    }
    case 1: {  // KB: whatever of the K shell's radiative decay is not KA
      const double r = radRate(Z, 0);
      if (r == 0.0 || r == 1.0) return 0.0;
      return 1.0 - r;
    }
    case 2:  // LA: L3M5 + L3M4
      return radRate(Z, -90) + radRate(Z, -89);
    default: {  // LB: L2M4, L3N5, L1M3, L1M2, L3O3, L3O4, L3N1
      static constexpr int kLBTransitions[] = {-63, -95, -34, -33, -100, -101, -91};
      double r = 0.0;
      for (int code : kLBTransitions) r = r + radRate(Z, code);
      return r;
    }
  }
}

// Fluorescence yield of shell `shell`, counting the vacancies that Coster-Kronig
// transitions bring from the inner subshells of the same main shell.
double effectiveYield(int Z, int shell) {
  auto w = [Z](int n) { return detail::xrl::fluorYield(Z, n); };
  auto f = [Z](int n) { return detail::xrl::cosKronTransProb(Z, n); };
  switch (shell) {
    case 2:  // L2
      return w(2) + w(1) * f(1);
    case 3:  // L3
      return w(3) + w(2) * f(4) + w(1) * (f(1) * f(4) + f(2));
    case 5:  // M2
      return w(5) + w(4) * f(5);
    case 6:  // M3
      return w(6) + w(5) * f(9) + w(4) * (f(5) * f(9) + f(6));
    case 7:  // M4
      return w(7) + w(6) * f(12) + w(5) * (f(9) * f(12) + f(10)) +
             w(4) * (f(5) * f(9) * f(12) + f(6) * f(12) + f(5) * f(10) + f(7));
    case 8:  // M5
      return w(8) + w(7) * f(14) + w(6) * (f(12) * f(14) + f(10)) +
             w(5) * (f(9) * f(12) * f(14) + f(10) * f(14) + f(9) * f(13) + f(11)) +
             w(4) * (f(5) * f(9) * f(12) * f(14) + f(5) * f(9) * f(13) + f(5) * f(10) * f(14) +
                     f(6) * f(12) * f(14) + f(5) * f(11) + f(6) * f(13) + f(7) * f(14) + f(8));
    default:  // K, L1, M1: no inner subshell feeds them
      return w(shell);
  }
}

}  // namespace

double lineSensitivity(const XRFLine& line) {
  const int Z = line.element().atomicNumber();
  const double R = radiativeRate(Z, line.line());
  const double J = detail::xrl::jumpFactor(Z, line.shell());
  const double W = effectiveYield(Z, line.shell());
  return R * (1.0 - 1.0 / J) * W;
}

Sherman::Line::Line(const XRFLine& xrfLine, double lineSensitivityValue, double& fractionRef,
                    double& uncertaintyRef)
    : line(xrfLine),
      sensitivity(lineSensitivityValue),
      fraction(fractionRef),
      uncertainty(uncertaintyRef) {}

Sherman::Builder::Builder(const std::shared_ptr<Chemistry>& chemistry,
                          const std::shared_ptr<SpectrumBase<double>>& excitation)
    : chemistry_(chemistry),
      excitation_(excitation),
      takeOffAngle_(Angle::createFromDegrees(kDefaultAngleDegrees)),
      incidenceAngle_(Angle::createFromDegrees(kDefaultAngleDegrees)) {}

Sherman::Builder& Sherman::Builder::takeOffAngle(Angle angle) {
  takeOffAngle_ = angle;
  return *this;
}

Sherman::Builder& Sherman::Builder::incidenceAngle(Angle angle) {
  incidenceAngle_ = angle;
  return *this;
}

Sherman::Builder& Sherman::Builder::photoabsorption(Photoabsorption data) {
  photoabsorption_ = data;
  return *this;
}

Sherman::Builder& Sherman::Builder::addXRFLine(const XRFLine& line) {
  if (chemistry_ != nullptr && chemistry_->hasElement(line.element()) && line.isValid()) {
    lines_.insert(line);
  } else {
    CALYX_LOG_WARN("cannot add line: [{:s}:{:.2f}]", printableSymbol(line.element()),
                   line.lineEnergyKeV());
  }
  return *this;
}

Sherman::Builder& Sherman::Builder::addAllLinesFromElement(const Element& element,
                                                           bool individual) {
  if (excitation_ == nullptr) {
    // Without a spectrum no line can be excited; adding none is the only sound answer.
    CALYX_LOG_WARN("missing excitation spectrum");
    return *this;
  }
  double maxEnergyKeV = -1.0;
  const unsigned int pointCount = excitation_->size();
  for (unsigned int i = 0; i < pointCount; ++i)
    maxEnergyKeV = std::max(maxEnergyKeV, excitation_->energyAt(i));

  const std::vector<int>& codes = individual ? individualLines : groupLines;
  for (int code : codes) {
    const XRFLine line = XRFLine::create(element, code);
    if (line.isValid() && lineSensitivity(line) > 0.0 && line.lineEnergyKeV() <= maxEnergyKeV &&
        line.edgeEnergyKeV() <= maxEnergyKeV)
      addXRFLine(line);
  }
  return *this;
}

int Sherman::Builder::create(Sherman& target) {
  if (excitation_ == nullptr) {
    CALYX_LOG_ERR("missing excitation spectrum");
    return 1;
  }

  // Everything is assembled in a model aside first, so that an exhausted allocator leaves
  // the target as it was. The line vector is sized once and never grows afterwards.
  Sherman model;
  model.chemistry = chemistry_;
  model.excitation = excitation_;
  model.takeOffAngle_ = takeOffAngle_;
  model.incidenceAngle_ = incidenceAngle_;
  model.photoabsorption_ = photoabsorption_;
  model.lines.reserve(lines_.size());
  for (const XRFLine& line : lines_) {
    const int index = chemistry_->getIndex(line.element());
    model.lines.emplace_back(line, lineSensitivity(line), chemistry_->fractions[index],
                             chemistry_->uncertainties[index]);
  }
  model.binCount = excitation_->size();
  model.lineAttenuation.assign(model.lines.size(), 0.0);
  model.binAttenuation.assign(model.binCount, 0.0);
  model.buildTables();

  target.chemistry = std::move(model.chemistry);
  target.excitation = std::move(model.excitation);
  target.takeOffAngle_ = model.takeOffAngle_;
  target.incidenceAngle_ = model.incidenceAngle_;
  target.photoabsorption_ = model.photoabsorption_;
  target.lines = std::move(model.lines);
  target.lineAttenuation = std::move(model.lineAttenuation);
  target.binCount = model.binCount;
  target.binAttenuation = std::move(model.binAttenuation);
  target.photoTable = std::move(model.photoTable);
  target.tables_ = std::move(model.tables_);
  return 0;
}

}  // namespace calyx
