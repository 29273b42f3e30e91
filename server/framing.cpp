// Client message framing: login, binary insert and ordinary messages, oversized skipping.
#include "server/framing.h"

#include <cstring>

#include "protocol/wire.h"

namespace lumbra::server {

namespace {

constexpr std::string_view kMarker{kEndOfBlock, kEndOfBlockLength};

bool startsWithBinaryPrefix(std::string_view bytes) {
  return bytes.size() >= sizeof kBinaryInsertPrefix &&
         std::memcmp(bytes.data(), kBinaryInsertPrefix, sizeof kBinaryInsertPrefix) == 0;
}

// Position of the first length clause at or after `from`, or npos; its value in `length`.
std::size_t findClause(std::string_view bytes, std::size_t from, std::size_t& length) {
  for (std::size_t i = from; i + kLengthClauseLength <= bytes.size(); ++i) {
    if (readEbcdicLengthClause(reinterpret_cast<const unsigned char*>(bytes.data() + i), length)) return i;
  }
  return std::string_view::npos;
}

}  // namespace

void FrameReader::feed(const char* bytes, std::size_t length) {
  if (start_ == buffer_.size() && buffer_.capacity() > 256 * 1024) {
    // Everything was taken: give back the room a large message needed.
    std::string().swap(buffer_);
    start_ = 0;
  }
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes, length);
}

std::optional<Frame> FrameReader::take(Frame frame, std::size_t consumed) {
  start_ += consumed;
  scanned_ = 0;
  return frame;
}

std::optional<Frame> FrameReader::next() {
  if (skipping_) return skipOversized();
  std::string_view pending{buffer_.data() + start_, buffer_.size() - start_};
  if (pending.empty()) return std::nullopt;

  // The kind of message shows in its first bytes.
  if (mayStartLogin(pending.data(), pending.size())) return std::nullopt;
  if (startsLogin(pending.data(), pending.size())) {
    if (pending.size() < kLoginLength) return std::nullopt;
    Frame frame{Frame::Kind::Login, std::string(pending.substr(0, kLoginLength)), {}};
    return take(std::move(frame), kLoginLength);
  }
  if (static_cast<unsigned char>(pending[0]) == kBinaryInsertPrefix[0] &&
      pending.size() < sizeof kBinaryInsertPrefix &&
      std::memcmp(pending.data(), kBinaryInsertPrefix, pending.size()) == 0) {
    return std::nullopt;
  }
  if (startsWithBinaryPrefix(pending)) return nextBinary(pending);

  // Ordinary: search for the marker from where the last search stopped.
  std::size_t from = scanned_ >= kMarker.size() ? scanned_ - (kMarker.size() - 1) : 0;
  std::size_t at = pending.find(kMarker, from);
  if (at == std::string_view::npos) {
    scanned_ = pending.size();
    if (pending.size() > limit_ + kMarker.size()) {
      skipping_ = true;
      // Keep only what could be the start of the marker.
      start_ = buffer_.size() - (kMarker.size() - 1);
      scanned_ = 0;
      return skipOversized();
    }
    return std::nullopt;
  }
  if (at > limit_) {
    return take(Frame{Frame::Kind::Oversized, {}, {}}, at + kMarker.size());
  }
  return take(Frame{Frame::Kind::Ordinary, std::string(pending.substr(0, at)), {}}, at + kMarker.size());
}

std::optional<Frame> FrameReader::skipOversized() {
  std::string_view pending{buffer_.data() + start_, buffer_.size() - start_};
  std::size_t at = pending.find(kMarker);
  if (at == std::string_view::npos) {
    std::size_t keep = kMarker.size() - 1;
    if (pending.size() > keep) start_ = buffer_.size() - keep;
    return std::nullopt;
  }
  skipping_ = false;
  std::optional<Frame> frame = take(Frame{Frame::Kind::Oversized, {}, {}}, at + kMarker.size());
  if (!reportSkipped_) {
    // The message was already answered as malformed; go on with the next one.
    reportSkipped_ = true;
    return next();
  }
  return frame;
}

std::optional<Frame> FrameReader::nextBinary(std::string_view pending) {
  std::size_t dataLength = 0;
  std::size_t clause = findClause(pending, sizeof kBinaryInsertPrefix, dataLength);
  if (clause == std::string_view::npos) {
    // Without a length clause the message cannot hold raw data: it ends at the marker.
    std::size_t at = pending.find(kMarker);
    if (at == std::string_view::npos) {
      if (pending.size() > limit_ + kMarker.size()) {
        skipping_ = true;
        start_ = buffer_.size() - (kMarker.size() - 1);
        return skipOversized();
      }
      return std::nullopt;
    }
    return take(Frame{Frame::Kind::Malformed, std::string(pending.substr(0, at)), {}}, at + kMarker.size());
  }
  std::size_t dataStart = clause + kLengthClauseLength;
  std::size_t quote = dataStart + dataLength;
  // The closing quote, then the marker or a zero byte and the marker.
  if (pending.size() < quote + 1 + kMarker.size()) return std::nullopt;
  std::size_t end = 0;
  bool wellFormed = static_cast<unsigned char>(pending[quote]) == kEbcdicApostrophe;
  if (wellFormed) {
    if (pending.substr(quote + 1, kMarker.size()) == kMarker) {
      end = quote + 1 + kMarker.size();
    } else if (pending[quote + 1] == '\0') {
      if (pending.size() < quote + 2 + kMarker.size()) return std::nullopt;
      if (pending.substr(quote + 2, kMarker.size()) == kMarker) {
        end = quote + 2 + kMarker.size();
      } else {
        wellFormed = false;
      }
    } else {
      wellFormed = false;
    }
  }
  if (!wellFormed) {
    // Framing is lost inside this message: resume after the next marker.
    std::size_t at = pending.find(kMarker, quote);
    if (at == std::string_view::npos) {
      skipping_ = true;
      reportSkipped_ = false;
      start_ = buffer_.size() - (kMarker.size() - 1);
      scanned_ = 0;
      return Frame{Frame::Kind::Malformed, {}, {}};
    }
    return take(Frame{Frame::Kind::Malformed, {}, {}}, at + kMarker.size());
  }
  if (quote + 1 > limit_) return take(Frame{Frame::Kind::Oversized, {}, {}}, end);
  Frame frame{Frame::Kind::BinaryInsert, std::string(pending.substr(0, clause)),
              std::string(pending.substr(dataStart, dataLength))};
  return take(std::move(frame), end);
}

}  // namespace lumbra::server
