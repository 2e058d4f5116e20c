// Fixed-size blocks lent to connections while they are busy. A server with
// thousands of idle clients holds memory only for the few that are reading
// or answering; a block given back is lent again without a call to the
// allocator, so the steady state allocates nothing per request.
#pragma once
#include <cstddef>

struct BufferPool {
  size_t blockSize;   // bytes of each block; 0 until InitBufferPool
  // Free blocks kept for the next borrower at most: after a burst, the
  // blocks beyond these go back to the system instead of staying with
  // the process for ever.
  size_t keep;
  void *free;         // the free blocks, linked through their first bytes
  size_t freeCount;
  size_t lent;        // blocks out with a borrower
};

void InitBufferPool(BufferPool *pool, size_t blockSize, size_t keep);
// A block of blockSize bytes, contents undefined; null when out of memory.
void *BorrowBlock(BufferPool *pool);
// Takes back a block from BorrowBlock (null is ignored).
void GiveBackBlock(BufferPool *pool, void *block);
// Frees the free blocks; those still lent are their borrowers' to give back.
void FreeBufferPool(BufferPool *pool);
