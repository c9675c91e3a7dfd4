// A scratch directory of one test: made fresh and unique (mkdtemp) under the system's
// temporary folder, and removed with everything in it when the object goes. ctest runs test
// processes in parallel, so a fixed file name in the shared temporary folder would let one
// test read or delete another's file.
#ifndef CALYX_TESTS_SUPPORT_SCRATCHDIR_H
#define CALYX_TESTS_SUPPORT_SCRATCHDIR_H

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace calyx {
namespace testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "calyx-test-XXXXXX").string();
    if (::mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("cannot make a scratch directory: " + pattern);
    dir_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  /// The directory itself.
  const std::string& dir() const { return dir_; }
  /// A path for `name` inside the directory (nothing is created).
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

/// A path for `name` in this process's scratch directory (ctest runs every test in a process
/// of its own), removed when the process ends.
inline std::string tempPath(const std::string& name) {
  static const ScratchDir scratch;
  return scratch.path(name);
}

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_SCRATCHDIR_H
