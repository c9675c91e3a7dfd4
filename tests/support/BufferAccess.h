// Test access to the copy-on-write internals: a buffer's reference count and a spectrum's
// buffer handle, which the public interface keeps private.
#ifndef CALYX_TESTS_SUPPORT_BUFFERACCESS_H
#define CALYX_TESTS_SUPPORT_BUFFERACCESS_H

#include "calyx/SharedBuffer.h"

namespace calyx {
namespace detail {

struct BufferAccess {
  static int refCount(const SharedBuffer* buffer) { return buffer->refCount(); }
  template <typename Spectrum>
  static const SharedBuffer* buffer(const Spectrum& spectrum) {
    return spectrum.buffer();
  }
};

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_BUFFERACCESS_H
