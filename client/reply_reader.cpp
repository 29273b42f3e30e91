// readReply: the head check, the end of a reply, and its parts.
#include "client/reply_reader.h"

#include "protocol/wire.h"

namespace lumbra {

ReplyState readReply(const char* bytes, std::size_t length, std::size_t limit, const char* tag,
                     ReplyView& reply) {
  if (length < kHeadTagLength) return length >= limit ? ReplyState::Bad : ReplyState::NeedMore;
  if (!hasReplyHead(bytes, length, tag)) return ReplyState::Bad;
  if (!endsWithMarker(bytes, length)) return length >= limit ? ReplyState::Bad : ReplyState::NeedMore;
  reply.tag = std::string_view(bytes, kHeadTagLength);
  reply.status = replyStatusOf(bytes, length);
  reply.text = length >= kMinimumReplyLength
                   ? std::string_view(bytes + kReplyTextOffset, length - kMinimumReplyLength)
                   : std::string_view();
  return ReplyState::Whole;
}

}  // namespace lumbra
