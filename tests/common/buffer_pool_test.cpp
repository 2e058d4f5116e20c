// The block pool: a block given back is the next one lent, so a steady
// load never calls the allocator; past the kept count, blocks go back to
// the system.
#include <gtest/gtest.h>

#include <cstring>

#include "buffer_pool.h"

TEST(BufferPool, GivenBackBlocksAreLentAgainUpToTheKeptCount) {
  BufferPool pool;
  InitBufferPool(&pool, 4096, 2);
  void *a = BorrowBlock(&pool), *b = BorrowBlock(&pool), *c = BorrowBlock(&pool);
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(a != b && b != c && a != c);
  // Every byte is the borrower's, the link of the free list included.
  memset(a, 0xa5, 4096);
  memset(b, 0x5a, 4096);
  EXPECT_EQ(pool.lent, 3u);
  GiveBackBlock(&pool, a);
  GiveBackBlock(&pool, b);
  GiveBackBlock(&pool, c);  // one more than is kept: freed
  EXPECT_EQ(pool.freeCount, 2u);
  EXPECT_EQ(pool.lent, 0u);
  void *again = BorrowBlock(&pool), *next = BorrowBlock(&pool);
  EXPECT_EQ(again, b);
  EXPECT_EQ(next, a);
  EXPECT_EQ(pool.freeCount, 0u);
  GiveBackBlock(&pool, again);
  GiveBackBlock(&pool, next);
  GiveBackBlock(&pool, nullptr);
  FreeBufferPool(&pool);
  EXPECT_EQ(pool.freeCount, 0u);
  EXPECT_EQ(pool.free, nullptr);
}
