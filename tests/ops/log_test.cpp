// The event log: text and JSON lines, the user on a session's lines, reopening after a rotation.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "server/log.h"
#include "tests/ops/ops_support.h"

namespace lumbra::server::testing {
namespace {

// The line without its time stamp (text: up to the first blank; JSON: the "time" member).
std::string withoutTime(const std::string& line, LogFormat format) {
  if (format == LogFormat::Text) return line.substr(line.find(' ') + 1);
  std::size_t end = line.find("\",", 0);
  return "{" + line.substr(end + 2);
}

TEST(Log, LinesInBothFormatsCarryTheSessionAndItsUserAndSurviveARotation) {
  TempDir folder;
  std::string error;
  ASSERT_TRUE(openLogFile(folder / "server.log", error)) << error;
  LogContext anonymous{7, "127.0.0.1:40000", ""};
  LogContext alice{7, "127.0.0.1:40000", "ALICE"};
  struct Case {
    LogFormat format;
    const LogContext* context;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {LogFormat::Text, nullptr, "listening", "listening\n"},
      {LogFormat::Text, &anonymous, "connected", "session 7 127.0.0.1:40000: connected\n"},
      {LogFormat::Text, &alice, "closed", "session 7 127.0.0.1:40000 user ALICE: closed\n"},
      {LogFormat::Json, nullptr, "listening", "{\"message\":\"listening\"}\n"},
      {LogFormat::Json, &anonymous, "connected",
       "{\"session\":7,\"client\":\"127.0.0.1:40000\",\"message\":\"connected\"}\n"},
      // Quotes, backslashes, control and non-ASCII bytes from a client stay one valid line.
      {LogFormat::Json, &alice, "said \"a\\b\"\n\xE7",
       "{\"session\":7,\"client\":\"127.0.0.1:40000\",\"user\":\"ALICE\","
       "\"message\":\"said \\\"a\\\\b\\\"\\u000a\\u00e7\"}\n"},
  };
  std::size_t read = 0;
  for (const Case& c : cases) {
    setLogFormat(c.format);
    if (c.context != nullptr) {
      logLine(*c.context, c.text);
    } else {
      logLine(c.text);
    }
    std::string all = readFile(folder / "server.log");
    std::string line = all.substr(read);
    read = all.size();
    EXPECT_EQ(withoutTime(line, c.format), c.expected);
  }
  setLogFormat(LogFormat::Text);
  // A rotation moves the file away; SIGHUP's reopening starts a new one.
  ASSERT_EQ(std::rename((folder / "server.log").c_str(), (folder / "server.log.1").c_str()), 0);
  logLine("still to the old file");
  reopenLogFile();
  logLine("to the new file");
  EXPECT_NE(readFile(folder / "server.log.1").find("still to the old file"), std::string::npos);
  std::string fresh = readFile(folder / "server.log");
  EXPECT_NE(fresh.find("log file reopened"), std::string::npos) << fresh;
  EXPECT_NE(fresh.find("to the new file"), std::string::npos) << fresh;
  // A file that cannot be opened leaves the log where it was.
  EXPECT_FALSE(openLogFile(folder / "no/such/folder/log", error));
  logLine("after the refusal");
  EXPECT_NE(readFile(folder / "server.log").find("after the refusal"), std::string::npos);
}

}  // namespace
}  // namespace lumbra::server::testing
