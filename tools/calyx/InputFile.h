// Every file the tool reads (configurations, rates, standards, compositions, calibrations, MCA
// spectra) is opened here. Only a regular file is read: a device such as /dev/zero never ends
// and a FIFO waits for a writer. And only up to a size far above any real input, so that a
// wrong file cannot exhaust the memory.
#ifndef CALYX_TOOL_INPUTFILE_H
#define CALYX_TOOL_INPUTFILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace calyxtool {

/// The largest input file read: 64 MiB.
constexpr std::size_t kMaxInputBytes = std::size_t{64} << 20;

/// The content of `path`. InputError naming it when it cannot be opened, is a directory ("is
/// a directory, not `kind`"), is not a regular file, or is larger than kMaxInputBytes.
std::string readInputFile(const std::string& path, const std::string& kind);

/// InputError naming `output` when it is the same file (device and inode) as one of `inputs`
/// (entries that are no file, such as "Fe=0.7,Ni=0.3", are skipped): writing it would replace
/// an input of the same run.
void refuseOutputOverInputs(const std::string& output, const std::vector<std::string>& inputs);

}  // namespace calyxtool

#endif  // CALYX_TOOL_INPUTFILE_H
