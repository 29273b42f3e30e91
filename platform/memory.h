// memory.h -- where the libraries' memory comes from, behind one table so that
// tests can make an allocation fail.
//
// Two kinds of block: heap blocks (orvak32's list records) and session memory
// (lumbra32's Session records and their buffers), which on Windows is movable
// global memory, zero-filled and locked for as long as it is held. Each block
// goes back through the release call of its own kind.
#pragma once

#include <cstddef>

namespace platform {

struct MemoryCalls {
  // malloc's contract: a block of `size` bytes, or null.
  void* (*allocate)(std::size_t size);
  // free's contract: null is ignored.
  void (*release)(void* block);
  // A zero-filled block of `size` bytes (at least one) that stays where it is
  // until released, or null: GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT) then
  // GlobalLock on Windows, calloc elsewhere.
  void* (*allocateSession)(std::size_t size);
  // GlobalHandle, GlobalUnlock and GlobalFree of a block from allocateSession
  // (free elsewhere); null is ignored.
  void (*releaseSession)(void* block);
};

// The live table; tests may swap entries and put the system's back with resetMemoryCalls().
MemoryCalls& memoryCalls();
// Puts the system's own calls back into the table.
void resetMemoryCalls();
// The table as the system provides it (the session calls from memory_posix.cpp
// or memory_windows.cpp through memory_os.h).
const MemoryCalls& systemMemoryCalls();

}  // namespace platform
