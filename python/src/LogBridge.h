// The library's log inside Python: one sink on the library's logger keeps each record on
// the thread that logged it (in the capture of the call running there), and the call,
// back on its Python thread with the GIL held, hands the records to Python's logging
// (logger "calyx") and turns its error-level messages into the exception's text. No
// Python code ever runs inside the sink, so the library may log from any thread.
#ifndef CALYX_PYTHON_LOGBRIDGE_H
#define CALYX_PYTHON_LOGBRIDGE_H

#include <string>
#include <vector>

#include <spdlog/common.h>

namespace calyxpy {

struct LogRecord {
  spdlog::level::level_enum level;
  std::string text;  ///< as the library wrote it, with its "[src/File.cpp:12] " prefix
};

/// What the library logged on one thread during one call.
struct Capture {
  std::vector<LogRecord> records;
  /// The error-level messages without their source prefix, joined by "; ".
  std::string errorText() const;
  bool anyError() const;
};

/// Sends the calling thread's records to `capture` while it lives (they nest: the inner
/// one receives). Records logged on a thread without a capture wait for the next emit().
class CaptureScope {
 public:
  explicit CaptureScope(Capture& capture);
  ~CaptureScope();
  CaptureScope(const CaptureScope&) = delete;
  CaptureScope& operator=(const CaptureScope&) = delete;

 private:
  Capture* previous_;
};

/// Replaces the library logger's sinks with the bridge and sets the level (warn).
void installLogBridge();
/// Records at or above `level` go to Python; the library logger itself stays at err or
/// below, so that failures are always captured.
void setForwardLevel(spdlog::level::level_enum level);
spdlog::level::level_enum forwardLevel();

/// Emits the records waiting without a capture, then those of `capture` (GIL held).
void emit(const Capture& capture);
/// Emits only the records waiting without a capture (GIL held).
void emitPending();

}  // namespace calyxpy

#endif  // CALYX_PYTHON_LOGBRIDGE_H
