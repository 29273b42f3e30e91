// Session memory on Linux: calloc and free.
#include <cstdlib>

#include "platform/memory_os.h"

namespace platform::os {

void* allocateSession(std::size_t size) { return std::calloc(1, size == 0 ? 1 : size); }
void releaseSession(void* block) { std::free(block); }

}  // namespace platform::os
