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
  /// Opens (and empties) the file. A file that cannot be created is not reported:
  /// every later row is silently dropped. A null path is reported (an error in the log)
  /// and its rows are dropped likewise.
  explicit CSVWriter(const char* path);
  ~CSVWriter();
  CSVWriter(const CSVWriter&) = delete;
  CSVWriter& operator=(const CSVWriter&) = delete;

  /// Writes the cells with "," between neighbours, then ends the row and flushes.
  void writeLine(const std::vector<std::string>& cells);
  /// Writes an empty row (a newline) and flushes.
  void writeLine();

 private:
  std::ofstream out_;
};

}  // namespace calyx

#endif  // CALYX_CSVWRITER_H
