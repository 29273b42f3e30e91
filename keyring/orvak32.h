/* orvak32.h -- the public-key ring library: records, list, key ring file operations.

   orvak32 keeps a ring of RSA public keys in memory as a singly linked list of
   fixed-size records (a KeyList) ordered by user id, and reads and writes it as
   a key ring file of PGP 2.x packets: for every key one version-2 public-key
   packet and one user-id packet.

   Ownership, in short:
   - The library allocates every record of a list (one heap block each) and
     releases records only in free_publist, rm_head_publist and RemovePublicKey.
     The host never frees a record itself and never builds list records: it
     hands its own records to cons_publist or AddPublicKey, which copy them.
   - Every operation that can change a list returns the list to use from then on.
   - Records, texts and buffers the host passes in stay the host's; the library
     keeps no pointer to them after a call returns.
   - A key ring file is opened and closed within one LoadPublicKeys or
     SavePublicKeys call.

   Calls come from one thread at a time: the library takes no locks.

   Typical use:
       int32_t status;
       KeyList ring = LoadPublicKeys("pubring.pgp", &status);   // or empty_publist()
       ring = AddPublicKey(ring, &record);
       ring = RemovePublicKey(ring, "old owner");
       status = SavePublicKeys(ring, "pubring.pgp");
       free_publist(ring);
*/
#ifndef ORVAK32_H
#define ORVAK32_H

#include <stdint.h>
#include <stdio.h>

/* The calling convention of every export: stdcall (the called function removes
   its arguments) on 32-bit x86, the platform's only convention elsewhere. */
#if defined(__i386__) || defined(_M_IX86)
#  if defined(_MSC_VER)
#    define ORVAK_CALL __stdcall
#  else
#    define ORVAK_CALL __attribute__((stdcall))
#  endif
#else
#  define ORVAK_CALL
#endif

/* Windows exports by the module definition file (names and fixed ordinals);
   elsewhere the entry points are the only symbols with default visibility. */
#if defined(_WIN32)
#  define ORVAK_API
#else
#  define ORVAK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
   Status codes. Never renumbered.
   --------------------------------------------------------------------------- */
enum {
  ORVAK_OK = 0,
  PACKET_WRITE_FAILED = 1,       /* a write of a packet failed */
  KEYRING_OPEN_FAILED = 40994,   /* 0xA022: the key ring could not be opened or read into memory */
  KEYRING_CREATE_FAILED = 40995, /* 0xA023: the key ring file could not be created */
  KEY_NOT_FOUND = 40996,         /* 0xA024: no record matches the key id or user id */
  KEYRING_FORMAT_ERROR = 40997,  /* 0xA025: the file is not a key ring of the form read here */
  KEYRING_CLOSE_FAILED = 41030   /* 0xA046: flushing, closing or putting the written ring in place failed */
};

/* ---------------------------------------------------------------------------
   Records
   --------------------------------------------------------------------------- */

/* Universal time, no zone or daylight adjustment. */
struct CalendarTime {
  int32_t second; /* 0-59 */
  int32_t minute; /* 0-59 */
  int32_t hour;   /* 0-23 */
  int32_t day;    /* day of the month, 1-31 */
  int32_t month;  /* 1-12 */
  int32_t year;   /* years since 1900, 70 or more */
};

/* One RSA public key. The layout is part of the interface (200 bytes in the
   32-bit build): the host fills and reads these fields itself.
   Modulus and exponent hold the bytes of their multiprecision integers,
   big-endian, with a non-zero first byte. The key id of a record is the last
   8 bytes of the modulus in use; it exists only for a modulus of 8 bytes or
   more. A copy of a record means every field but `next`, which is never read
   from a record the host passes in. */
struct PublicKeyRecord {
  int32_t modulusLength;        /* bytes of modulus in use: 1-128 for a key;
                                   0-128 can be written (see SavePublicKeys) */
  uint8_t modulus[128];         /* RSA modulus n, big-endian */
  int32_t exponentLength;       /* bytes of exponent in use, 0-4 */
  uint8_t exponent[4];          /* RSA public exponent e, big-endian */
  char userId[32];              /* owner's user id, NUL-terminated, at most 31 characters */
  struct CalendarTime created;  /* the key's creation time */
  struct PublicKeyRecord* next; /* following record of a list; null in the last */
};

/* A list: a pointer to its first record; the empty list is null. */
typedef struct PublicKeyRecord* KeyList;

/* ---------------------------------------------------------------------------
   User ids

   Order: texts are compared byte by byte as unsigned values, "A"-"Z" folded to
   "a"-"z" first; a text comes before every longer text that begins with it.
   Normalization (before every search by user id): only the first 31
   characters count, and trailing blanks (character 32) are dropped, except a
   first character. So "Adams  " matches "ADAMS", and a text of blanks only
   matches " ".
   --------------------------------------------------------------------------- */

/* ---------------------------------------------------------------------------
   List primitives
   --------------------------------------------------------------------------- */

/* The empty list (null). */
ORVAK_API KeyList ORVAK_CALL empty_publist(void);

/* 1 if list is empty, else 0. */
ORVAK_API int32_t ORVAK_CALL is_empty_publist(KeyList list);

/* The first record itself (not a copy), still owned by the list; null for the
   empty list. */
ORVAK_API struct PublicKeyRecord* ORVAK_CALL head_publist(KeyList list);

/* Copies the first record (every field but next) into the host's out and
   returns 0; for the empty list (or a null out) returns 1 and leaves out as it was. */
ORVAK_API int32_t ORVAK_CALL bhead_publist(KeyList list, struct PublicKeyRecord* out);

/* The list after the first record; the empty list for the empty list.
   Nothing is released. */
ORVAK_API KeyList ORVAK_CALL tail_publist(KeyList list);

/* Releases the first record and returns the rest; the empty list for the
   empty list. The list passed in is gone afterwards. */
ORVAK_API KeyList ORVAK_CALL rm_head_publist(KeyList list);

/* Allocates a new record holding a copy of *record (user id cut to 31
   characters), links list after it and returns it. The host keeps its record;
   list is linked, not copied. When no memory is left (or record is null)
   nothing is added and list itself is returned. */
ORVAK_API KeyList ORVAK_CALL cons_publist(const struct PublicKeyRecord* record, KeyList list);

/* If first is empty, second itself; else a new list of copies of first's
   records, in their order, whose last copy links to second. first stays
   unchanged and stays the host's. Both lists then share second's records:
   release them once. When no memory is left for the copies, second itself
   is returned and nothing else changes. */
ORVAK_API KeyList ORVAK_CALL append_publist(KeyList first, KeyList second);

/* Releases every record of list. */
ORVAK_API void ORVAK_CALL free_publist(KeyList list);

/* The number of records; 0 for the empty list. */
ORVAK_API int32_t ORVAK_CALL length_publist(KeyList list);

/* ---------------------------------------------------------------------------
   Key ring operations
   --------------------------------------------------------------------------- */

/* Reads the key ring file at path. Stores the status through status (when not
   null) and returns the list, in user-id order (keys with equal user ids in
   the reverse of their file order). Loading is all or nothing: on any error
   the empty list comes back and nothing needs releasing.
     0                     loaded; an empty file gives the empty list
     KEYRING_OPEN_FAILED   the file cannot be opened or read (a path that names
                           a folder included), or no memory for its keys
     KEYRING_FORMAT_ERROR  not a key ring of the form read here: a first packet
                           that is not a public key, a key without a user id
                           before the end, a key followed by the next key's
                           public-key packet before any user id (a damaged or
                           missing user id: the next key's user id is never
                           taken for it), a file that ends inside a public-key
                           packet, inside a user-id packet or inside the
                           length field of a packet to be skipped, an
                           exponent over 32 bits, a modulus over 1024 bits, or
                           a packet without length field that would have to
                           be skipped
   A packet that is skipped (a signature, a trust packet, a further user id)
   and whose body the file ends inside is passed over to the end of the file:
   the keys before it load, unless a key is still waiting for its user id,
   which is KEYRING_FORMAT_ERROR as above.
   User ids longer than 31 characters are cut to their first 31. */
ORVAK_API KeyList ORVAK_CALL LoadPublicKeys(const char* path, int32_t* status);

/* Writes every record of list, from the head on, as a public-key packet
   (version 2, validity 0) followed by a user-id packet, to path. The list is
   not changed. The new ring is written to a temporary file in the same folder
   and only put in place of the old file when every write, the flush and the
   close succeeded, so a failed save leaves the old file whole (and its
   permissions are kept by the new one). A save therefore needs a folder it
   may create files in, even to replace a writable ring. A path that is a
   symbolic link replaces the file it points to; other hard links to the old
   ring keep the old ring (the new one is a new file).
   A record whose modulus or exponent begins with zero bytes (against the rule
   for records) is written without them, with the bit counts and the body
   length of the bytes actually written; it reads back as the same numbers,
   held without the zero bytes.
   Returns:
     0                      saved; the empty list gives an empty file
     KEYRING_CREATE_FAILED  the file cannot be created there (missing folder,
                            no rights, an existing file that is read-only, or
                            a path that names something other than a regular
                            file, such as a folder)
     PACKET_WRITE_FAILED    a write failed, or a record's lengths are out of
                            range (modulusLength outside 0-128, exponentLength
                            outside 0-4); the old file stays as it was
     KEYRING_CLOSE_FAILED   flushing, closing or replacing the old file failed */
ORVAK_API int32_t ORVAK_CALL SavePublicKeys(KeyList list, const char* path);

/* The number of records, as length_publist. */
ORVAK_API int32_t ORVAK_CALL FindNumberOfKeys(KeyList list);

/* Searches from the head for the first record whose key id equals the 8 bytes
   at keyId (records with a modulus under 8 bytes have none and are passed
   over). On a match copies modulusLength, modulus, exponentLength, exponent
   and the userId text up to and including its NUL into *out (out's created,
   next and the userId bytes after the NUL keep their values) and returns 0.
   Otherwise returns KEY_NOT_FOUND and leaves *out untouched. */
ORVAK_API int32_t ORVAK_CALL locate_public_key(KeyList list, const uint8_t* keyId,
                                               struct PublicKeyRecord* out);

/* Searches from the head for the first record whose user id equals userId
   after normalization. On a match copies modulusLength, modulus,
   exponentLength and exponent into *out (nothing else) and returns 0.
   Otherwise returns KEY_NOT_FOUND and leaves *out untouched. */
ORVAK_API int32_t ORVAK_CALL locate_public_key_by_id(KeyList list, const char* userId,
                                                     struct PublicKeyRecord* out);

/* Removes the first record whose user id equals userId after normalization
   and returns the list to use from then on. The list passed in is consumed.
   The records before the removed one come back in reverse order, followed by
   the records after it in their old order; without a match the whole list
   comes back reversed. The result is not re-sorted. */
ORVAK_API KeyList ORVAK_CALL RemovePublicKey(KeyList list, const char* userId);

/* Inserts a copy of *record (user id cut to 31 characters) in front of the
   first record whose user id is equal to or after its own (plain user-id
   order, no normalization), or at the end; returns the list to use from then
   on. No check for duplicates. When no memory is left the list comes back
   unchanged. */
ORVAK_API KeyList ORVAK_CALL AddPublicKey(KeyList list, const struct PublicKeyRecord* record);

/* 1 if some record's user id equals userId after normalization, else 0. */
ORVAK_API int32_t ORVAK_CALL IsPublicKeyInList(KeyList list, const char* userId);

/* Copies record's userId text, unchanged, up to and including its NUL (at most
   31 characters and the NUL) into the host's buffer of at least 32 bytes.
   Always returns 0. */
ORVAK_API int32_t ORVAK_CALL GetIdFromPubkey(const struct PublicKeyRecord* record, char* buffer);

/* Writes record's public-key packet (CTB 0x99, version 2, the given time stamp
   in seconds since 1970-01-01 00:00:00 UTC and validity in days, algorithm 1,
   the modulus and exponent) to stream, a file opened for writing raw bytes
   with this library's C runtime. Never writes a user-id packet. Leading zero
   bytes of the modulus or exponent are left out, and the length field counts
   the body as written. Returns 0, or PACKET_WRITE_FAILED when a write fails
   (when it is the first byte, nothing else is written) or the record's
   lengths are out of range (modulusLength 0-128, exponentLength 0-4; nothing
   is written). */
ORVAK_API int32_t ORVAK_CALL write_public_key_packet(FILE* stream, const struct PublicKeyRecord* record,
                                                     uint32_t timestamp, uint16_t validity);

#ifdef __cplusplus
}
#endif

#endif /* ORVAK32_H */
