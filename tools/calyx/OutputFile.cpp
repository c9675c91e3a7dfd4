#include "OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Error.h"

namespace calyxtool {

namespace {

// Symbolic links followed before giving up, as the kernel does (ELOOP).
constexpr int kMaxLinks = 40;

enum class Kind { kStandardOutput, kThrough, kReplace };

struct Target {
  Kind kind = Kind::kReplace;
  std::string file;  // kThrough: the name to open; kReplace: the regular file to replace
  bool exists = false;
  mode_t mode = 0;   // kReplace of an existing file: its permission bits
};

std::string reason(int error) { return std::strerror(error); }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool isStandardOutputFile(const struct stat& st) {
  struct stat out;
  return ::fstat(STDOUT_FILENO, &out) == 0 && sameFile(st, out);
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The name the links at `path` lead to: the file to replace, or the name to create.
std::string followLinks(const std::string& path) {
  std::string p = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return p;
    if (hops == kMaxLinks) inputError(path, "cannot write: too many levels of symbolic links");
    std::error_code ec;
    const std::string link = std::filesystem::read_symlink(p, ec).string();
    if (ec) inputError(path, "cannot write: " + ec.message());
    p = !link.empty() && link[0] == '/' ? link : directoryOf(p) + "/" + link;
  }
}

Target resolve(const std::string& path) {
  Target t;
  if (path.empty() || path == kStandardOutput) {
    t.kind = Kind::kStandardOutput;
    return t;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) inputError(path, "is a directory");
    if (isStandardOutputFile(st)) {
      t.kind = Kind::kStandardOutput;
      return t;
    }
    if (!S_ISREG(st.st_mode)) {
      t.kind = Kind::kThrough;
      t.file = path;
      return t;
    }
  } else if (errno != ENOENT) {
    inputError(path, "cannot write: " + reason(errno));
  }
  t.file = followLinks(path);
  if (::stat(t.file.c_str(), &st) == 0) {
    t.exists = true;
    t.mode = st.st_mode & 0777;
  }
  return t;
}

// What a plain create gives a new file: 0666 less the umask (the tool runs one thread, so
// reading the umask by setting it is safe here).
mode_t newFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// A new file beside `file`, under a name no other file has (mkstemp opens it with O_EXCL).
int makeTemporaryBeside(const std::string& file, std::string& name) {
  name = file + ".tmpXXXXXX";
  return ::mkstemp(&name[0]);
}

bool writeAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void writeThrough(const std::string& path, const std::string& content) {
  // A FIFO opens once a reader has it open, as for any writer.
  const int fd = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) inputError(path, "cannot write: " + reason(errno));
  bool ok = writeAll(fd, content);
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) inputError(path, "cannot write: " + reason(error));
}

void replaceWhole(const std::string& path, const Target& t, const std::string& content) {
  std::string temporary;
  const int fd = makeTemporaryBeside(t.file, temporary);
  if (fd < 0) inputError(path, "cannot write: " + reason(errno));
  bool ok = writeAll(fd, content) && ::fchmod(fd, t.exists ? t.mode : newFileMode()) == 0 && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && ::rename(temporary.c_str(), t.file.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    inputError(path, "cannot write: " + reason(error));
  }
}

}  // namespace

void writeOutput(const std::string& path, const std::string& content) {
  const Target t = resolve(path);
  switch (t.kind) {
    case Kind::kStandardOutput: std::fwrite(content.data(), 1, content.size(), stdout); return;
    case Kind::kThrough: writeThrough(t.file, content); return;
    case Kind::kReplace: replaceWhole(path, t, content); return;
  }
}

bool isStandardOutput(const std::string& path) { return resolve(path).kind == Kind::kStandardOutput; }

bool isFileOutput(const std::string& path) { return resolve(path).kind == Kind::kReplace; }

bool sameOutputFile(const std::string& a, const std::string& b) {
  const Target ta = resolve(a), tb = resolve(b);
  if (ta.kind != Kind::kReplace || tb.kind != Kind::kReplace) return false;
  struct stat sa, sb;
  if (::stat(ta.file.c_str(), &sa) == 0 && ::stat(tb.file.c_str(), &sb) == 0) return sameFile(sa, sb);
  std::error_code ea, eb;
  const std::filesystem::path ca = std::filesystem::weakly_canonical(ta.file, ea);
  const std::filesystem::path cb = std::filesystem::weakly_canonical(tb.file, eb);
  return !ea && !eb && ca == cb;
}

PendingOutput::PendingOutput(const std::string& path) : path_(path) {
  const Target t = resolve(path);
  int fd = -1;
  if (t.kind == Kind::kReplace) {
    target_ = t.file;
    hadFile_ = t.exists;
    mode_ = t.mode;
    fd = makeTemporaryBeside(target_, temporary_);
  } else {
    // Written through at commit: the content waits in the system's temporary folder.
    const std::string folder = std::filesystem::temp_directory_path().string();
    fd = makeTemporaryBeside(folder + "/calyx-output", temporary_);
  }
  if (fd < 0) inputError(path, "cannot write: " + reason(errno));
  ::close(fd);
}

PendingOutput::~PendingOutput() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void PendingOutput::commit() {
  if (target_.empty()) {
    std::ifstream in(temporary_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) inputError(path_, "cannot write: the temporary file " + temporary_ + " cannot be read back");
    writeOutput(path_, content.str());
    ::unlink(temporary_.c_str());
    temporary_.clear();
    return;
  }
  // The library may have replaced the temporary with a file of its own making: the
  // permission bits and the flush to disk are settled here.
  bool ok = ::chmod(temporary_.c_str(), hadFile_ ? mode_ : newFileMode()) == 0;
  int error = errno;
  if (ok) {
    const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
    ok = fd >= 0 && ::fsync(fd) == 0;
    error = errno;
    if (fd >= 0) ::close(fd);
  }
  if (ok && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) inputError(path_, "cannot write: " + reason(error));  // the destructor removes the temporary
  temporary_.clear();
}

bool finishStandardOutput() {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  return flushed && !std::ferror(stdout);
}

}  // namespace calyxtool
