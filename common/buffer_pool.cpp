#include "buffer_pool.h"

#include <cstdlib>

void InitBufferPool(BufferPool *pool, size_t blockSize, size_t keep) {
  // A free block holds the link to the next one.
  *pool = BufferPool{blockSize < sizeof(void *) ? sizeof(void *) : blockSize, keep,
                     nullptr, 0, 0};
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
  pool->lent++;
  return block;
}

void GiveBackBlock(BufferPool *pool, void *block) {
  if (!block) return;
  pool->lent--;
  if (pool->freeCount >= pool->keep) {
    free(block);
    return;
  }
  *(void **)block = pool->free;
  pool->free = block;
  pool->freeCount++;
}

void FreeBufferPool(BufferPool *pool) {
  while (pool->free) {
    void *next = *(void **)pool->free;
    free(pool->free);
    pool->free = next;
  }
  pool->freeCount = 0;
}
