// blocks.cpp -- the table of block calls over the C heap.
#include "platform/blocks.h"

#include <cstdlib>

namespace platform {

namespace {

void* heapAllocate(std::size_t size) { return std::malloc(size); }
void heapRelease(void* block) { std::free(block); }

}  // namespace

const BlockCalls& systemBlockCalls() {
  static const BlockCalls calls{heapAllocate, heapRelease};
  return calls;
}

BlockCalls& blockCalls() {
  static BlockCalls live = systemBlockCalls();
  return live;
}

void resetBlockCalls() { blockCalls() = systemBlockCalls(); }

}  // namespace platform
