/// @file
/// A reference-counted block of raw bytes with copy-on-write, the storage of the spectra.
///
/// One heap block: an atomic 32-bit reference count, a 32-bit byte size, then the data.
/// A holder's handle is the block's address. A block with count 1 belongs to its one holder,
/// who may write it in place; a block with a higher count is read-only for everyone.
/// Threads: the count is atomic, so holders on different threads may share a block; the
/// data bytes are not synchronised (hence read-only while shared).
#ifndef CALYX_SHAREDBUFFER_H
#define CALYX_SHAREDBUFFER_H

#include <atomic>
#include <cstdint>

#include "calyx/export.h"

namespace calyx {

namespace detail {
struct BufferAccess;  // tests reach the reference counts and handles through it
}  // namespace detail

/// One copy-on-write block; made by alloc(), freed by the release() of its last holder.
class CALYX_EXPORT SharedBuffer {
 public:
  /// A new block of `size` uninitialised data bytes with count 1, or null when the heap is
  /// exhausted (or the size does not fit in memory).
  static SharedBuffer* alloc(unsigned int size);

  /// Takes one more reference (atomic increment).
  void acquire() const;
  /// Gives up one reference; returns the count as it was before (1 for the last holder).
  /// The last reference frees the block unless bit 0 of `flags` (keep storage) is set.
  int release(unsigned int flags) const;
  /// A block the caller may write: this one when private, else a private copy; the caller
  /// must replace its handle with the result at once. Null when a copy was needed and no
  /// memory was available; this block then keeps the caller's reference.
  SharedBuffer* edit() const;

  /// The data bytes, just after the header (8-byte aligned).
  void* data() const { return const_cast<char*>(reinterpret_cast<const char*>(this)) + sizeof(SharedBuffer); }
  unsigned int size() const { return size_; }  ///< data bytes
  SharedBuffer(const SharedBuffer&) = delete;
  SharedBuffer& operator=(const SharedBuffer&) = delete;

 private:
  friend struct detail::BufferAccess;
  /// The current reference count (a snapshot; for tests, through detail::BufferAccess).
  int refCount() const { return refs_.load(std::memory_order_seq_cst); }
  SharedBuffer() = default;
  ~SharedBuffer() = default;
  void destroy() const;

  mutable std::atomic<std::int32_t> refs_{1};
  std::uint32_t size_ = 0;
};

static_assert(sizeof(std::atomic<std::int32_t>) == 4, "the block header is 8 bytes");

}  // namespace calyx

#endif  // CALYX_SHAREDBUFFER_H
