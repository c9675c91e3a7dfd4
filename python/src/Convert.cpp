#include "Convert.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "Errors.h"

namespace py = pybind11;

namespace calyxpy {

namespace {

// Fractions of a composition must add up to 1 within this much.
constexpr double kCompositionSumTolerance = 0.01;

std::string describe(py::handle value) { return py::repr(value).cast<std::string>(); }

int lineCode(const calyx::Element& element, py::handle name) {
  if (py::isinstance<py::str>(name)) {
    const std::string text = name.cast<std::string>();
    auto it = calyx::lineSymbols.find(text);
    if (it != calyx::lineSymbols.end()) return it->second;
    char* end = nullptr;
    const long code = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0')
      inputError(fmt::format("unknown line \"{}\" of {} (expected KA, KB, LA, LB or an xraylib line code)", text,
                             calyx::printableSymbol(element)));
    return static_cast<int>(code);
  }
  if (py::isinstance<py::int_>(name) && !py::isinstance<py::bool_>(name)) return name.cast<int>();
  inputError("a line is named by KA, KB, LA, LB or an xraylib line code, not " + describe(name));
}

}  // namespace

calyx::Element toElement(py::handle value) {
  calyx::Element element;
  if (py::isinstance<py::str>(value)) {
    element = calyx::Element(value.cast<std::string>());
  } else if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) {
    element = calyx::Element(value.cast<int>());
    if (!element.symbol()) element = calyx::Element(0);
  } else {
    inputError("an element is a symbol such as \"Fe\" or an atomic number, not " + describe(value));
  }
  if (element.atomicNumber() < 1) inputError("unknown element " + describe(value));
  return element;
}

calyx::XRFLine toLine(py::handle value) {
  py::object symbol, name;
  if (py::isinstance<py::str>(value)) {
    const std::string text = value.cast<std::string>();
    const std::size_t space = text.find(' ');
    if (space == std::string::npos)
      inputError("a line is \"Fe KA\", \"Pb -90\" or a pair (symbol, name or code), not " + describe(value));
    symbol = py::str(text.substr(0, space));
    name = py::str(text.substr(text.find_first_not_of(' ', space)));
  } else if (py::isinstance<py::tuple>(value) && py::len(value) == 2) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(value);
    symbol = pair[0];
    name = pair[1];
  } else {
    inputError("a line is \"Fe KA\", \"Pb -90\" or a pair (symbol, name or code), not " + describe(value));
  }
  const calyx::Element element = toElement(symbol);
  const int code = lineCode(element, name);
  if (calyx::lineToShell.count(code) == 0) inputError(fmt::format("unknown line code {}", code));
  const calyx::XRFLine line = calyx::XRFLine::create(element, code);
  if (!line.isValid()) inputError(lineLabel(line) + " does not exist in xraylib's tables");
  return line;
}

calyx::Compound toCompound(py::handle value, bool requireUnitSum) {
  if (!py::isinstance<py::dict>(value))
    inputError("a composition is a dict of mass fractions by symbol, not " + describe(value));
  calyx::Compound compound;
  double sum = 0.0;
  for (auto item : py::reinterpret_borrow<py::dict>(value)) {
    const calyx::Element element = toElement(item.first);
    double fraction = 0.0;
    try {
      fraction = py::cast<double>(item.second);
    } catch (const py::cast_error&) {
      inputError(fmt::format("the mass fraction of {} is not a number: {}", calyx::printableSymbol(element),
                             describe(item.second)));
    }
    if (!(fraction >= 0.0 && fraction <= 1.0))
      inputError(fmt::format("the mass fraction of {} is {}, outside [0, 1]", calyx::printableSymbol(element), fraction));
    if (!compound.insert(calyx::ElementChemistry(element, fraction, 0.0)))
      inputError(calyx::printableSymbol(element) + " is given twice");
    sum += fraction;
  }
  if (compound.empty()) inputError("the composition names no element");
  if (requireUnitSum && std::fabs(sum - 1.0) > kCompositionSumTolerance)
    inputError(fmt::format("the mass fractions add up to {}, not 1 (within {})", sum, kCompositionSumTolerance));
  return compound;
}

py::dict compositionDict(const calyx::Compound& compound, bool uncertainties) {
  py::dict out;
  for (const calyx::ElementChemistry& e : compound)
    out[py::str(calyx::printableSymbol(e.element))] = uncertainties ? e.uncertainty : e.fraction;
  return out;
}

DoubleArray toArray(py::handle value, const char* what) {
  DoubleArray array;
  try {
    array = DoubleArray::ensure(value);
  } catch (const py::error_already_set&) {
  }
  if (!array) {
    PyErr_Clear();
    inputError(std::string(what) + " must be a sequence of numbers, not " + describe(value));
  }
  if (array.ndim() != 1) inputError(fmt::format("{} must be one-dimensional, not of {} dimensions", what, array.ndim()));
  return array;
}

py::array_t<double> newArray(const std::vector<double>& values) {
  py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

py::array readOnlyView(const double* data, std::size_t count, py::handle owner) {
  py::array view(py::dtype::of<double>(), std::vector<py::ssize_t>{static_cast<py::ssize_t>(count)},
                 std::vector<py::ssize_t>{static_cast<py::ssize_t>(sizeof(double))}, data, owner);
  view.attr("setflags")(py::arg("write") = false);
  return view;
}

BeamMeasurement toBeam(py::handle lines, py::handle rates, py::handle scatter, py::handle uncertainties) {
  BeamMeasurement beam;
  if (!scatter.is_none()) {
    beam.scatter = py::cast<double>(scatter);
    if (!std::isfinite(beam.scatter) || beam.scatter < 0)
      inputError(fmt::format("a scatter rate must be a finite number of at least 0, not {}", beam.scatter));
    beam.hasScatter = true;
  }
  if (py::isinstance<py::dict>(lines)) {
    if (!rates.is_none()) inputError("rates come either as a dict {line: rate} or as lines and an array of rates");
    for (auto item : py::reinterpret_borrow<py::dict>(lines)) {
      beam.lines.push_back(toLine(item.first));
      beam.rates.push_back(py::cast<double>(item.second));
    }
  } else {
    if (rates.is_none()) inputError("the lines need their rates: BeamRates(lines, rates) or BeamRates({line: rate})");
    for (auto item : py::iter(lines)) beam.lines.push_back(toLine(item));
    DoubleArray values = toArray(rates, "rates");
    if (static_cast<std::size_t>(values.size()) != beam.lines.size())
      inputError(fmt::format("{} rates for {} lines", values.size(), beam.lines.size()));
    beam.rates.assign(values.data(), values.data() + values.size());
  }
  beam.uncertainties.assign(beam.lines.size(), 0.0);
  if (py::isinstance<py::dict>(uncertainties)) {
    for (auto item : py::reinterpret_borrow<py::dict>(uncertainties)) {
      const calyx::XRFLine line = toLine(item.first);
      std::size_t i = 0;
      while (i < beam.lines.size() && beam.lines[i] != line) ++i;
      if (i == beam.lines.size()) inputError("an uncertainty for " + lineLabel(line) + ", which has no rate");
      beam.uncertainties[i] = py::cast<double>(item.second);
    }
  } else if (!uncertainties.is_none()) {
    DoubleArray values = toArray(uncertainties, "uncertainties");
    if (static_cast<std::size_t>(values.size()) != beam.lines.size())
      inputError(fmt::format("{} uncertainties for {} lines", values.size(), beam.lines.size()));
    beam.uncertainties.assign(values.data(), values.data() + values.size());
  }
  for (std::size_t i = 0; i < beam.lines.size(); ++i) {
    if (!std::isfinite(beam.rates[i])) inputError("the rate of " + lineLabel(beam.lines[i]) + " is not finite");
    if (!(beam.uncertainties[i] >= 0) || !std::isfinite(beam.uncertainties[i]))
      inputError("the uncertainty of " + lineLabel(beam.lines[i]) + " must be a finite number of at least 0");
    for (std::size_t k = 0; k < i; ++k)
      if (beam.lines[k] == beam.lines[i]) inputError(lineLabel(beam.lines[i]) + " is listed twice");
  }
  return beam;
}

}  // namespace calyxpy
