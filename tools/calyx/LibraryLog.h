// Where the library's log goes while the tool runs. The tool, as the library's host, gives
// the library's logger one sink of its own: info traces only with -v, warnings as one line
// each, and error messages kept so that a failed library call can be reported as one line
// that says what the library found wrong (printed in full as well with -v).
#ifndef CALYX_TOOL_LIBRARYLOG_H
#define CALYX_TOOL_LIBRARYLOG_H

#include <string>
#include <vector>

namespace calyxtool {

/// Replaces the library logger's sink and sets its level: info when verbose, else warn.
void installLibraryLog(bool verbose);

/// Collects the error messages the library logs while it lives (nested scopes each see
/// the messages logged during their own life).
class LibraryErrors {
 public:
  LibraryErrors();
  bool any() const;
  /// The messages joined by "; " (without the library's "[file:line] " prefixes).
  std::string text() const;

 private:
  std::size_t first_;
};

}  // namespace calyxtool

#endif  // CALYX_TOOL_LIBRARYLOG_H
