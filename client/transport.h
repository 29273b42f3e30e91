// Message framing: sending with the end-of-block marker, receiving a whole reply, closing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumbra {

// What the caller sends: the login message, a binary insert, or a text.
enum class MessageKind { Login, BinaryInsert, Text };

// Sends `length` bytes of `buffer` with the marker behind them (none for the
// login message). A text gets the marker and a NUL at `length`; a binary
// insert gets the marker only. `capacity` is the size of `buffer`: a message
// whose marker would not fit is not sent. One send call: the result is the
// byte count, or LB_SEND_FAILED when fewer bytes went out.
std::int32_t sendMessage(std::int32_t socket, char* buffer, std::int32_t length, std::int32_t capacity,
                         MessageKind kind);

// Gathers one reply into `buffer`, at most capacity - 1 bytes, asking the
// reply reader after each receive. The first six
// bytes must be `tag` or "LBX000", the last six the marker. Returns the reply
// length (head and marker included), LB_RECEIVE_FAILED when the connection
// closed or failed, LB_SERVER_INACTIVE when the head or the marker is wrong or
// the reply cannot fit (a capacity below 17 holds no reply: nothing is read
// then). Writes no terminator.
std::int32_t receiveReply(std::int32_t socket, char* buffer, std::int32_t capacity, const char* tag);

// closesocket, then one release of the socket library.
void closeConnection(std::int32_t socket);

// The status of a reply of length n: 0 for "0000", 1..9999 for another four
// digits, -1 when the reply is shorter than 16 bytes or its status field is
// not four decimal digits.
std::int32_t replyStatus(const char* reply, std::int32_t length);

// Copies the text of a reply of length n >= 16 (offset 10 up to the marker)
// into `message` (`room` bytes) through writeMessage; a null `message` is
// skipped. Puts a NUL over the marker's first byte, as every reader of a reply does.
void copyReplyText(char* reply, std::int32_t length, char* message, std::size_t room);

}  // namespace lumbra
