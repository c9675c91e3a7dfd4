// Whole-file reading and writing for tests: the bytes as they are (binary mode), and an empty
// text for a file that cannot be opened (the assertion on the content then fails).
#ifndef CALYX_TESTS_SUPPORT_FILES_H
#define CALYX_TESTS_SUPPORT_FILES_H

#include <fstream>
#include <sstream>
#include <string>

namespace calyx {
namespace testing {

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_FILES_H
