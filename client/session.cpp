// The process-wide SessionTable: its slots, their reservation and release.
#include "client/session.h"

namespace lumbra {
namespace {

// The reservation marker: an address that is never a Session.
char reservationMarker;

}  // namespace

namespace detail {
Session* slots[kMaxSessions];
Session* const reservedSlot = reinterpret_cast<Session*>(&reservationMarker);
}  // namespace detail

using detail::slots;

int reserveSlot() {
  for (int i = 0; i < kMaxSessions; ++i) {
    if (slots[i] == nullptr) {
      slots[i] = detail::reservedSlot;
      return i;
    }
  }
  return -1;
}

void setSlot(int handle, Session* session) { slots[handle] = session; }
void emptySlot(int handle) { slots[handle] = nullptr; }

}  // namespace lumbra
