// Reading the client's messages out of the byte stream, with no I/O: bytes in, frames out.
//
// A client message is one of:
//   login          "ID " ... exactly 118 bytes, no end-of-block marker;
//   binary insert  EBCDIC "INSERT " prefix, the EBCDIC length clause "(nnnnn)='",
//                  nnnnn raw bytes (any values, "LBXEOB" included), 0x7D, an
//                  optional 0x00, then "LBXEOB";
//   ordinary       any bytes up to the first "LBXEOB".
// A message longer than the limit is skipped up to its marker and reported as
// oversized, so one bad message never costs the session its framing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumbra::server {

struct Frame {
  enum class Kind {
    Ordinary,      // `text`: the bytes before the marker
    Login,         // `text`: the 118 bytes of the login message
    BinaryInsert,  // `text`: the EBCDIC prefix before the length clause; `data`: the raw bytes
    Malformed,     // a binary insert whose length clause, closing quote or marker is wrong
    Oversized,     // a message longer than the limit, skipped
  };
  Kind kind = Kind::Ordinary;
  std::string text;
  std::string data;
};

class FrameReader {
 public:
  explicit FrameReader(std::size_t limit) : limit_(limit) {}

  // The longest message accepted from now on (marker excluded).
  void setLimit(std::size_t limit) { limit_ = limit; }

  // Appends received bytes.
  void feed(const char* bytes, std::size_t length);

  // The next complete message, or nothing while more bytes are needed.
  std::optional<Frame> next();

  // Bytes received and not yet returned as a frame.
  std::size_t buffered() const { return buffer_.size() - start_; }

 private:
  std::optional<Frame> nextBinary(std::string_view pending);
  std::optional<Frame> skipOversized();
  std::optional<Frame> take(Frame frame, std::size_t consumed);

  std::string buffer_;
  std::size_t start_ = 0;      // first byte of the current message
  std::size_t scanned_ = 0;    // bytes of the current message already searched for the marker
  bool skipping_ = false;      // discarding an oversized message up to its marker
  bool reportSkipped_ = true;  // false when the skipped message was already answered
  std::size_t limit_;
};

}  // namespace lumbra::server
