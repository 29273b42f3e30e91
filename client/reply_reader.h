// The reply reader: bytes in, "need more", a whole reply or "bad" out, with no I/O.
//
// The transport loop gathers bytes and asks after each receive; a test feeds
// bytes straight in. A reply is whole when it carries a head the caller
// expects (kHeadTag, or the continuation tag it asked for) and ends with the
// end-of-block marker; it is bad when its first six bytes are another head, or
// when the room is full and no marker ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace lumbra {

enum class ReplyState { NeedMore, Whole, Bad };

struct ReplyView {
  std::string_view tag;      // the first six bytes
  std::int32_t status = -1;  // the four status digits; -1 when they are not digits (a block of rows)
  std::string_view text;     // from offset 10 up to the marker (empty for a reply under 16 bytes)
};

// Reads the `length` bytes gathered so far, in a room of `limit` bytes (the
// most the reply may take); `tag` is the six-byte continuation tag also
// accepted besides kHeadTag. On Whole, `reply` describes the bytes.
ReplyState readReply(const char* bytes, std::size_t length, std::size_t limit, const char* tag,
                     ReplyView& reply);

}  // namespace lumbra
