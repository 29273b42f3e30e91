// A scripted lumbra32 session whose traffic the dissector's tests capture: a
// refused login, then a session with every kind of message (SET, GETSET,
// EXEC, batches refused and committed, a binary insert, a SELECT read in
// several blocks, the farewell).
//
// usage: lumbra_capture_session ADDRESS:PORT ID PASSWORD NEW_PASSWORD
// The accepted login changes the password to NEW_PASSWORD. Prints one line
// per step; exit status 0 when every step gave what it should, 1 otherwise.
#include <cstdio>
#include <string>
#include <vector>

#include "client/lumbra32.h"

namespace {

// Room for any reply text or row of this session.
constexpr std::size_t kMessageRoom = 70000;

int failures = 0;

void expect(bool ok, const std::string& step, int result, const char* message) {
  std::printf("%-4s %-40s -> %d %s\n", ok ? "ok" : "FAIL", step.c_str(), result, message);
  if (!ok) ++failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s ADDRESS:PORT ID PASSWORD NEW_PASSWORD\n", argv[0]);
    return 2;
  }
  const char* address = argv[1];
  const char* user = argv[2];
  const char* password = argv[3];
  const char* newPassword = argv[4];
  std::vector<char> message(kMessageRoom);
  char* m = message.data();

  // A wrong password: refused, the connection closed by the client.
  int result = LBConnect(user, "WRONGPASSWORD", "", address, m);
  expect(result == -102, "login with a wrong password", result, m);

  const int handle = LBConnect(user, password, newPassword, address, m);
  expect(handle >= 0, "login, changing the password", handle, m);
  if (handle < 0) return 1;

  auto run = [&](const std::string& text, auto check) {
    const int r = LBCommand(handle, text.c_str(), m);
    expect(check(r), text.substr(0, 40), r, m);
    return r;
  };
  auto succeeds = [](int r) { return r >= 0; };

  // A small message length: the SELECT below needs several blocks.
  run("SET MESSAGE_LENGTH=256", succeeds);
  run("GETSET MESSAGE_LENGTH", [](int r) { return r == 3; });
  run("EXEC CREATE TABLE PEOPLE (K INTEGER PRIMARY KEY, NAME TEXT, CITY TEXT, DATA BLOB)", succeeds);
  run("COMMIT", succeeds);

  // A batch the server refuses: the table does not exist.
  run("INSERT INTO NOWHERE VALUES (1, '    ')", [](int r) { return r == 0; });
  run("COMMIT", [](int r) { return r == -2001; });

  // Forty inserts: full batches go out on their own, the rest with the COMMIT.
  // Blanks and repeated letters make runs; '@' is escaped.
  for (int k = 1; k <= 40; ++k) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "INSERT INTO PEOPLE (K, NAME, CITY) VALUES (%d, 'PERSON %d      X', '%s')", k, k,
                  k % 2 ? "LISBOA@PORTO" : "FAAAAARO");
    run(text, [](int r) { return r == 0; });
  }
  // The reply cannot hold forty items at this message length: it ends with the total.
  run("COMMIT", [](int r) { return r > 0; });

  // A binary insert whose data holds zero bytes, a quote and the marker itself.
  const char data[] = "BIN\0ARY\x7d'LBXEOB\xff\x00" "END";
  const int dataLength = static_cast<int>(sizeof data - 1);
  char prepared[400];
  std::snprintf(prepared, sizeof prepared, "INSERT INTO PEOPLE (K, NAME, DATA) VALUES (99, 'BINARY', ?)=");
  result = LBInsertBin(handle, prepared, data, dataLength);
  expect(result == 0, "LBInsertBin", result, "");
  result = LBCommand(handle, prepared, m);
  expect(result == 0, "binary insert", result, m);
  run("COMMIT", [](int r) { return r == 1; });

  // A SELECT of every row, read to the end through continuation blocks.
  const int rows = run("SELECT K, NAME, CITY FROM PEOPLE ORDER BY K", [](int r) { return r == 41; });
  int read = 0;
  while (LBGetNext(handle, m) >= 0) ++read;
  expect(read == rows, "rows read with LBGetNext", read, "");

  result = LBDisconn(handle, m);
  expect(result == 0, "farewell", result, m);
  return failures == 0 ? 0 : 1;
}
