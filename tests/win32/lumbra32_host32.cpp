// lumbra32_host32.cpp -- the 32-bit lumbra32.dll as a host loads it: every
// export by name and ordinal, the handle rules, and one session with the
// reference server: batches and COMMIT, a SELECT over several blocks, a binary
// insert read back, the local GETSET answers, a refused login, a closed port.
//
// Usage: lumbra32_host32, with LUMBRA_ADDRESS (a.b.c.d:port of a fresh
// lumbra-server), LUMBRA_USER and LUMBRA_PASSWORD (one of its users) set.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/win32/host32.h"

using host32::call;
using host32::check;

namespace {

const char* const kNames[7] = {"LBAsciiToEbcdic", "LBCRC",     "LBCommand",  "LBConnect",
                               "LBDisconn",       "LBGetNext", "LBInsertBin"};
FARPROC procs[7];
char message[70000];

std::string text() { return message; }

// A result with the message text it left, for a check's label.
std::string said(int32_t result) { return std::to_string(result) + " " + text(); }

int32_t toEbcdic(char* t) { return call(procs[0], "LBAsciiToEbcdic", t); }
int32_t crc(int32_t length, const void* data) { return call(procs[1], "LBCRC", length, data); }
int32_t command(int32_t handle, const char* c) { return call(procs[2], "LBCommand", handle, c, message); }
int32_t command(int32_t handle, const std::string& c) { return command(handle, c.c_str()); }
int32_t connect(const char* id, const char* password, const char* address) {
  return static_cast<int16_t>(call(procs[3], "LBConnect", id, password, "", address, message));
}
int32_t disconnect(int32_t handle) { return call(procs[4], "LBDisconn", handle, message); }
int32_t getNext(int32_t handle) { return call(procs[5], "LBGetNext", handle, message); }
int32_t insertBin(int32_t handle, char* c, const void* data, int32_t length) {
  return call(procs[6], "LBInsertBin", handle, c, data, length);
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The value of row i: runs of blanks and '@' that the run-length escape
// carries, all of one width so that rows need no padding.
std::string valueFor(int i) {
  char value[64];
  std::snprintf(value, sizeof value, "linha %05d      @arroba@@ %040d", i, i);
  return value;
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("lumbra32.dll");
  check(dll != nullptr, "LoadLibrary lumbra32.dll");
  if (dll == nullptr) return host32::finish();
  for (int i = 0; i < 7; ++i) {
    procs[i] = GetProcAddress(dll, kNames[i]);
    check(procs[i] != nullptr && procs[i] == GetProcAddress(dll, MAKEINTRESOURCEA(i + 1)),
          std::string(kNames[i]) + " by name and by ordinal " + std::to_string(i + 1));
  }
  check(GetProcAddress(dll, MAKEINTRESOURCEA(8)) == nullptr, "no ordinal 8");
  for (FARPROC p : procs) {
    if (p == nullptr) return host32::finish();
  }

  // The local utilities.
  check(crc(9, "123456789") == 0x31C3, "LBCRC check value 0x31C3");
  char ascii[] = "A1 a[b]";
  check(toEbcdic(ascii) == 0 && std::strcmp(ascii, "\xC1\xF1\x40\x81\x40\x82\x40") == 0, "LBAsciiToEbcdic");

  // Handles: only the low 16 bits count, read as signed.
  char prepared[64] = "INSERT INTO bin VALUES (1, =";
  struct HandleCase {
    const char* label;
    int32_t handle;
    int32_t expected;
  };
  const HandleCase handles[] = {
      {"empty slot 3", 3, -13},
      {"empty slot 499", 499, -13},
      {"500", 500, -14},
      {"-1", -1, -14},
      {"0x10003 (slot 3)", 0x10003, -13},
      {"0x7FFF0000 + 500", 0x7FFF0000 + 500, -14},
      {"0xFFFF (-1)", 0xFFFF, -14},
  };
  for (const HandleCase& h : handles) {
    check(command(h.handle, "SELECT 1") == h.expected && getNext(h.handle) == h.expected &&
              insertBin(h.handle, prepared, "x", 1) == h.expected && disconnect(h.handle) == h.expected,
          std::string("handle ") + h.label + ": " + std::to_string(h.expected) + " from every call");
  }
  command(3, "SELECT 1");
  check(text() == "LBX613 - CONEXAO NAO INICIALIZADA", "text of -13: " + text());
  command(500, "SELECT 1");
  check(text() == "LBX614 - PARAMETROS INVALIDOS", "text of -14: " + text());

  const std::string address = env("LUMBRA_ADDRESS");
  const std::string user = env("LUMBRA_USER");
  const std::string password = env("LUMBRA_PASSWORD");
  check(!address.empty() && !user.empty(), "LUMBRA_ADDRESS and LUMBRA_USER set (run with a server)");
  if (address.empty() || user.empty()) return host32::finish();

  // Nobody listens on port 1: the Winsock code of a refused connection.
  int32_t r = connect(user.c_str(), password.c_str(), "127.0.0.1:1");
  check(r == -7 && text() == "LBX607 - FALHA NA CONEXAO (10061)", "closed port: " + said(r));
  r = connect(user.c_str(), "ERRADA", address.c_str());
  check(r == -102 && text() == "USUARIO OU SENHA INVALIDOS", "wrong password refused: " + said(r));

  const int32_t h = connect(user.c_str(), password.c_str(), address.c_str());
  check(h == 0 && text().find("SESSAO ABERTA PARA " + user) != std::string::npos, "LBConnect: " + said(h));
  if (h < 0) return host32::finish();
  check(command(h + 0x10000, "SELECT 1") == 1, "handle 0x10000 is the session in slot 0");

  r = command(h, "GETSET CLIENTID");
  check(r == 15 && text() == "127.000.000.001", "GETSET CLIENTID: " + said(r));
  r = command(h, "GETSET SERVERINFO");
  check(r == static_cast<int32_t>(text().size()) &&
            text().rfind("Vers\xE3o 1.0.0, Sistema Operacional ", 0) == 0,
        "GETSET SERVERINFO: " + said(r));

  // A batch larger than the session buffer, committed in one go.
  r = command(h, "EXEC CREATE TABLE t (k INTEGER PRIMARY KEY, v TEXT)");
  check(r >= 0, "EXEC CREATE TABLE: " + said(r));
  constexpr int kRows = 1500;
  bool batched = true;
  for (int i = 1; i <= kRows; ++i) {
    batched = command(h, "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + valueFor(i) + "')") == 0 &&
              text().empty() && batched;
  }
  check(batched, "1500 INSERTs batched");
  r = command(h, "COMMIT");
  check(r == kRows, "COMMIT of 1500 updates: " + std::to_string(r));

  // About 100,000 bytes of rows: several blocks, each fetched with CONT.
  r = command(h, "SELECT k, v FROM t ORDER BY k");
  check(r == kRows, "SELECT row count: " + said(r));
  int delivered = 0;
  bool rowsRight = true;
  for (int32_t n; (n = getNext(h)) >= 0;) {
    ++delivered;
    char key[8];
    std::snprintf(key, sizeof key, "%4d", delivered);
    rowsRight = rowsRight && std::string(message, static_cast<std::size_t>(n)) == key + valueFor(delivered);
  }
  check(delivered == kRows && rowsRight, "every row in order, " + std::to_string(delivered) + " delivered");
  r = getNext(h);
  check(r == -10 && text() == "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA", "then " + said(r));

  // Every byte value through a binary insert, and back.
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  check(command(h, "EXEC CREATE TABLE bin (k INTEGER, b BLOB)") >= 0, "EXEC CREATE TABLE bin");
  static char buffer[1024];
  std::strcpy(buffer, "INSERT INTO bin (k, b) VALUES (7, =");
  check(insertBin(h, buffer, bytes, 256) == 0 && command(h, buffer) == 0 && command(h, "COMMIT") == 1,
        "binary insert of 256 bytes committed");
  check(command(h, "SELECT b FROM bin WHERE k = 7") == 1 && getNext(h) == 256 &&
            std::memcmp(message, bytes, 256) == 0,
        "binary column read back byte for byte");

  r = disconnect(h);
  check(r == 0 && text() == "SESSAO ENCERRADA", "LBDisconn: " + said(r));
  check(disconnect(h) == -13 && command(h, "SELECT 1") == -13, "the closed session: -13");

  FreeLibrary(dll);
  return host32::finish();
}
