// Windows host test: loads lumbra32.dll as a host application does and runs one session.
//
// Usage: lumbra32_host_test [address identification password]
// Without an address only the exports and the local utilities are checked.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char* what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what);
  }
}

using Connect = int32_t (*)(const char*, const char*, const char*, const char*, char*);
using Disconn = int32_t (*)(int32_t, char*);
using Command = int32_t (*)(int32_t, const char*, char*);
using GetNext = int32_t (*)(int32_t, char*);
using Crc = int32_t (*)(int32_t, const void*);
using ToEbcdic = int32_t (*)(char*);
using InsertBin = int32_t (*)(int32_t, char*, const void*, int32_t);

// A procedure address as the function type it really has.
template <class F>
F as(FARPROC p) {
  F f;
  static_assert(sizeof f == sizeof p);
  std::memcpy(&f, &p, sizeof f);
  return f;
}

const char* const kNames[7] = {"LBAsciiToEbcdic", "LBCRC",     "LBCommand",  "LBConnect",
                               "LBDisconn",       "LBGetNext", "LBInsertBin"};

}  // namespace

int main(int argc, char** argv) {
  HMODULE dll = LoadLibraryA("lumbra32.dll");
  check(dll != nullptr, "LoadLibrary lumbra32.dll");
  if (dll == nullptr) {
    std::printf("%d passed, %d failed\n", passed, failed);
    return 1;
  }
  FARPROC procs[7] = {};
  for (int i = 0; i < 7; ++i) {
    procs[i] = GetProcAddress(dll, kNames[i]);
    FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(i + 1));
    check(procs[i] != nullptr && procs[i] == byOrdinal, kNames[i]);
  }
  auto toEbcdic = as<ToEbcdic>(procs[0]);
  auto crc = as<Crc>(procs[1]);
  auto command = as<Command>(procs[2]);
  auto connect = as<Connect>(procs[3]);
  auto disconn = as<Disconn>(procs[4]);
  auto getNext = as<GetNext>(procs[5]);
  auto insertBin = as<InsertBin>(procs[6]);
  if (failed != 0) {
    std::printf("%d passed, %d failed\n", passed, failed);
    return 1;
  }

  check(crc(9, "123456789") == 0x31C3, "LBCRC check value");
  char text[] = "a[b]";
  check(toEbcdic(text) == 0 && std::strcmp(text, "\x81\x40\x82\x40") == 0, "LBAsciiToEbcdic");
  static char message[70000];
  check(connect("ABCDEFGHIJKL", "p", "", "127.0.0.1", message) == -14 &&
            std::strcmp(message, "LBX614 - PARAMETROS INVALIDOS") == 0,
        "LBConnect argument rules");
  check(static_cast<int16_t>(connect("a", "p", "", "no.such.host", message)) == -4, "LBConnect host name");
  check(command(500, "SELECT", message) == -14, "LBCommand handle 500");
  check(getNext(3, message) == -13, "LBGetNext empty slot");
  check(insertBin(3, text, "", 0) == -13, "LBInsertBin empty slot");

  if (argc >= 4) {
    const int32_t h = static_cast<int16_t>(connect(argv[2], argv[3], "", argv[1], message));
    check(h >= 0, "LBConnect to the reference server");
    if (h >= 0) {
      check(command(h, "GETSET CLIENTID", message) == 15 && std::strcmp(message, "127.000.000.001") == 0,
            "GETSET CLIENTID");
      check(command(h, "EXEC CREATE TABLE IF NOT EXISTS host_test (k INTEGER, v TEXT)", message) >= 0,
            "EXEC CREATE");
      check(command(h, "DELETE FROM host_test", message) == 0, "batched DELETE");
      check(command(h, "INSERT INTO host_test VALUES (1, 'um    ')", message) == 0, "batched INSERT 1");
      check(command(h, "INSERT INTO host_test VALUES (2, 'dois@')", message) == 0, "batched INSERT 2");
      check(command(h, "COMMIT", message) >= 2, "COMMIT");
      const int32_t rows = command(h, "SELECT k, v FROM host_test ORDER BY k", message);
      check(rows == 2, "SELECT row count");
      int delivered = 0;
      std::string all;
      for (int32_t n; (n = getNext(h, message)) >= 0;) {
        ++delivered;
        all.append(message, static_cast<std::size_t>(n));
      }
      check(delivered == 2 && all.find("dois@") != std::string::npos, "LBGetNext rows");
      check(disconn(h, message) == 0, "LBDisconn");
      check(disconn(h, message) == -13, "LBDisconn twice");
    }
  }
  FreeLibrary(dll);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
