// blocks.h -- where the libraries' memory blocks come from (the C heap), behind
// a table so that tests can make an allocation fail.
#pragma once

#include <cstddef>

namespace platform {

struct BlockCalls {
  // malloc's contract: a block of `size` bytes, or null.
  void* (*allocate)(std::size_t size);
  // free's contract: null is ignored.
  void (*release)(void* block);
};

// The live table; tests may swap entries and put the system's back with resetBlockCalls().
BlockCalls& blockCalls();
// Puts the system's own calls back into the table.
void resetBlockCalls();
// The table as the system provides it.
const BlockCalls& systemBlockCalls();

}  // namespace platform
