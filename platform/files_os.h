// files_os.h -- the file calls each system's layer provides; the table in
// files_table.cpp adds the ones plain stdio does alike everywhere.
#pragma once

#include <cstdio>

#include "platform/files.h"

namespace platform::os {

bool createReplacement(const char* target, ReplacementFile& out);
int flushToDisk(std::FILE* stream);
bool replaceFile(const char* from, const char* to);

}  // namespace platform::os
