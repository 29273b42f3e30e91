// changed_ring.h -- the change made to ring-fits.pgp before it is saved as
// ring-fits-changed.expected-save.pgp: one key added, one removed. Shared by
// the native ring tests (which prove the file is what this library saves) and
// the 32-bit Windows host test (which must save the same bytes).
#pragma once

#include <cstdint>
#include <cstring>

#include "keyring/orvak32.h"

namespace changed_ring {

// The key added: a 1024-bit modulus holding LF, CR and Ctrl-Z bytes (which a
// file opened in text mode would change), exponent 65537.
inline PublicKeyRecord addedKey() {
  PublicKeyRecord r{};
  r.modulusLength = 128;
  for (int i = 0; i < 128; ++i) r.modulus[i] = static_cast<uint8_t>(i * 37 + 11);
  r.modulus[0] |= 0x80;
  r.modulus[5] = 0x0A;
  r.modulus[6] = 0x0D;
  r.modulus[7] = 0x1A;
  r.modulus[8] = 0x0A;
  r.exponentLength = 3;
  r.exponent[0] = 1;
  r.exponent[1] = 0;
  r.exponent[2] = 1;
  std::strcpy(r.userId, "Carol <carol@example.org>");
  r.created = CalendarTime{7, 8, 9, 10, 11, 99};
  return r;
}

// The user id removed afterwards (the last record in user-id order, so the
// records before it come back reversed), as a host might type it.
constexpr const char* kRemoved = "NEWS.announce.newgroups   ";

// The user ids of the changed ring, in its order.
constexpr const char* kOrder[5] = {"Jim Jagielski <jim@jaguNET.com>", "fr.announce.newgroups",
                                   "Doug MacEachern <dougm@osf.org>", "Carol <carol@example.org>",
                                   "Ben Laurie <ben@algroup.co.uk>"};

}  // namespace changed_ring
