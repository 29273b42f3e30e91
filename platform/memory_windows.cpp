// Session memory on Windows: movable global memory, zero-filled, locked while it is held.
#include <windows.h>

#include "platform/memory_os.h"

namespace platform::os {

void* allocateSession(std::size_t size) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size == 0 ? 1 : size);
  if (handle == nullptr) return nullptr;
  void* block = GlobalLock(handle);
  if (block == nullptr) GlobalFree(handle);
  return block;
}

void releaseSession(void* block) {
  if (block == nullptr) return;
  HGLOBAL handle = GlobalHandle(block);
  if (handle == nullptr) return;
  GlobalUnlock(handle);
  GlobalFree(handle);
}

}  // namespace platform::os
