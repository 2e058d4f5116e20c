// Fixed-size blocks lent to connections while they are busy. A server with
// thousands of idle clients holds memory only for the few that are reading
// or answering; a block given back is lent again without a call to the
// allocator, so the steady state allocates nothing per request.
#pragma once
#include <cstddef>

struct BufferPool {
  size_t blockSize;   // bytes of each block; 0 until InitBufferPool
  // Free blocks a trim always leaves for the next borrowers.
  size_t keep;
  void *free;         // the free blocks, linked through their first bytes
  size_t freeCount;
  size_t lent;        // blocks out with a borrower
  size_t peak;        // most lent at once since the last trim
};

void InitBufferPool(BufferPool *pool, size_t blockSize, size_t keep);
// A block of blockSize bytes, contents undefined; null when out of memory.
void *BorrowBlock(BufferPool *pool);
// Takes back a block from BorrowBlock (null is ignored); it stays with the
// pool until a trim.
void GiveBackBlock(BufferPool *pool, void *block);
// Frees the free blocks that the busiest moment since the last trim did
// not need (beyond `keep`): called now and then (once a second), so a
// steady load keeps its blocks and a burst's go back to the system.
void TrimBufferPool(BufferPool *pool);
// Frees the free blocks; those still lent are their borrowers' to give back.
void FreeBufferPool(BufferPool *pool);
