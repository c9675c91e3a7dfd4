#include "calyx/CSVWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <random>

#include "detail/Log.h"

namespace calyx {
namespace {

// Names tried before giving up on a temporary file.
constexpr int kTemporaryAttempts = 100;

// Makes a new, empty file beside `path` whose name no other file had (O_EXCL: never an
// existing file, never a planted link), with the mode a plain create gives (0666 less the
// umask). Returns its name, or an empty string when none could be made.
std::string makeTemporaryBeside(const std::string& path) {
  static std::atomic<unsigned long> counter{0};
  std::random_device entropy;
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    const std::string name = path + ".tmp" + std::to_string(static_cast<long>(::getpid())) + "-" +
                             std::to_string(counter++) + "-" + std::to_string(entropy());
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST) break;
  }
  return std::string();
}

}  // namespace

CSVWriter::CSVWriter(const char* path) {
  if (path == nullptr) {
    CALYX_LOG_ERR("CSV writer without a path (null): its rows are dropped");
    out_.setstate(std::ios::failbit);
    return;
  }
  out_.open(path, std::ios::out | std::ios::trunc);
}

CSVWriter::CSVWriter(const char* path, ReplaceWhole) : exceptionsAtStart_(std::uncaught_exceptions()) {
  if (path == nullptr) {
    CALYX_LOG_ERR("CSV writer without a path (null): its rows are dropped");
    out_.setstate(std::ios::failbit);
    return;
  }
  const std::string target = path;
  struct stat st;
  if (::stat(path, &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    out_.open(target, std::ios::out | std::ios::trunc);  // a device or FIFO: straight through
    return;
  }
  temporary_ = makeTemporaryBeside(target);
  if (temporary_.empty()) return;
  target_ = target;
  out_.open(temporary_, std::ios::out | std::ios::trunc);
}

CSVWriter::~CSVWriter() {
  out_.close();
  if (temporary_.empty()) return;
  const bool unwinding = std::uncaught_exceptions() > exceptionsAtStart_;
  if (unwinding || out_.fail() || std::rename(temporary_.c_str(), target_.c_str()) != 0)
    std::remove(temporary_.c_str());
}

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
