// The Session record, the SessionTable of 500 slots and the handle check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/lumbra32.h"
#include "protocol/wire.h"

namespace lumbra {

// One open connection. Zero-filled when allocated; the fields up to ioBuffer
// are those every part of the library shares, in their declared order.
struct Session {
  std::int32_t socket;         // connected stream socket; negative: unusable
  std::int32_t rowLength;      // length of each row of the open result set
  std::int32_t morePending;    // 1 while ioBuffer holds undelivered rows
  std::int32_t contCounter;    // number of the next continuation request (from 100)
  std::int32_t batchLength;    // bytes of batched updates at the start of ioBuffer
  std::int32_t bufferReady;    // 0 after a failed buffer sizing
  std::int32_t rowsLeft;       // rows of the result set still to deliver
  std::int32_t binaryLength;   // length of the binary insert LBInsertBin prepared
  std::int32_t bufferSize;     // receive capacity; commands are limited to bufferSize - 20
  char* readCursor;            // next encoded row in ioBuffer
  char replyTag[7];            // tag a reply may carry besides "LBX000"
  std::uint8_t updatePending;  // never set (see lumbra32.h)
  char clientId[15];           // "nnn.nnn.nnn.nnn", no terminator
  char serverInfo[251];        // formatted server description
  char* ioBuffer;              // the exchange buffer, ioCapacity bytes
  // Bounds the shared fields do not carry.
  std::int32_t ioCapacity;  // bytes of ioBuffer: 1901 at connect, bufferSize + 20 after sizing
  char* blockEnd;           // where the current block's rows end (its marker)
};

static_assert(offsetof(Session, bufferSize) == 32, "nine 32-bit values lead the record");
static_assert(sizeof(void*) != 4 ||
                  (offsetof(Session, readCursor) == 36 && offsetof(Session, replyTag) == 40 &&
                   offsetof(Session, clientId) == 48 && offsetof(Session, serverInfo) == 63 &&
                   offsetof(Session, ioBuffer) == 316),
              "32-bit record layout");

// The slots themselves (session.cpp), read here by the inline access below:
// the handle check runs at the start of every call, once per row delivered.
namespace detail {
extern Session* slots[kMaxSessions];
extern Session* const reservedSlot;
}  // namespace detail

// Slot access. A slot is empty (nullptr), reserved (inside LBConnect only) or
// holds a Session.
inline Session* sessionAt(int handle) {
  Session* s = detail::slots[handle];
  return s == detail::reservedSlot ? nullptr : s;
}
// Lowest empty slot, now reserved; -1 when all 500 are taken.
int reserveSlot();
void setSlot(int handle, Session* session);
void emptySlot(int handle);

// The handle check every export with a handle makes first: only the low 16
// bits of the argument count, read as signed. Returns 0 with *session set, or
// LB_INVALID_PARAMETERS / LB_NOT_CONNECTED.
inline std::int32_t checkHandle(std::int32_t handleArgument, Session** session, int* handle = nullptr) {
  const int h = static_cast<std::int16_t>(static_cast<std::uint16_t>(handleArgument & 0xFFFF));
  if (h < 0 || h >= kMaxSessions) return LB_INVALID_PARAMETERS;
  Session* s = sessionAt(h);
  if (s == nullptr) return LB_NOT_CONNECTED;
  if (s->socket < 0) return LB_INVALID_PARAMETERS;
  *session = s;
  if (handle != nullptr) *handle = h;
  return 0;
}

}  // namespace lumbra
