#include "calyx/CSVWriter.h"

#include "detail/Log.h"

namespace calyx {

CSVWriter::CSVWriter(const char* path) {
  if (path == nullptr) {
    CALYX_LOG_ERR("CSV writer without a path (null): its rows are dropped");
    out_.setstate(std::ios::failbit);
    return;
  }
  out_.open(path, std::ios::out | std::ios::trunc);
}

CSVWriter::~CSVWriter() { out_.close(); }

void CSVWriter::writeLine(const std::vector<std::string>& cells) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    out_ << cells[i];
    if (i + 1 < cells.size()) out_ << ',';
  }
  writeLine();
}

void CSVWriter::writeLine() {
  out_ << '\n';
  out_.flush();
}

}  // namespace calyx
