#include "links/QueueBuffer.h"

#include <gtest/gtest.h>

namespace orvela {
namespace {

TEST(QueueBuffer, NewBufferBehavesLikeAResetOne) {
  QueueBuffer fresh;
  EXPECT_EQ(fresh.Take(), 0);  // no read at index -1
  EXPECT_EQ(fresh.Count(), 0);
  fresh.Put(0x41);
  fresh.Put(0x42);
  EXPECT_EQ(fresh.Take(), 0x41);
  EXPECT_EQ(fresh.Take(), 0x42);
  EXPECT_EQ(fresh.Take(), 0);
  EXPECT_EQ(fresh.Count(), 0);
}

TEST(QueueBuffer, OverflowKeepsOnlyTheBytesWrittenAfterTheWrap) {
  QueueBuffer buffer;
  for (int i = 0; i < QueueBuffer::kCapacity; ++i) buffer.Put(static_cast<uint8_t>(i));
  EXPECT_EQ(buffer.Count(), QueueBuffer::kCapacity);
  EXPECT_EQ(buffer.Room(), 0);
  buffer.Take();
  buffer.Take();  // the read position is well inside the old data when the write wraps
  buffer.Put(0xA5);
  buffer.Put(0x5A);
  EXPECT_EQ(buffer.Count(), 2);
  EXPECT_EQ(buffer.Take(), 0xA5);
  EXPECT_EQ(buffer.Take(), 0x5A);
  EXPECT_EQ(buffer.Count(), 0);
}

TEST(QueueBuffer, ResetDropsUnreadBytesAndDrainedBufferRefills) {
  QueueBuffer buffer;
  for (int i = 0; i < QueueBuffer::kCapacity; ++i) buffer.Put(1);
  for (int i = 0; i < QueueBuffer::kCapacity; ++i) buffer.Take();
  EXPECT_EQ(buffer.Take(), 0);  // read position at the end: still nothing stale
  buffer.Put(7);
  EXPECT_EQ(buffer.Take(), 7);
  buffer.Put(8);
  buffer.Reset();
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(buffer.Room(), QueueBuffer::kCapacity);
  EXPECT_EQ(buffer.Take(), 0);
}

}  // namespace
}  // namespace orvela
