// The module's exceptions and the one way every library call goes: GIL released, the
// library's log captured, status and error-level messages turned into an exception of the
// call's class whose text is the library's own message.
#ifndef CALYX_PYTHON_ERRORS_H
#define CALYX_PYTHON_ERRORS_H

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <json/json.h>
#include <pybind11/pybind11.h>

#include "FrontEnd.h"
#include "LogBridge.h"

namespace calyxpy {

/// The Python classes, all under calyx.CalyxError.
enum class ErrorKind { Calyx, Configuration, CalibrationFile, McaFile, Input, Convergence };

class CalyxException : public std::runtime_error {
 public:
  CalyxException(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

[[noreturn]] inline void fail(ErrorKind kind, const std::string& message) { throw CalyxException(kind, message); }
[[noreturn]] inline void inputError(const std::string& message) { fail(ErrorKind::Input, message); }

/// Creates the exception classes in `module` and registers the translation.
void registerExceptions(pybind11::module_& module);

using calyxhost::oneLine;

/// Runs `body` (returning the library's status) with the GIL released and the log
/// captured, then emits the log to Python and raises an exception of `kind` when the
/// status is not 0 or the library logged an error. `context` (a file, say) prefixes the
/// texts of failures the library reports by throwing, which have no message of its own.
template <class Body>
void libraryCall(ErrorKind kind, const std::string& context, Body&& body) {
  Capture capture;
  int status = 0;
  std::string thrown;
  std::exception_ptr own;
  {
    pybind11::gil_scoped_release release;
    CaptureScope scope(capture);
    try {
      status = body();
    } catch (const Json::Exception& e) {
      thrown = "a value has the wrong JSON type (" + oneLine(e.what()) + ")";
    } catch (const std::out_of_range&) {
      thrown = "a line code the library does not know";
    } catch (...) {
      own = std::current_exception();
    }
  }
  emit(capture);
  if (own) std::rethrow_exception(own);
  const std::string prefix = context.empty() ? "" : context + ": ";
  if (!thrown.empty()) fail(kind, prefix + thrown);
  if (status != 0 || capture.anyError()) {
    const std::string text = capture.errorText();
    fail(kind, text.empty() ? fmt::format("{}the library reported status {}", prefix, status) : text);
  }
}

}  // namespace calyxpy

#endif  // CALYX_PYTHON_ERRORS_H
