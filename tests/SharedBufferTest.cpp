#include "calyx/SharedBuffer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/BufferAccess.h"

namespace calyx {
namespace {

TEST(SharedBufferTest, ZeroByteBlockIsValidWithCountOne) {
  SharedBuffer* b = SharedBuffer::alloc(0);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->size(), 0u);
  EXPECT_EQ(detail::BufferAccess::refCount(b), 1);
  EXPECT_EQ(static_cast<char*>(b->data()) - reinterpret_cast<char*>(b), 8);
  EXPECT_EQ(b->release(0), 1);
}

TEST(SharedBufferTest, EditOfPrivateBlockReturnsTheSameBlock) {
  SharedBuffer* b = SharedBuffer::alloc(16);
  EXPECT_EQ(b->edit(), b);
  EXPECT_EQ(detail::BufferAccess::refCount(b), 1);
  b->release(0);
}

TEST(SharedBufferTest, EditOfSharedBlockCopiesTheDataAndDropsOneReference) {
  SharedBuffer* b = SharedBuffer::alloc(5);
  std::memcpy(b->data(), "abcde", 5);
  b->acquire();
  ASSERT_EQ(detail::BufferAccess::refCount(b), 2);
  SharedBuffer* copy = b->edit();
  ASSERT_NE(copy, b);
  EXPECT_EQ(detail::BufferAccess::refCount(copy), 1);
  EXPECT_EQ(copy->size(), 5u);
  EXPECT_EQ(std::memcmp(copy->data(), "abcde", 5), 0);
  EXPECT_EQ(detail::BufferAccess::refCount(b), 1);
  copy->release(0);
  b->release(0);
}

TEST(SharedBufferTest, ReleaseReturnsTheCountBeforeAndFreesOnlyTheLast) {
  SharedBuffer* b = SharedBuffer::alloc(4);
  b->acquire();
  b->acquire();
  EXPECT_EQ(b->release(0), 3);
  EXPECT_EQ(detail::BufferAccess::refCount(b), 2);
  EXPECT_EQ(b->release(0), 2);
  EXPECT_EQ(detail::BufferAccess::refCount(b), 1);
  EXPECT_EQ(b->release(0), 1);  // freed (valgrind/ASan would flag a leak or a double free)
}

TEST(SharedBufferTest, KeepStorageFlagKeepsTheLastReference) {
  SharedBuffer* b = SharedBuffer::alloc(4);
  EXPECT_EQ(b->release(1), 1);
  EXPECT_EQ(detail::BufferAccess::refCount(b), 1);  // still readable: the block was kept
  EXPECT_EQ(b->release(0), 1);
}

}  // namespace
}  // namespace calyx
