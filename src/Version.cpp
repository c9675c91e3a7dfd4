#include "calyx/version.h"

namespace calyx {

// Compiled into the library, so that a host can tell the loaded library's version from the
// one of the headers it was built with (CALYX_VERSION_STRING).
const char* versionString() { return CALYX_VERSION_STRING; }

}  // namespace calyx
