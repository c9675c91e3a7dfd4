#include "calyx/CSVWriter.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sstream>
#include <string>

#include "support/Files.h"
#include "support/ScratchDir.h"

namespace calyx {
namespace {

using testing::tempPath;

using testing::readFile;

TEST(CSVWriterTest, WritesCellsJoinedByCommasOneRowPerLine) {
  const std::string path = tempPath("rows.csv");
  {
    CSVWriter w(path.c_str());
    w.writeLine({"a", "b", "c"});
    w.writeLine();
    w.writeLine({"x"});
    w.writeLine({""});
    w.writeLine({"1,5", "2"});
    EXPECT_EQ(readFile(path), "a,b,c\n\nx\n\n1,5,2\n");  // each row is flushed at once
  }
  std::remove(path.c_str());
}

TEST(CSVWriterTest, NewWriterEmptiesTheFile) {
  const std::string path = tempPath("again.csv");
  { CSVWriter(path.c_str()).writeLine({"old"}); }
  { CSVWriter w(path.c_str()); }
  EXPECT_EQ(readFile(path), "");
  std::remove(path.c_str());
}

TEST(CSVWriterTest, UnwritablePathDropsRowsSilently) {
  CSVWriter w("/nonexistent-dir/calyx/x.csv");
  w.writeLine({"a"});
  w.writeLine();
  EXPECT_FALSE(std::ifstream("/nonexistent-dir/calyx/x.csv").good());
}

// The debug CSV of a calibration: a reader sees the old file or the whole new one, two
// writers of one path never mix their rows, and a writer abandoned by an exception leaves the
// old file. Nothing is left beside it.
TEST(CSVWriterTest, WholeFileWriterReplacesThePathOnlyWhenDone) {
  const testing::ScratchDir scratch;
  const std::string& dir = scratch.dir();
  const std::string path = scratch.path("debug.csv");
  { CSVWriter(path.c_str()).writeLine({"old"}); }
  {
    CSVWriter first(path.c_str(), CSVWriter::ReplaceWhole{});
    CSVWriter second(path.c_str(), CSVWriter::ReplaceWhole{});
    for (int row = 0; row < 3; ++row) {
      first.writeLine({"first", std::to_string(row)});
      second.writeLine({"second", std::to_string(row)});
    }
    EXPECT_EQ(readFile(path), "old\n");
  }  // second is destroyed first, then first: the last one put in place wins whole
  EXPECT_EQ(readFile(path), "first,0\nfirst,1\nfirst,2\n");
  try {
    CSVWriter abandoned(path.c_str(), CSVWriter::ReplaceWhole{});
    abandoned.writeLine({"partial"});
    throw std::runtime_error("calibration failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(readFile(path), "first,0\nfirst,1\nfirst,2\n");
  int entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) entries += entry.path() == path ? 1 : 100;
  EXPECT_EQ(entries, 1) << "a temporary file was left in " << dir;
}

}  // namespace
}  // namespace calyx
