#include "calyx/CSVWriter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/ScratchDir.h"

namespace calyx {
namespace {

// This process's scratch directory (ctest runs every test in a process of its own).
std::string tempPath(const char* name) {
  static const testing::ScratchDir scratch;
  return scratch.path(name);
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CSVWriterTest, WritesCellsJoinedByCommasOneRowPerLine) {
  const std::string path = tempPath("rows.csv");
  {
    CSVWriter w(path.c_str());
    w.writeLine({"a", "b", "c"});
    w.writeLine();
    w.writeLine({"x"});
    w.writeLine({""});
    w.writeLine({"1,5", "2"});
    EXPECT_EQ(readAll(path), "a,b,c\n\nx\n\n1,5,2\n");  // each row is flushed at once
  }
  std::remove(path.c_str());
}

TEST(CSVWriterTest, NewWriterEmptiesTheFile) {
  const std::string path = tempPath("again.csv");
  { CSVWriter(path.c_str()).writeLine({"old"}); }
  { CSVWriter w(path.c_str()); }
  EXPECT_EQ(readAll(path), "");
  std::remove(path.c_str());
}

TEST(CSVWriterTest, UnwritablePathDropsRowsSilently) {
  CSVWriter w("/nonexistent-dir/calyx/x.csv");
  w.writeLine({"a"});
  w.writeLine();
  EXPECT_FALSE(std::ifstream("/nonexistent-dir/calyx/x.csv").good());
}

}  // namespace
}  // namespace calyx
