// A scripted fake server on 127.0.0.1 for the client tests: plays a script, records what it receives.
#pragma once

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

namespace lumbra::testing {

struct Step {
  enum Kind { ReadMessage, ReadBytes, Write, Close } kind;
  std::string bytes;      // Write: what to send (one send call)
  std::size_t count = 0;  // ReadBytes: how many
};

inline Step readMessage() { return {Step::ReadMessage, {}, 0}; }
inline Step readBytes(std::size_t n) { return {Step::ReadBytes, {}, n}; }
inline Step write(std::string bytes) { return {Step::Write, std::move(bytes), 0}; }
inline Step closeConnection() { return {Step::Close, {}, 0}; }

// A framed reply: "LBX000" (or `tag`), the status, the text, the marker.
std::string reply(const std::string& status, const std::string& text, const std::string& tag = "LBX000");

// Greeting and login with the given login reply text (status 0000).
std::vector<Step> connectScript(const std::string& loginText = ",SV=2.4.0,ML=1900");
// The farewell exchange.
std::vector<Step> farewellScript();

class FakeServer {
 public:
  // Listens on an ephemeral port of 127.0.0.1 and plays `script` on the first
  // connection. Every read waits at most a few seconds; the connection is
  // closed when the script ends.
  explicit FakeServer(std::vector<Step> script);
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  std::string address() const;
  // Waits for the script to end; the messages read, in order (marker included).
  const std::vector<std::string>& received();

 private:
  void play();
  int listener_ = -1;
  int port_ = 0;
  std::vector<Step> script_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace lumbra::testing
