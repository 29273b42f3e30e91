// The scripted fake server of the client tests.
#include "tests/client/fake_server.h"

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumbra::testing {
namespace {

constexpr int kWaitMs = 5000;
constexpr int kPauseBetweenWritesMs = 30;

bool waitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kWaitMs) == 1;
}

}  // namespace

std::string reply(const std::string& status, const std::string& text, const std::string& tag) {
  return tag + status + text + "LBXEOB";
}

std::vector<Step> connectScript(const std::string& loginText) {
  return {readMessage(), write(reply("0000", "BEM VINDO")), readBytes(118), write(reply("0000", loginText))};
}

std::vector<Step> farewellScript() { return {readMessage(), write(reply("0000", "ATE LOGO"))}; }

FakeServer::FakeServer(std::vector<Step> script) : script_(std::move(script)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  ::listen(listener_, 4);
  socklen_t len = sizeof sa;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  thread_ = std::thread([this] { play(); });
}

FakeServer::~FakeServer() {
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
}

std::string FakeServer::address() const { return "127.0.0.1:" + std::to_string(port_); }

const std::vector<std::string>& FakeServer::received() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

void FakeServer::play() {
  if (!waitReadable(listener_)) return;
  const int fd = ::accept(listener_, nullptr, nullptr);
  if (fd < 0) return;
  bool open = true;
  for (const Step& step : script_) {
    if (!open) break;
    switch (step.kind) {
      case Step::ReadMessage:
      case Step::ReadBytes: {
        std::string got;
        char c;
        for (;;) {
          if (step.kind == Step::ReadBytes && got.size() == step.count) break;
          if (step.kind == Step::ReadMessage && got.size() >= 6 &&
              got.compare(got.size() - 6, 6, "LBXEOB") == 0)
            break;
          if (!waitReadable(fd) || ::recv(fd, &c, 1, 0) != 1) {
            open = false;
            break;
          }
          got += c;
        }
        received_.push_back(got);
        break;
      }
      case Step::Write:
        std::this_thread::sleep_for(std::chrono::milliseconds(kPauseBetweenWritesMs));
        ::send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL);
        break;
      case Step::Close:
        open = false;
        break;
    }
  }
  ::close(fd);
}

}  // namespace lumbra::testing
