#include "buffer_pool.h"

#include <cstdlib>

void InitBufferPool(BufferPool *pool, size_t blockSize, size_t keep) {
  // A free block holds the link to the next one.
  *pool = BufferPool{blockSize < sizeof(void *) ? sizeof(void *) : blockSize, keep,
                     nullptr, 0, 0, 0};
}

void *BorrowBlock(BufferPool *pool) {
  void *block = pool->free;
  if (block) {
    pool->free = *(void **)block;
    pool->freeCount--;
  } else {
    block = malloc(pool->blockSize);
    if (!block) return nullptr;
  }
  if (++pool->lent > pool->peak) pool->peak = pool->lent;
  return block;
}

void GiveBackBlock(BufferPool *pool, void *block) {
  if (!block) return;
  pool->lent--;
  *(void **)block = pool->free;
  pool->free = block;
  pool->freeCount++;
}

void TrimBufferPool(BufferPool *pool) {
  size_t need = pool->peak > pool->keep ? pool->peak : pool->keep;
  size_t freeNeeded = need > pool->lent ? need - pool->lent : 0;
  while (pool->freeCount > freeNeeded) {
    void *next = *(void **)pool->free;
    free(pool->free);
    pool->free = next;
    pool->freeCount--;
  }
  pool->peak = pool->lent;
}

void FreeBufferPool(BufferPool *pool) {
  while (pool->free) {
    void *next = *(void **)pool->free;
    free(pool->free);
    pool->free = next;
  }
  pool->freeCount = 0;
}
