#include "Errors.h"

#include <Python.h>

namespace py = pybind11;

namespace calyxpy {

namespace {

PyObject* classes[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* makeClass(py::module_& module, const char* name, PyObject* bases, const char* doc) {
  const std::string qualified = std::string("calyx.") + name;
  PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
  if (type == nullptr) throw py::error_already_set();
  module.attr(name) = py::handle(type);  // the module keeps a reference; so does `classes`
  return type;
}

}  // namespace

void registerExceptions(py::module_& m) {
  PyObject* base = makeClass(m, "CalyxError", PyExc_Exception,
                             "Base of every error the library or this module reports. Its text is the library's "
                             "error message for the failed call (several joined by '; ').");
  classes[static_cast<int>(ErrorKind::Calyx)] = base;
  classes[static_cast<int>(ErrorKind::Configuration)] =
      makeClass(m, "ConfigurationError", base, "The configuration cannot be read or no engine can be built from it.");
  classes[static_cast<int>(ErrorKind::CalibrationFile)] = makeClass(
      m, "CalibrationFileError", base, "A calibration file cannot be read or written (the engine keeps its factors).");
  classes[static_cast<int>(ErrorKind::McaFile)] =
      makeClass(m, "McaFileError", base, "An MCA spectrum file cannot be read or written.");
  py::tuple inputBases = py::make_tuple(py::handle(base), py::handle(PyExc_ValueError));
  classes[static_cast<int>(ErrorKind::Input)] = makeClass(
      m, "InputError", inputBases.ptr(),
      "Arguments the engine cannot use: an unknown element or line, a line the configuration does not analyse, "
      "a beam out of range, a composition that is not one, rates of the wrong shape.");
  classes[static_cast<int>(ErrorKind::Convergence)] = makeClass(
      m, "ConvergenceError", base,
      "The quantification has no composition to give: a pass could correct no line, or the mass fractions ran "
      "out of [0, 1].");

  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const CalyxException& e) {
      PyErr_SetString(classes[static_cast<int>(e.kind())], e.what());
    }
  });
}

}  // namespace calyxpy
