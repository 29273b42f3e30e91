// memory_table.cpp -- the table of memory calls: the C heap, the system's session memory, putting the system's back.
#include "platform/memory.h"

#include <cstdlib>

#include "platform/memory_os.h"

namespace platform {

namespace {

void* heapAllocate(std::size_t size) { return std::malloc(size); }
void heapRelease(void* block) { std::free(block); }

}  // namespace

const MemoryCalls& systemMemoryCalls() {
  static constexpr MemoryCalls kCalls = {heapAllocate, heapRelease, os::allocateSession, os::releaseSession};
  return kCalls;
}

MemoryCalls& memoryCalls() {
  static MemoryCalls live = systemMemoryCalls();
  return live;
}

void resetMemoryCalls() { memoryCalls() = systemMemoryCalls(); }

}  // namespace platform
