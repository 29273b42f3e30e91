// The run-length escape: outgoing form (client batches) and incoming form (server rows).
//
// What the server may rely on: one escape character '@' and the digit alphabet
// 0-9A-Z (values 0..35) in both forms.
//   outgoing (client -> server, batched INSERT/UPDATE/DELETE texts):
//     "@@" is one '@'; '@', one digit d and a character c are d+1 copies of c
//     (the client writes only runs of 4..36); the characters " ' ( ) < = > are
//     never part of a run; every other byte stands for itself.
//   incoming (server -> client, row data):
//     "@@" is one '@'; '@', two digits d1 d2 and a byte c are d1*36+d2 copies of
//     c (0..1295); every other byte stands for itself.
// Every function is bounded: it never reads past the given source length nor
// writes past the given capacity, and says so with a negative result.
#pragma once

#include <cstddef>

namespace lumbra {

enum RunLengthError : std::ptrdiff_t {
  kRunLengthNoRoom = -1,     // the output would pass the capacity
  kRunLengthTruncated = -2,  // the source ends inside an escape or before the row is complete
  kRunLengthBadDigit = -3,   // a character after '@' outside the digit alphabet
  kRunLengthOverrun = -4,    // a run longer than the rest of the row
};

// Client: writes the outgoing form of the NUL-terminated `source` into
// `destination` (no terminator). Returns the number of bytes written, or
// kRunLengthNoRoom when they would not fit in `capacity` bytes.
std::ptrdiff_t encodeOutgoingRunLength(char* destination, std::size_t capacity, const char* source);
// The same for a text whose length the caller has already counted (`length`
// bytes, none of them NUL).
std::ptrdiff_t encodeOutgoingRunLength(char* destination, std::size_t capacity, const char* source,
                                       std::size_t length);
// The number of bytes encodeOutgoingRunLength writes for `length` bytes of
// `source`, counted without writing them.
std::size_t outgoingRunLengthSize(const char* source, std::size_t length);

// Client: decodes one row of exactly `rowLength` bytes from the incoming form
// in `source` (at most `sourceLength` bytes may be read) into `row`. Returns the
// number of source bytes consumed, or kRunLengthTruncated, kRunLengthBadDigit
// or kRunLengthOverrun. Writes no terminator.
std::ptrdiff_t decodeIncomingRunLength(const char* source, std::size_t sourceLength, char* row,
                                       std::size_t rowLength);

// Server: decodes `sourceLength` bytes of the outgoing form into `destination`.
// Returns the decoded length or a RunLengthError.
std::ptrdiff_t decodeOutgoingRunLength(const char* source, std::size_t sourceLength, char* destination,
                                       std::size_t capacity);

// Server: writes `sourceLength` bytes (any values) in the incoming form.
// Returns the encoded length or kRunLengthNoRoom.
std::ptrdiff_t encodeIncomingRunLength(const char* source, std::size_t sourceLength, char* destination,
                                       std::size_t capacity);

namespace detail {
// encodeOutgoingRunLength and decodeIncomingRunLength with the portable
// eight-byte scans only, as the builds without SSE2 run them: for the tests of
// the builds that have it.
std::ptrdiff_t encodeOutgoingRunLengthByWords(char* destination, std::size_t capacity, const char* source,
                                              std::size_t length);
std::ptrdiff_t decodeIncomingRunLengthByWords(const char* source, std::size_t sourceLength, char* row,
                                              std::size_t rowLength);
}  // namespace detail

// The largest encoded size of `length` bytes in the incoming form (every byte an '@').
constexpr std::size_t incomingRunLengthBound(std::size_t length) { return 2 * length; }

}  // namespace lumbra
