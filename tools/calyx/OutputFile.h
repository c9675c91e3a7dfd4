// Where the tool's results go, for every command and every output option.
//
//  - "-" is standard output, and so is a name for the file standard output already writes to.
//  - A device, FIFO or socket (/dev/null, a named pipe) is written straight through.
//  - Anything else is a regular file, reached through any symbolic links (the link stays and
//    the file it points to is replaced). Its content goes to a new temporary file in that
//    file's folder, made by mkstemp (never an existing name, never a link planted there), and
//    is renamed over it, so that a failed run leaves the old file as it was. The new file
//    takes the permission bits of the file it replaces, or 0666 less the umask when there
//    was none (owner, group, ACLs and hard links of the old file are not carried over).
#ifndef CALYX_TOOL_OUTPUTFILE_H
#define CALYX_TOOL_OUTPUTFILE_H

#include <string>
#include <sys/types.h>

namespace calyxtool {

/// The name that stands for standard output in output options.
inline const std::string kStandardOutput = "-";

/// Writes `content` to the output `path` as above. InputError naming `path` when it cannot.
/// Standard output's write errors are found at exit (see finishStandardOutput).
void writeOutput(const std::string& path, const std::string& content);

/// True when `path` is standard output (by name or as the same file); such an output must not
/// be mixed with the command's own messages.
bool isStandardOutput(const std::string& path);
/// True when `path` names a regular file or a file yet to be made (not standard output, not a
/// device or FIFO): an output that may have files made beside it.
bool isFileOutput(const std::string& path);

/// True when the two outputs would write the same regular file (links followed).
bool sameOutputFile(const std::string& a, const std::string& b);

/// An output the library writes by name (the calibration file, the debug CSV). The library
/// writes to temporary(), a new file made as above; commit() puts the content in place as
/// writeOutput does. A temporary never committed is removed.
class PendingOutput {
 public:
  explicit PendingOutput(const std::string& path);
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  const std::string& temporary() const { return temporary_; }
  /// InputError naming the output when the content cannot be put in place.
  void commit();

 private:
  std::string path_;       // as given, for messages
  std::string target_;     // the regular file to replace (links followed); empty when written through
  bool hadFile_ = false;   // target_ existed: its permission bits are kept
  mode_t mode_ = 0;
  std::string temporary_;  // empty once committed
};

/// Flushes standard output; false when anything written to it was lost (a full disk, a
/// closed pipe), with errno telling why.
bool finishStandardOutput();

}  // namespace calyxtool

#endif  // CALYX_TOOL_OUTPUTFILE_H
