// The process-wide SessionTable and the handle check.
#include "client/session.h"

namespace lumbra {
namespace {

Session* slots[kMaxSessions];

// The reservation marker: an address that is never a Session.
char reservationMarker;
Session* const kReserved = reinterpret_cast<Session*>(&reservationMarker);

}  // namespace

Session* sessionAt(int handle) {
  Session* s = slots[handle];
  return s == kReserved ? nullptr : s;
}

int reserveSlot() {
  for (int i = 0; i < kMaxSessions; ++i) {
    if (slots[i] == nullptr) {
      slots[i] = kReserved;
      return i;
    }
  }
  return -1;
}

void setSlot(int handle, Session* session) { slots[handle] = session; }
void emptySlot(int handle) { slots[handle] = nullptr; }

std::int32_t checkHandle(std::int32_t handleArgument, Session** session, int* handle) {
  const int h = static_cast<std::int16_t>(static_cast<std::uint16_t>(handleArgument & 0xFFFF));
  if (h < 0 || h >= kMaxSessions) return kInvalidParameters;
  Session* s = sessionAt(h);
  if (s == nullptr) return kNotConnected;
  if (s->socket < 0) return kInvalidParameters;
  *session = s;
  if (handle != nullptr) *handle = h;
  return 0;
}

}  // namespace lumbra
