// lumbra32_host.cpp -- lumbra32 as a host loads it: every export by name (and
// on Windows by ordinal), the handle and argument rules, and one session with
// the reference server: batches and COMMIT, a SELECT over several blocks, a
// binary insert read back, the local GETSET answers, a refused login, a
// closed port.
//
// Usage: lumbra32_host, with LUMBRA_ADDRESS (a.b.c.d:port of a fresh
// lumbra-server), LUMBRA_USER and LUMBRA_PASSWORD (one of its users) set.
#include <cstdio>
#include <cstring>
#include <string>

#include "client/lumbra32.h"
#include "tests/hosts/host.h"

using host::check;
using host::Export;

namespace {

const char* const kNames[7] = {"LBAsciiToEbcdic", "LBCRC",     "LBCommand",  "LBConnect",
                               "LBDisconn",       "LBGetNext", "LBInsertBin"};
char message[70000];

std::string text() { return message; }

// A result with the message text it left, for a check's label.
std::string said(int32_t result) { return std::to_string(result) + " " + text(); }

// The value of row i: runs of blanks and '@' that the run-length escape
// carries, all of one width so that rows need no padding.
std::string valueFor(int i) {
  char value[96];
  std::snprintf(value, sizeof value, "linha %05d      @arroba@@ %040d", i, i);
  return value;
}

}  // namespace

int main() {
  host::Library library("lumbra32");
  check(library.loaded(), "load " + library.file());
  if (!library.loaded()) return host::finish();
  for (int i = 0; i < 7; ++i) {
    void* byName = library.byName(kNames[i]);
    check(byName != nullptr, std::string(kNames[i]) + " exported");
    if (host::kOrdinals) {
      check(byName == library.byOrdinal(i + 1),
            std::string(kNames[i]) + " is ordinal " + std::to_string(i + 1));
    }
  }
  if (host::kOrdinals) check(library.byOrdinal(8) == nullptr, "no ordinal 8");

  const Export<decltype(&LBAsciiToEbcdic)> asciiToEbcdic(library, "LBAsciiToEbcdic");
  const Export<decltype(&LBCRC)> crc(library, "LBCRC");
  const Export<decltype(&LBCommand)> lbCommand(library, "LBCommand");
  const Export<decltype(&LBConnect)> lbConnect(library, "LBConnect");
  const Export<decltype(&LBDisconn)> lbDisconn(library, "LBDisconn");
  const Export<decltype(&LBGetNext)> lbGetNext(library, "LBGetNext");
  const Export<decltype(&LBInsertBin)> insertBin(library, "LBInsertBin");
  // The command as the host's buffer holds it: a prepared binary insert carries NUL bytes.
  auto command = [&](int32_t handle, const char* c) { return lbCommand(handle, c, message); };
  // The handle is the low 16 bits of the result, read as signed.
  auto connect = [&](const char* id, const char* password, const char* address) {
    return static_cast<int32_t>(static_cast<int16_t>(lbConnect(id, password, "", address, message)));
  };
  auto disconnect = [&](int32_t handle) { return lbDisconn(handle, message); };
  auto getNext = [&](int32_t handle) { return lbGetNext(handle, message); };

  // The local utilities.
  check(crc(9, "123456789") == 0x31C3, "LBCRC check value 0x31C3");
  char ascii[] = "A1 a[b]";
  check(asciiToEbcdic(ascii) == LB_OK && std::strcmp(ascii, "\xC1\xF1\x40\x81\x40\x82\x40") == 0,
        "LBAsciiToEbcdic");

  // Handles: only the low 16 bits count, read as signed.
  char prepared[64] = "INSERT INTO bin VALUES (1, =";
  struct HandleCase {
    const char* label;
    int32_t handle;
    int32_t expected;
  };
  const HandleCase handles[] = {
      {"empty slot 3", 3, LB_NOT_CONNECTED},
      {"empty slot 499", 499, LB_NOT_CONNECTED},
      {"500", 500, LB_INVALID_PARAMETERS},
      {"-1", -1, LB_INVALID_PARAMETERS},
      {"0x10003 (slot 3)", 0x10003, LB_NOT_CONNECTED},
      {"0x7FFF0000 + 500", 0x7FFF0000 + 500, LB_INVALID_PARAMETERS},
      {"0xFFFF (-1)", 0xFFFF, LB_INVALID_PARAMETERS},
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

  // Arguments refused before any connection is tried.
  struct ConnectCase {
    const char* label;
    const char* id;
    const char* address;
    int32_t expected;
  };
  const ConnectCase refused[] = {
      {"identification of 12 characters", "ABCDEFGHIJKL", "127.0.0.1", LB_INVALID_PARAMETERS},
      {"a host name, not an address", "a", "no.such.host", LB_BAD_SERVER_ADDRESS},
  };
  for (const ConnectCase& c : refused) {
    const int32_t r = connect(c.id, "p", c.address);
    check(r == c.expected, std::string("LBConnect, ") + c.label + ": " + said(r));
  }

  const std::string address = host::env("LUMBRA_ADDRESS");
  const std::string user = host::env("LUMBRA_USER");
  const std::string password = host::env("LUMBRA_PASSWORD");
  check(!address.empty() && !user.empty(), "LUMBRA_ADDRESS and LUMBRA_USER set (run with a server)");
  if (address.empty() || user.empty()) return host::finish();

    // Nobody listens on port 1: the socket library's code of a refused connection.
#if defined(_WIN32)
  const std::string refusedText = "LBX607 - FALHA NA CONEXAO (10061)";
#else
  const std::string refusedText = "LBX607 - FALHA NA CONEXAO (111)";
#endif
  int32_t r = connect(user.c_str(), password.c_str(), "127.0.0.1:1");
  check(r == LB_CONNECT_FAILED && text() == refusedText, "closed port: " + said(r));
  r = connect(user.c_str(), "ERRADA", address.c_str());
  check(r == -102 && text() == "USUARIO OU SENHA INVALIDOS", "wrong password refused: " + said(r));

  const int32_t h = connect(user.c_str(), password.c_str(), address.c_str());
  check(h == 0 && text().find("SESSAO ABERTA PARA " + user) != std::string::npos, "LBConnect: " + said(h));
  if (h < 0) return host::finish();
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
    const std::string insert = "INSERT INTO t VALUES (" + std::to_string(i) + ", '" + valueFor(i) + "')";
    batched = command(h, insert.c_str()) == 0 && text().empty() && batched;
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
    char key[16];
    std::snprintf(key, sizeof key, "%4d", delivered);
    rowsRight = rowsRight && std::string(message, static_cast<std::size_t>(n)) == key + valueFor(delivered);
  }
  check(delivered == kRows && rowsRight, "every row in order, " + std::to_string(delivered) + " delivered");
  r = getNext(h);
  check(r == LB_NO_ROWS && text() == "LBX610 - NAO HA REGISTROS SELECIONADOS PARA LEITURA",
        "then " + said(r));

  // Every byte value through a binary insert, and back.
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  check(command(h, "EXEC CREATE TABLE bin (k INTEGER, b BLOB)") >= 0, "EXEC CREATE TABLE bin");
  static char buffer[1024];
  std::strcpy(buffer, "INSERT INTO bin (k, b) VALUES (7, =");
  r = insertBin(h, buffer, bytes, 256);
  check(r == LB_OK, "LBInsertBin of 256 bytes: " + said(r));
  r = command(h, buffer);
  check(r == 0, "the prepared insert batched: " + said(r));
  r = command(h, "COMMIT");
  check(r == 1, "binary insert committed: " + said(r));
  check(command(h, "SELECT b FROM bin WHERE k = 7") == 1 && getNext(h) == 256 &&
            std::memcmp(message, bytes, 256) == 0,
        "binary column read back byte for byte");

  r = disconnect(h);
  check(r == LB_OK && text() == "SESSAO ENCERRADA", "LBDisconn: " + said(r));
  check(disconnect(h) == LB_NOT_CONNECTED && command(h, "SELECT 1") == LB_NOT_CONNECTED,
        "the closed session: -13");
  return host::finish();
}
