#include "InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Error.h"

namespace calyxtool {

namespace {

// Closes the descriptor on every way out, thrown errors included.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string readInputFile(const std::string& path, const std::string& kind) {
  // Non-blocking, so that opening a FIFO does not wait for a writer before it is refused.
  const Descriptor in{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (in.fd < 0) {
    if (errno == EISDIR) inputError(path, "is a directory, not " + kind);
    inputError(path, std::string("cannot open: ") + std::strerror(errno));
  }
  struct stat st;
  if (::fstat(in.fd, &st) != 0) inputError(path, std::string("cannot read: ") + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) inputError(path, "is a directory, not " + kind);
  if (!S_ISREG(st.st_mode)) inputError(path, "is not a regular file (a device, FIFO or socket): inputs are read from files");
  const std::string tooLarge = "is larger than 64 MiB, the limit for an input file";
  if (static_cast<unsigned long long>(st.st_size) > kMaxInputBytes) inputError(path, tooLarge);

  // The size may change while the file is read: the limit holds for what is read.
  std::string content;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) inputError(path, std::string("cannot read: ") + std::strerror(errno));
    if (n == 0) break;
    if (content.size() + static_cast<std::size_t>(n) > kMaxInputBytes) inputError(path, tooLarge);
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

void refuseOutputOverInputs(const std::string& output, const std::vector<std::string>& inputs) {
  struct stat out;
  if (output.empty() || ::stat(output.c_str(), &out) != 0 || !S_ISREG(out.st_mode)) return;
  for (const std::string& input : inputs) {
    struct stat in;
    if (input.empty() || ::stat(input.c_str(), &in) != 0) continue;
    if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
      inputError(output, (input == output ? std::string("is also an input") : "is the same file as the input " + input) +
                             " of this run: an output never replaces an input");
  }
}

}  // namespace calyxtool
