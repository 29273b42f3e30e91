// memory_os.h -- the session memory calls each system's file provides
// (memory_posix.cpp, memory_windows.cpp); memory_table.cpp puts them in the table.
#pragma once

#include <cstddef>

namespace platform::os {

void* allocateSession(std::size_t size);
void releaseSession(void* block);

}  // namespace platform::os
