// Building replies: head tag, four status digits, text, end-of-block marker, within the client's capacity.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "server/status.h"

namespace lumbra::server {

// A reply of at most `maxBytes` bytes (the client's capacity minus one): the
// text is cut where it would pass that. `status` is 0..9999.
std::string makeReply(int status, std::string_view text, std::size_t maxBytes,
                      std::string_view tag = "LBX000");

// A refusal: the status's own text, followed by `detail` when there is one.
std::string makeRefusal(Status status, std::string_view detail, std::size_t maxBytes);

}  // namespace lumbra::server
