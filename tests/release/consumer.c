/* consumer.c -- a program built as an integrator builds one, from the bundle alone: the three
   chief headers and an import library per DLL. It calls every export of every DLL once and
   checks a known result; prints one line per check and "N passed, N failed"; exit status 0 when
   every check passed.

   Usage: consumer.exe PORT   (PORT: a TCP port of 127.0.0.1 where nothing listens)

   Built with MinGW against the C runtime, or for the Microsoft ABI with no C runtime of its own
   (see nocrt/): then it uses only the C runtime the DLLs use, msvcrt.dll. */
#include "lumbra32.h"
#include "orvak32.h"
#include "tabrel32.h"

#include <stdio.h>
#include <string.h>

/* The two KERNEL32 calls that reach an export by a name the import libraries do not carry. */
#if defined(_WIN64)
#  define CONSUMER_WINAPI
#else
#  define CONSUMER_WINAPI __stdcall
#endif
__declspec(dllimport) void* CONSUMER_WINAPI GetModuleHandleA(const char* name);
__declspec(dllimport) void* CONSUMER_WINAPI GetProcAddress(void* module, const char* name);

/* The upper-case name of the tabrel32 entry; the header declares it only off Windows. */
int32_t TABREL_CALL TBTABREL(struct ValidationRequest request);

static int passed;
static int failed;

static void check(int ok, const char* what) {
  printf("%s  %s\n", ok ? "ok  " : "FAIL", what);
  if (ok)
    ++passed;
  else
    ++failed;
}

static int startsWith(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

/* The bytes of a small file, NUL-terminated; -1 when it cannot be opened. */
static long readFile(const char* path, char* buffer, long room) {
  FILE* f = fopen(path, "rb");
  if (!f) return -1;
  long n = (long)fread(buffer, 1, (size_t)(room - 1), f);
  fclose(f);
  buffer[n] = 0;
  return n;
}

static int writeFile(const char* path, const char* bytes) {
  FILE* f = fopen(path, "wb");
  if (!f) return 0;
  size_t n = strlen(bytes);
  int ok = fwrite(bytes, 1, n, f) == n;
  return fclose(f) == 0 && ok;
}

static char message[4096];

static void lumbra32(const char* port) {
  check(LBCRC(9, "123456789") == 0x31C3, "LBCRC(\"123456789\") = 0x31C3");

  char text[] = "AZ09 az";
  int32_t converted = LBAsciiToEbcdic(text);
  check(converted == 0 && memcmp(text, "\xC1\xE9\xF0\xF9\x40\x81\xA9", 7) == 0,
        "LBAsciiToEbcdic(\"AZ09 az\") = C1 E9 F0 F9 40 81 A9");

  char address[64] = "127.0.0.1:";
  strcat(address, port);
  int32_t connected = LBConnect("CONSUMER", "secret", "", address, message);
  check(connected == LB_CONNECT_FAILED && startsWith(message, "LBX607 - FALHA NA CONEXAO ("),
        "LBConnect to a closed port: -7 \"LBX607 - FALHA NA CONEXAO (n)\"");
  printf("      (%s)\n", message);

  check(LBCommand(0, "SELECT * FROM T", message) == LB_NOT_CONNECTED &&
            strcmp(message, "LBX613 - CONEXAO NAO INICIALIZADA") == 0,
        "LBCommand on a closed session: -13 \"LBX613 - CONEXAO NAO INICIALIZADA\"");
  check(LBGetNext(0, message) == LB_NOT_CONNECTED, "LBGetNext on a closed session: -13");
  char command[64] = "INSERT INTO T VALUES (1, =";
  check(LBInsertBin(0, command, "\x01\x02", 2) == LB_NOT_CONNECTED && strcmp(command, "INSERT INTO T VALUES (1, =") == 0,
        "LBInsertBin on a closed session: -13, the buffer unchanged");
  check(LBDisconn(500, message) == LB_INVALID_PARAMETERS && strcmp(message, "LBX614 - PARAMETROS INVALIDOS") == 0,
        "LBDisconn with handle 500: -14 \"LBX614 - PARAMETROS INVALIDOS\"");
}

/* The worked example: file abcdefgh.xyz, system SYS, declaration CRC at offset 3, trailers DT
   and RT. */
static const char kWorkedFile[] =
    "SYS41861462103993786283\r\n"
    "DT3117026579\r\n"
    "R12559192339\r\n"
    "RT28760475173217099436\r\n";

typedef int32_t(TABREL_CALL* TabrelEntry)(struct ValidationRequest);

static void tabrelRun(TabrelEntry entry, const char* label) {
  char declared[11] = "unwritten";
  char computed[11] = "unwritten";
  struct ValidationRequest request = {"abcdefgh.xyz", "clean.out", "errors.log", declared, computed, 3, 0,
                                      "SYS",          "DT",        "RT"};
  char line[160];
  if (!entry) {
    strcpy(line, label);
    strcat(line, ": export not found");
    check(0, line);
    return;
  }
  int32_t result = entry(request);
  char clean[256];
  char log[256];
  long cleanBytes = readFile("clean.out", clean, sizeof clean);
  long logBytes = readFile("errors.log", log, sizeof log);
  strcpy(line, label);
  strcat(line, " on the worked file: 0, both CRCs 4186146210, cleaned copy SYS4186146210 DT, no log");
  check(result == TB_OK && strcmp(declared, "4186146210") == 0 && strcmp(computed, "4186146210") == 0 &&
            cleanBytes >= 0 && strcmp(clean, "SYS4186146210\r\nDT\r\n") == 0 && logBytes < 0,
        line);
  remove("clean.out");
  remove("errors.log");
}

static void tabrel32(void) {
  check(writeFile("abcdefgh.xyz", kWorkedFile), "worked file written");
  tabrelRun(TBTabrel, "TBTabrel");
  tabrelRun(TBTABREL, "TBTABREL");
  tabrelRun((TabrelEntry)GetProcAddress(GetModuleHandleA("tabrel32.dll"), "_TBTabrel@40"), "_TBTabrel@40");
  remove("abcdefgh.xyz");
}

static void makeRecord(struct PublicKeyRecord* record, const char* userId, uint8_t seed, int32_t minute) {
  memset(record, 0, sizeof *record);
  record->modulusLength = 64;
  for (int i = 0; i < 64; ++i) record->modulus[i] = (uint8_t)(0x80 | (seed + 7 * i));
  record->exponentLength = 3;
  record->exponent[0] = 0x01;
  record->exponent[1] = 0x00;
  record->exponent[2] = 0x01;
  strcpy(record->userId, userId);
  record->created.year = 120; /* 2020-01-02 03:MM:05 UTC */
  record->created.month = 1;
  record->created.day = 2;
  record->created.hour = 3;
  record->created.minute = minute;
  record->created.second = 5;
}

static void orvak32(void) {
  static struct PublicKeyRecord alice, bob, out;
  makeRecord(&alice, "Alice <alice@example.org>", 1, 4);
  makeRecord(&bob, "Bob <bob@example.org>", 2, 5);

  KeyList list = empty_publist();
  check(list == 0 && is_empty_publist(list) == 1, "empty_publist, is_empty_publist");
  list = cons_publist(&bob, list);
  list = AddPublicKey(list, &alice);
  check(length_publist(list) == 2 && FindNumberOfKeys(list) == 2, "cons_publist, AddPublicKey: 2 records");
  check(strcmp(head_publist(list)->userId, alice.userId) == 0, "head_publist: Alice first (user-id order)");
  memset(&out, 0, sizeof out);
  check(bhead_publist(list, &out) == 0 && strcmp(out.userId, alice.userId) == 0 &&
            memcmp(out.modulus, alice.modulus, 64) == 0,
        "bhead_publist copies the first record");
  check(strcmp(tail_publist(list)->userId, bob.userId) == 0, "tail_publist: Bob");
  KeyList copy = append_publist(list, empty_publist());
  check(length_publist(copy) == 2 && copy != list, "append_publist copies the first list");
  free_publist(copy);

  check(SavePublicKeys(list, "ring.pgp") == ORVAK_OK, "SavePublicKeys");
  int32_t status = -1;
  KeyList loaded = LoadPublicKeys("ring.pgp", &status);
  check(status == ORVAK_OK && length_publist(loaded) == 2, "LoadPublicKeys: the saved ring, 2 keys");

  memset(&out, 0, sizeof out);
  check(locate_public_key(loaded, alice.modulus + 56, &out) == 0 && out.modulusLength == 64 &&
            memcmp(out.modulus, alice.modulus, 64) == 0 && strcmp(out.userId, alice.userId) == 0,
        "locate_public_key by Alice's key id");
  memset(&out, 0, sizeof out);
  check(locate_public_key_by_id(loaded, "BOB <bob@example.org>  ", &out) == 0 && out.exponentLength == 3 &&
            memcmp(out.modulus, bob.modulus, 64) == 0,
        "locate_public_key_by_id (letter case, trailing blanks)");
  check(IsPublicKeyInList(loaded, "alice <alice@example.org>") == 1, "IsPublicKeyInList");
  char id[32];
  check(GetIdFromPubkey(head_publist(loaded), id) == 0 && strcmp(id, alice.userId) == 0, "GetIdFromPubkey");

  /* The first packet of the saved ring is Alice's public-key packet, as written alone. */
  FILE* f = fopen("packet.pgp", "wb");
  int32_t written = f ? write_public_key_packet(f, &alice, 1577934245u, 0) : -1; /* 2020-01-02 03:04:05 */
  if (f) fclose(f);
  static char ring[2048];
  static char packet[2048];
  long ringBytes = readFile("ring.pgp", ring, sizeof ring);
  long packetBytes = readFile("packet.pgp", packet, sizeof packet);
  check(written == 0 && packetBytes > 64 && ringBytes > packetBytes && memcmp(ring, packet, packetBytes) == 0,
        "write_public_key_packet = the first packet of the saved ring");

  loaded = RemovePublicKey(loaded, "ALICE <alice@example.org>");
  check(length_publist(loaded) == 1 && IsPublicKeyInList(loaded, alice.userId) == 0, "RemovePublicKey");
  loaded = rm_head_publist(loaded);
  check(is_empty_publist(loaded) == 1, "rm_head_publist: empty");
  free_publist(list);
  remove("ring.pgp");
  remove("packet.pgp");
}

int main(int argc, char** argv) {
  const char* port = argc > 1 ? argv[1] : "1";
  printf("lumbra32\n");
  lumbra32(port);
  printf("tabrel32\n");
  tabrel32();
  printf("orvak32\n");
  orvak32();
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
