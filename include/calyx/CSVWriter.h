/// @file
/// Rows of text cells to a comma-separated file: cells joined by ",", each row ended by a
/// newline and flushed. No quoting or escaping: callers format numbers and keep commas out
/// of cells.
#ifndef CALYX_CSVWRITER_H
#define CALYX_CSVWRITER_H

#include <fstream>
#include <string>
#include <vector>

#include "calyx/export.h"

namespace calyx {

/// Owns its file from construction to destruction; one thread at a time.
class CALYX_EXPORT CSVWriter {
 public:
  /// Selects the whole-file constructor.
  struct ReplaceWhole {};

  /// Opens (and empties) the file. A file that cannot be created is not reported:
  /// every later row is silently dropped. A null path is reported (an error in the log)
  /// and its rows are dropped likewise.
  explicit CSVWriter(const char* path);
  /// Writes the rows to a new file beside `path` under a name of its own (created
  /// exclusively: an existing file or a link planted at that name is never opened) and
  /// renames it onto `path` when the writer is destroyed, so that readers, and other writers
  /// of the same path, only ever see a whole file. A link at `path` is replaced, not
  /// followed; a path that leads to a device or FIFO is written directly. A writer destroyed
  /// while an exception propagates removes its file and leaves `path` as it was. As above,
  /// a file that cannot be made is not reported and the rows are dropped; a null path is
  /// reported (error) and its rows dropped.
  CSVWriter(const char* path, ReplaceWhole);
  ~CSVWriter();
  CSVWriter(const CSVWriter&) = delete;
  CSVWriter& operator=(const CSVWriter&) = delete;

  /// Writes the cells with "," between neighbours, then ends the row and flushes.
  void writeLine(const std::vector<std::string>& cells);
  /// Writes an empty row (a newline) and flushes.
  void writeLine();

 private:
  std::ofstream out_;
  std::string target_;     // whole-file writer: the path renamed onto at the end
  std::string temporary_;  // whole-file writer: where the rows go until then
  int exceptionsAtStart_ = 0;
};

}  // namespace calyx

#endif  // CALYX_CSVWRITER_H
