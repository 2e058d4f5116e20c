// The block pool: a block given back is the next one lent, so a steady
// load never calls the allocator; a trim frees what the busiest moment
// since the last one did not need.
#include <gtest/gtest.h>

#include <cstring>

#include "buffer_pool.h"

TEST(BufferPool, GivenBackBlocksAreLentAgainAndATrimKeepsThePeak) {
  BufferPool pool;
  InitBufferPool(&pool, 4096, 1);
  void *a = BorrowBlock(&pool), *b = BorrowBlock(&pool), *c = BorrowBlock(&pool);
  ASSERT_TRUE(a && b && c);
  EXPECT_TRUE(a != b && b != c && a != c);
  // Every byte is the borrower's, the link of the free list included.
  memset(a, 0xa5, 4096);
  memset(b, 0x5a, 4096);
  GiveBackBlock(&pool, a);
  GiveBackBlock(&pool, b);
  EXPECT_EQ(BorrowBlock(&pool), b);
  EXPECT_EQ(BorrowBlock(&pool), a);
  GiveBackBlock(&pool, a);
  GiveBackBlock(&pool, b);
  // Three were out at once since the start: the trim keeps room for them.
  TrimBufferPool(&pool);
  EXPECT_EQ(pool.freeCount, 2u);
  EXPECT_EQ(pool.lent, 1u);
  // A quiet interval: only `keep` blocks stay (the one lent counts).
  TrimBufferPool(&pool);
  EXPECT_EQ(pool.freeCount, 0u);
  GiveBackBlock(&pool, c);
  GiveBackBlock(&pool, nullptr);
  TrimBufferPool(&pool);
  EXPECT_EQ(pool.freeCount, 1u);
  FreeBufferPool(&pool);
  EXPECT_EQ(pool.freeCount, 0u);
  EXPECT_EQ(pool.free, nullptr);
}
