// files_table.cpp -- the live table of file calls, filled from the system's.
#include "platform/files.h"

namespace platform {

FileCalls& fileCalls() {
    static FileCalls live = systemFileCalls();
    return live;
}

}  // namespace platform
