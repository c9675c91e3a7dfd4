// Bad input: a malformed or missing file, an unknown symbol or line, a value of the wrong
// JSON type, an out-of-range beam, a bad argument. main() prints the one-line message and
// exits with status 2.
#ifndef CALYX_TOOL_ERROR_H
#define CALYX_TOOL_ERROR_H

#include <stdexcept>
#include <string>

namespace calyxtool {

class InputError : public std::runtime_error {
 public:
  explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

/// Throws "source: what", source being a file name or an option such as "--factor".
[[noreturn]] inline void inputError(const std::string& source, const std::string& what) {
  throw InputError(source + ": " + what);
}

/// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;       // an internal failure (a bug), never bad input
constexpr int kExitBadInput = 2;
constexpr int kExitNotConverged = 3;  // quantify printed its result but did not converge

}  // namespace calyxtool

#endif  // CALYX_TOOL_ERROR_H
