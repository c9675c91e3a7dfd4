#include "calyx/SharedBuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace calyx {

SharedBuffer* SharedBuffer::alloc(unsigned int size) {
  void* raw = std::malloc(sizeof(SharedBuffer) + static_cast<std::size_t>(size));
  if (raw == nullptr) return nullptr;
  SharedBuffer* block = new (raw) SharedBuffer();
  block->refs_.store(1, std::memory_order_seq_cst);
  block->size_ = size;
  return block;
}

void SharedBuffer::acquire() const { refs_.fetch_add(1, std::memory_order_seq_cst); }

void SharedBuffer::destroy() const {
  this->~SharedBuffer();
  std::free(const_cast<SharedBuffer*>(this));
}

int SharedBuffer::release(unsigned int flags) const {
  if (refs_.load(std::memory_order_seq_cst) != 1) {
    const int before = refs_.fetch_sub(1, std::memory_order_seq_cst);
    if (before != 1) return before;
  }
  // Last reference: the count stays at 1, whether freed or kept.
  if ((flags & 1u) == 0) destroy();
  return 1;
}

SharedBuffer* SharedBuffer::edit() const {
  if (refs_.load(std::memory_order_seq_cst) == 1) return const_cast<SharedBuffer*>(this);
  SharedBuffer* copy = alloc(size_);
  if (copy == nullptr) return nullptr;
  std::memcpy(copy->data(), data(), size_);
  // Re-read the count: holders that let go during the copy leave this block to us to free.
  release(0);
  return copy;
}

}  // namespace calyx
