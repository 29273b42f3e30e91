/* host.c -- a host program that uses the three DLLs of the declaration suite.

   It calls every export of lumbra32, tabrel32 and orvak32 the way a host
   application does:
     - the CRC test vectors of samples/crc-vectors.txt, with LBCRC and with the
       CRC-32 a host uses to write the records of a declaration file;
     - a session with the database server: batched inserts and their COMMIT, a
       SELECT whose rows are split into columns by the column description the
       server sends, a binary insert read back, the server information, a
       refused command, and the farewell;
     - a validation run on each sample declaration, and on Windows the same
       run with TBTabrel called the way a language without structures passed
       by value calls it (examples/tabrel-without-structures.md);
     - a key ring round trip: the sample ring loaded, searched, changed,
       saved and loaded again, and one key written as a single packet.
   It prints what each call answered and ends with "N unexpected" (exit status
   0 when everything answered as described).

   Build (from the bundle's folder; the DLLs must lie beside host.exe or on
   the DLL search path when it runs):
     MinGW, 32-bit:  i686-w64-mingw32-gcc -std=c11 -Iinclude examples/host.c
                       -Llib -llumbra32 -ltabrel32 -lorvak32 -o host.exe
     MinGW, 64-bit:  the same with x86_64-w64-mingw32-gcc
     Linux:          cc -std=c11 -Iinclude examples/host.c -L. -llumbra32
                       -ltabrel32 -lorvak32 -o host   (with the .so libraries)
   Microsoft compilers: see write_public_key_packet below (the FILE* it takes
   must come from msvcrt.dll, the C runtime of the DLLs).

   Run:  host [SAMPLES [ADDRESS USER PASSWORD]]
     SAMPLES   the folder of the sample files (default: samples)
     ADDRESS   the server, "a.b.c.d:port" (default: LUMBRA_ADDRESS, else
               127.0.0.1:3001); USER and PASSWORD likewise from LUMBRA_USER
               and LUMBRA_PASSWORD. Without a server the lumbra32 part fails
               and the rest still runs.
   The current folder must be writable: the outputs of the validation runs
   and the saved key rings are written there. */
#include "lumbra32.h"
#include "orvak32.h"
#include "tabrel32.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#  include <windows.h>
#endif

static int unexpected;

/* Notes a result that is not what the DLLs' manuals say it should be. */
static void expect(int ok, const char* what) {
  if (!ok) {
    printf("unexpected: %s\n", what);
    ++unexpected;
  }
}

/* ----- CRCs -------------------------------------------------------------- */

/* The CRC-32 of the records of a declaration file (the one of zlib and PKZIP).
   `crc` is the CRC of the bytes before, 0 to begin: the CRC of a and then b is
   crc32(crc32(0, a), b). */
static uint32_t crc32(uint32_t crc, const unsigned char* data, size_t length) {
  crc = ~crc;
  while (length--) {
    crc ^= *data++;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

static size_t fromHex(const char* hex, unsigned char* out, size_t room) {
  size_t n = 0;
  if (strcmp(hex, "-") == 0) return 0;
  while (hex[0] && hex[1] && n < room) {
    unsigned value;
    if (sscanf(hex, "%2x", &value) != 1) break;
    out[n++] = (unsigned char)value;
    hex += 2;
  }
  return n;
}

static void crcVectors(const char* samples) {
  char path[512];
  snprintf(path, sizeof path, "%s/crc-vectors.txt", samples);
  FILE* f = fopen(path, "r");
  printf("== CRC test vectors (%s)\n", path);
  expect(f != NULL, "the CRC test vectors can be read");
  if (!f) return;
  char line[512];
  int checked = 0;
  while (fgets(line, sizeof line, f)) {
    char algorithm[32], hex[256], crcHex[16], field[16] = "";
    if (line[0] == '#' || sscanf(line, "%31s %255s %15s %15s", algorithm, hex, crcHex, field) < 3) continue;
    unsigned char data[128];
    size_t length = fromHex(hex, data, sizeof data);
    unsigned long want = strtoul(crcHex, NULL, 16);
    if (strcmp(algorithm, "crc16-xmodem") == 0) {
      int32_t got = LBCRC((int32_t)length, data);
      printf("LBCRC(%s) = 0x%04X\n", hex, (unsigned)got);
      expect((unsigned long)got == want, "LBCRC gives the vector's CRC-16");
    } else if (strcmp(algorithm, "crc32") == 0) {
      uint32_t got = crc32(0, data, length);
      char written[16];
      snprintf(written, sizeof written, "%010lu", (unsigned long)got); /* as in a record */
      printf("crc32(%s) = 0x%08lX, in a record %s\n", hex, (unsigned long)got, written);
      expect(got == want && strcmp(written, field) == 0, "the CRC-32 and its record field are the vector's");
      /* Continuing a CRC: the same value in two pieces. */
      expect(crc32(crc32(0, data, length / 2), data + length / 2, length - length / 2) == got,
             "a CRC-32 continued over two pieces is the CRC-32 of the whole");
    }
    ++checked;
  }
  fclose(f);
  expect(checked > 0, "the vectors file holds vectors");
}

/* ----- lumbra32 ---------------------------------------------------------- */

/* One column of a SELECT's column description "NAME=T(width),...". */
struct Column {
  char name[64];
  char type; /* N number, A text, B blob, V no declared type */
  int offset;
  int width;
};

/* Splits the answer of a SELECT (the row length in five digits, then the column
   description up to its '.') into columns; returns their number, or -1 when
   the text is not such a description or its widths do not add up to the row
   length. */
static int splitColumns(const char* answer, struct Column* columns, int room) {
  char digits[6] = {0};
  if (strlen(answer) < 6) return -1;
  memcpy(digits, answer, 5);
  const int rowLength = atoi(digits);
  const char* p = answer + 5;
  int count = 0, offset = 0;
  while (*p && *p != '.') {
    /* Names lose '.', '=' and ',', so '=' ends the name and ',' the column. */
    const char* equals = strchr(p, '=');
    if (!equals || count == room || (size_t)(equals - p) >= sizeof columns[0].name) return -1;
    struct Column* c = &columns[count];
    memcpy(c->name, p, (size_t)(equals - p));
    c->name[equals - p] = 0;
    char close;
    if (sscanf(equals + 1, "%c(%d%c", &c->type, &c->width, &close) != 3 || close != ')') return -1;
    c->offset = offset;
    offset += c->width;
    ++count;
    p = strchr(equals, ')') + 1;
    if (*p == ',') ++p;
  }
  return *p == '.' && offset == rowLength ? count : -1;
}

/* One column of a row as text: numbers and texts without their padding
   blanks, blobs in hexadecimal. */
static void columnText(const char* row, const struct Column* c, char* out, size_t room) {
  const unsigned char* value = (const unsigned char*)row + c->offset;
  int begin = 0, end = c->width;
  out[0] = 0;
  if (c->type == 'B') {
    for (int i = 0; i < c->width && (size_t)(3 * i + 3) < room; ++i) sprintf(out + 2 * i, "%02X", value[i]);
    return;
  }
  while (begin < end && value[begin] == ' ') ++begin;
  while (end > begin && value[end - 1] == ' ') --end;
  snprintf(out, room, "%.*s", end - begin, (const char*)value + begin);
}

/* The message length a reply announces with ",ML=", or `otherwise`. */
static long announcedLength(const char* text, long otherwise) {
  const char* ml = strstr(text, ",ML=");
  return ml ? strtol(ml + 4, NULL, 10) : otherwise;
}

static char* message;       /* the message buffer: the announced length + 1 */
static long messageSize;

static void growMessageBuffer(long announced) {
  long size = announced + 1 < 256 ? 256 : announced + 1;
  if (size > messageSize) {
    char* bigger = realloc(message, (size_t)size);
    if (bigger) {
      message = bigger;
      messageSize = size;
    }
  }
}

/* Runs one command and prints its result and answer. */
static int32_t command(int16_t session, const char* text) {
  int32_t result = LBCommand(session, text, message);
  printf("LBCommand(\"%s\") = %ld \"%s\"\n", text, (long)result, message);
  return result;
}

static void lumbra32(const char* address, const char* user, const char* password) {
  printf("== lumbra32: a session with %s as %s\n", address, user);
  char text[] = "HELLO, WORLD";
  expect(LBAsciiToEbcdic(text) == LB_OK && memcmp(text, "\xC8\xC5\xD3\xD3\xD6\x6B\x40\xE6\xD6\xD9\xD3\xC4", 12) == 0,
         "LBAsciiToEbcdic gives EBCDIC");

  /* Before the login no length is announced: a reply takes at most 1900
     bytes. The handle is in the low 16 bits of the result. */
  growMessageBuffer(1900);
  if (!message) {
    expect(0, "memory for the message buffer");
    return;
  }
  const int16_t session = (int16_t)LBConnect(user, password, "", address, message);
  printf("LBConnect = %d \"%s\"\n", session, message);
  expect(session >= 0, "LBConnect opens a session (is the server running?)");
  if (session < 0) return;
  growMessageBuffer(announcedLength(message, 1900));

  expect(command(session, "GETSET CLIENTID") == 15, "GETSET CLIENTID gives the 15 characters of the address");
  expect(command(session, "GETSET SERVERINFO") > 0, "GETSET SERVERINFO describes the server");

  /* Tables of this example only: made afresh on every run. */
  command(session, "EXEC DROP TABLE IF EXISTS EXAMPLEPEOPLE");
  command(session, "EXEC DROP TABLE IF EXISTS EXAMPLEFILES");
  expect(command(session, "EXEC CREATE TABLE EXAMPLEPEOPLE (ID INTEGER PRIMARY KEY, NAME TEXT, CITY TEXT)") >= 0,
         "EXEC CREATE TABLE");
  expect(command(session, "EXEC CREATE TABLE EXAMPLEFILES (ID INTEGER, BODY BLOB)") >= 0, "EXEC CREATE TABLE");

  /* Updates wait in the batch (0, nothing sent) and go with the COMMIT, whose
     result is the number of updates. */
  command(session, "INSERT INTO EXAMPLEPEOPLE VALUES (1, 'Ann Maria', 'Lisboa')");
  command(session, "INSERT INTO EXAMPLEPEOPLE VALUES (2, 'Bob', 'Porto')");
  command(session, "INSERT INTO EXAMPLEPEOPLE VALUES (3, 'Carla', NULL)");
  expect(command(session, "COMMIT") == 3, "COMMIT gives one item per update (EXEC is not counted)");

  /* A SELECT answers the row count, and leaves the row length and the
     column description in the message buffer; LBGetNext gives the rows. */
  int32_t rows = command(session, "SELECT ID, NAME, CITY FROM EXAMPLEPEOPLE ORDER BY ID");
  struct Column columns[16];
  int count = rows >= 0 ? splitColumns(message, columns, 16) : -1;
  expect(rows == 3 && count == 3, "the SELECT finds 3 rows of 3 columns");
  int32_t length;
  int delivered = 0;
  while ((length = LBGetNext(session, message)) >= 0) {
    printf("row %d:", ++delivered);
    for (int i = 0; i < count; ++i) {
      char value[256];
      columnText(message, &columns[i], value, sizeof value);
      printf(" %s=%s", columns[i].name, value);
    }
    printf("\n");
  }
  printf("LBGetNext = %ld \"%s\"\n", (long)length, message);
  expect(length == LB_NO_ROWS && delivered == 3, "LBGetNext gives 3 rows, then LB_NO_ROWS");

  /* A binary insert: LBInsertBin prepares the buffer (the text up to its last
     '=', then the data), LBCommand sends it. Room: text + 9 + length + 2. */
  static const unsigned char data[] = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF, 'L', 'B', 'X', 0x00};
  char insert[128] = "INSERT INTO EXAMPLEFILES (ID, BODY) VALUES (1, ?)=";
  expect(LBInsertBin(session, insert, data, (int32_t)sizeof data) == LB_OK, "LBInsertBin prepares the insert");
  expect(LBCommand(session, insert, message) == LB_OK, "the binary insert is accepted");
  expect(command(session, "COMMIT") == 1, "COMMIT of one update gives 1");
  if (command(session, "SELECT BODY FROM EXAMPLEFILES WHERE ID = 1") == 1) {
    length = LBGetNext(session, message);
    printf("LBGetNext = %ld bytes, the first %u as inserted: %s\n", (long)length, (unsigned)sizeof data,
           length >= (int32_t)sizeof data && memcmp(message, data, sizeof data) == 0 ? "yes" : "no");
    expect(length >= (int32_t)sizeof data && memcmp(message, data, sizeof data) == 0, "the blob reads back");
  }

  /* Refusals: the client's own (LB_SEND_FAILED to LB_OUT_OF_MEMORY; nothing is
     sent for LB_INVALID_COMMAND) and the server's (minus its four-digit
     status, its text in the message buffer). */
  expect(command(session, "select 1") == LB_INVALID_COMMAND, "a lower-case command word gives LB_INVALID_COMMAND");
  expect(command(session, "SELECT * FROM NOWHERE") <= -100, "an unknown table is refused by the server");

  expect(LBDisconn(session, message) == LB_OK, "LBDisconn");
  printf("LBDisconn = 0 \"%s\"\n", message);
  expect(LBGetNext(session, message) == LB_NOT_CONNECTED, "a closed session gives LB_NOT_CONNECTED");
}

/* ----- tabrel32 ---------------------------------------------------------- */

#if defined(_WIN32) && !defined(_WIN64)
/* TBTabrel as a language without structures passed by value declares it on
   32-bit Windows: the 40-byte request is the same as ten 32-bit arguments. */
typedef int32_t(__stdcall* TabrelByWords)(const char* inputPath, const char* cleanCopyPath, const char* logPath,
                                          char* declaredCrc, char* computedCrc, int32_t declaredCrcOffset,
                                          uint32_t reserved, const char* systemTag,
                                          const char* declarationTrailerTag, const char* receiptTrailerTag);
#elif defined(_WIN64)
/* And on 64-bit Windows: the 72-byte request travels as the address of a
   copy the caller makes, so one pointer argument does. */
typedef int32_t (*TabrelByAddress)(void* copyOfRequest);
#endif

static void validate(const char* samples, const char* name, int32_t wanted) {
  char input[512], log[600], line[256];
  char declared[11] = "", computed[11] = "";
  snprintf(input, sizeof input, "%s/%s", samples, name);
  snprintf(log, sizeof log, "%s.log", name);
  struct ValidationRequest request = {input, "cleaned.txt", log, declared, computed, 7, 0,
                                      "DSUITE", "TRLDECL", "TRLRCPT"};
  int32_t result = TBTabrel(request);
  printf("TBTabrel(%s) = %ld, declared CRC \"%s\", computed CRC \"%s\"\n", name, (long)result, declared, computed);
  expect(result == wanted, "TBTabrel gives the sample's result");
  FILE* f = fopen(log, "rb"); /* Windows-1252 texts, CR LF */
  while (f && fgets(line, sizeof line, f)) {
    line[strcspn(line, "\r\n")] = 0;
    printf("  %s\n", line);
  }
  if (f) fclose(f);

#if defined(_WIN32)
  char declared2[11] = "", computed2[11] = "";
  FARPROC entry = GetProcAddress(GetModuleHandleA("tabrel32.dll"), "TBTabrel");
#  if !defined(_WIN64)
  TabrelByWords byWords = (TabrelByWords)(void*)entry;
  int32_t again = byWords ? byWords(input, "cleaned.txt", log, declared2, computed2, 7, 0, "DSUITE", "TRLDECL",
                                    "TRLRCPT")
                          : -1;
#  else
  TabrelByAddress byAddress = (TabrelByAddress)(void*)entry;
  /* The request's 72 bytes filled by offset, as such a language does: the
     pointers at 0, 8, 16, 24, 32, 48, 56 and 64, the two 32-bit words at 40
     and 44. */
  unsigned char copy[72];
  const void* pointers[8] = {input, "cleaned.txt", log, declared2, computed2, "DSUITE", "TRLDECL", "TRLRCPT"};
  const int at[8] = {0, 8, 16, 24, 32, 48, 56, 64};
  const int32_t offset = 7, reserved = 0;
  for (int i = 0; i < 8; ++i) memcpy(copy + at[i], &pointers[i], 8);
  memcpy(copy + 40, &offset, 4);
  memcpy(copy + 44, &reserved, 4);
  int32_t again = byAddress ? byAddress(copy) : -1;
#  endif
  printf("the same run, TBTabrel called as a language without structures calls it: %ld\n", (long)again);
  expect(again == result && strcmp(declared, declared2) == 0 && strcmp(computed, computed2) == 0,
         "TBTabrel called without a structure answers the same");
#endif
  remove("cleaned.txt");
  remove(log);
}

static void tabrel32(const char* samples) {
  printf("== tabrel32: the sample declarations\n");
  validate(samples, "DECL2026.TXT", TB_OK);
  validate(samples, "DAMAGE26.TXT", TB_DECLARATION_CRC_INVALID); /* errors 04 and 06 */
}

/* ----- orvak32 ----------------------------------------------------------- */

static void keyIdText(const struct PublicKeyRecord* key, char* out) {
  out[0] = 0;
  if (key->modulusLength < 8) return;
  for (int i = 0; i < 8; ++i) sprintf(out + 2 * i, "%02X", key->modulus[key->modulusLength - 8 + i]);
}

/* The ring's time stamp of a creation time: seconds since 1970-01-01 UTC. */
static uint32_t timestampOf(const struct CalendarTime* t) {
  static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int years = t->year - 70;
  long days = 365L * years + (years + 1) / 4 + before[t->month - 1] + t->day - 1;
  if (t->year % 4 == 0 && t->month > 2) ++days;
  return (uint32_t)(days * 86400 + t->hour * 3600 + t->minute * 60 + t->second);
}

static void listKeys(KeyList list) {
  /* head_publist gives the record itself; tail_publist the rest of the list. */
  for (KeyList rest = list; !is_empty_publist(rest); rest = tail_publist(rest)) {
    const struct PublicKeyRecord* key = head_publist(rest);
    char id[17], userId[32];
    keyIdText(key, id);
    GetIdFromPubkey(key, userId);
    printf("  %s %04d-%02d-%02d %02d:%02d:%02d %s\n", id, key->created.year + 1900, key->created.month,
           key->created.day, key->created.hour, key->created.minute, key->created.second, userId);
  }
}

static long fileBytes(const char* path, unsigned char* out, long room) {
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  long n = (long)fread(out, 1, (size_t)room, f);
  fclose(f);
  return n;
}

static void orvak32(const char* samples) {
  char path[512];
  snprintf(path, sizeof path, "%s/pubring.pgp", samples);
  printf("== orvak32: the sample key ring\n");
  int32_t status = -1;
  KeyList ring = LoadPublicKeys(path, &status);
  printf("LoadPublicKeys(pubring.pgp) = status %ld, %ld keys\n", (long)status, (long)FindNumberOfKeys(ring));
  listKeys(ring);
  expect(status == ORVAK_OK && length_publist(ring) == 3, "the sample ring holds 3 keys");
  if (status != ORVAK_OK || length_publist(ring) != 3) return;

  /* Searches copy into a record of the host's. */
  struct PublicKeyRecord found, copy;
  memset(&found, 0, sizeof found);
  expect(locate_public_key_by_id(ring, "BOB PORTO <bob@example.org>  ", &found) == ORVAK_OK,
         "locate_public_key_by_id ignores letter case and trailing blanks");
  struct PublicKeyRecord byKeyId;
  memset(&byKeyId, 0, sizeof byKeyId);
  expect(locate_public_key(ring, found.modulus + found.modulusLength - 8, &byKeyId) == ORVAK_OK &&
             strcmp(byKeyId.userId, "Bob Porto <bob@example.org>") == 0,
         "locate_public_key finds Bob's key by its key id");
  expect(IsPublicKeyInList(ring, "ann maria <ann@example.org>") == 1, "IsPublicKeyInList");
  expect(locate_public_key_by_id(ring, "nobody", &found) == KEY_NOT_FOUND, "an unknown user id: KEY_NOT_FOUND");

  /* A new key (here Ann's with another user id) is copied into the list in
     user-id order; removing returns the list to use from then on. */
  expect(bhead_publist(ring, &copy) == 0, "bhead_publist copies the first record");
  strcpy(copy.userId, "Dora <dora@example.org>");
  ring = AddPublicKey(ring, &copy);
  ring = RemovePublicKey(ring, "carla braga <carla@example.org>");
  printf("after AddPublicKey(Dora) and RemovePublicKey(Carla), %ld keys, not re-sorted:\n",
         (long)length_publist(ring));
  listKeys(ring);
  expect(length_publist(ring) == 3 && IsPublicKeyInList(ring, "Carla Braga <carla@example.org>") == 0,
         "Dora in, Carla out");

  expect(SavePublicKeys(ring, "ring-saved.pgp") == ORVAK_OK, "SavePublicKeys");
  KeyList again = LoadPublicKeys("ring-saved.pgp", &status);
  printf("saved and loaded again: status %ld, %ld keys\n", (long)status, (long)length_publist(again));
  listKeys(again);
  expect(status == ORVAK_OK && length_publist(again) == 3, "the saved ring loads with its 3 keys");

  /* One public-key packet alone: the first packet of the saved ring. The FILE*
     must come from the C runtime the DLLs use (msvcrt.dll): MinGW's fopen is
     that one; with a Microsoft compiler, get fopen and fclose from msvcrt.dll
     with GetProcAddress. */
  const struct PublicKeyRecord* first = head_publist(ring);
  FILE* f = fopen("packet.pgp", "wb");
  int32_t written = f ? write_public_key_packet(f, first, timestampOf(&first->created), 0) : -1;
  if (f) fclose(f);
  static unsigned char saved[4096], packet[4096];
  long savedBytes = fileBytes("ring-saved.pgp", saved, sizeof saved);
  long packetBytes = fileBytes("packet.pgp", packet, sizeof packet);
  printf("write_public_key_packet = %ld, %ld bytes\n", (long)written, packetBytes);
  expect(written == 0 && packetBytes > 0 && savedBytes > packetBytes && memcmp(saved, packet, (size_t)packetBytes) == 0,
         "write_public_key_packet writes the ring's first packet");

  /* Lists share records: cons_publist and append_publist link the list they
     are given. Release each record once. */
  KeyList selection = cons_publist(&byKeyId, empty_publist());
  KeyList joined = append_publist(selection, again); /* a copy of Bob, then the records of again */
  expect(length_publist(joined) == 4, "append_publist: 1 + 3 records");
  joined = rm_head_publist(joined); /* releases the copy; what is left is again itself */
  expect(joined == again, "rm_head_publist leaves the shared part");
  free_publist(selection);
  free_publist(again);
  free_publist(ring);
  remove("ring-saved.pgp");
  remove("packet.pgp");
}

/* ----- main -------------------------------------------------------------- */

static const char* setting(int argc, char** argv, int index, const char* variable, const char* otherwise) {
  if (argc > index) return argv[index];
  const char* value = getenv(variable);
  return value && *value ? value : otherwise;
}

int main(int argc, char** argv) {
  const char* samples = argc > 1 ? argv[1] : "samples";
  crcVectors(samples);
  lumbra32(setting(argc, argv, 2, "LUMBRA_ADDRESS", "127.0.0.1:3001"), setting(argc, argv, 3, "LUMBRA_USER", "DEMO"),
           setting(argc, argv, 4, "LUMBRA_PASSWORD", "SECRET"));
  tabrel32(samples);
  orvak32(samples);
  free(message);
  printf("%d unexpected\n", unexpected);
  return unexpected == 0 ? 0 : 1;
}
