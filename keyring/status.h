// status.h -- the library's status codes with their names and texts, one table.
#pragma once

#include <cstdint>

namespace orvak {

struct StatusInfo {
  int32_t code;
  const char* name;
  const char* text;
};

// The entry of a status code; an "unknown status" entry for any other value.
const StatusInfo& statusInfo(int32_t code);

}  // namespace orvak
