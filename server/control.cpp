// The control socket: Asio's local stream sockets, one request a connection, answered from the registry.
#include "server/control.h"

#include <sys/stat.h>

#include <asio.hpp>
#include <filesystem>
#include <sstream>
#include <thread>

#include "server/log.h"
#include "server/registry.h"

namespace lumbra::server {

namespace {

using asio::local::stream_protocol;
constexpr std::size_t kLongestRequest = 1024;

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// A connection to `path`: 0 connected, else the error.
std::error_code connectTo(stream_protocol::socket& socket, const std::string& path) {
  std::error_code ec;
  socket.connect(stream_protocol::endpoint(path), ec);
  return ec;
}

}  // namespace

std::string controlAnswer(const std::string& request) {
  std::vector<std::string> w = words(request);
  if (w.size() == 1 && w[0] == "status") return statusTable(sessionRegistry().rows());
  if (w.size() == 4 && w[0] == "trace" && (w[3] == "on" || w[3] == "off")) {
    const bool on = w[3] == "on";
    if (w[1] == "session") {
      std::uint64_t session = std::strtoull(w[2].c_str(), nullptr, 10);
      if (sessionRegistry().traceSession(session, on) == 0) return "error: no session " + w[2] + "\n";
      logLine("trace of session " + w[2] + " " + w[3] + " (lumbra-server trace)");
      return "trace " + w[3] + " for session " + w[2] + "\n";
    }
    if (w[1] == "user") {
      int count = sessionRegistry().traceUser(w[2], on);
      logLine("trace of the sessions of '" + w[2] + "' " + w[3] + " (lumbra-server trace)");
      return "trace " + w[3] + " for the sessions of " + w[2] + " (" + std::to_string(count) + " open now" +
             (on ? ", and those that log in later)\n" : ")\n");
    }
  }
  return "error: not a request: " + request + "\n";
}

struct ControlSocket::Impl {
  asio::io_context io;
  stream_protocol::acceptor acceptor{io};
  std::thread thread;
  std::string path;

  void accept() {
    acceptor.async_accept([this](std::error_code ec, stream_protocol::socket socket) {
      if (ec) {
        if (ec != asio::error::operation_aborted) accept();
        return;
      }
      answer(socket);
      accept();
    });
  }

  // One request, answered at once (the registry only takes its lock briefly).
  static void answer(stream_protocol::socket& socket) {
    timeval timeout{2, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    std::string line;
    char c = 0;
    std::error_code ec;
    while (line.size() < kLongestRequest && asio::read(socket, asio::buffer(&c, 1), ec) == 1 && c != '\n') {
      line.push_back(c);
    }
    std::string text = controlAnswer(line);
    asio::write(socket, asio::buffer(text), ec);
    socket.shutdown(stream_protocol::socket::shutdown_both, ec);
  }
};

ControlSocket::ControlSocket() : impl_(std::make_unique<Impl>()) {}

ControlSocket::~ControlSocket() {
  if (!impl_->thread.joinable()) return;
  asio::post(impl_->io, [this] {
    std::error_code ignored;
    impl_->acceptor.close(ignored);
  });
  impl_->thread.join();
  std::error_code ignored;
  std::filesystem::remove(impl_->path, ignored);
}

bool ControlSocket::start(const std::string& path, std::string& error) {
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    error = "longer than " + std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes";
    return false;
  }
  std::error_code fsError;
  auto status = std::filesystem::symlink_status(path, fsError);
  if (std::filesystem::exists(status)) {
    if (!std::filesystem::is_socket(status)) {
      error = "a file that is no socket is there";
      return false;
    }
    stream_protocol::socket probe(impl_->io);
    if (!connectTo(probe, path)) {
      error = "another server answers on it";
      return false;
    }
    std::filesystem::remove(path, fsError);  // left by a server that did not stop cleanly
  }
  std::error_code ec;
  impl_->acceptor.open(stream_protocol(), ec);
  if (!ec) {
    // Created for the owner only: no moment with a wider mode.
    mode_t saved = umask(0177);
    impl_->acceptor.bind(stream_protocol::endpoint(path), ec);
    umask(saved);
  }
  if (!ec) impl_->acceptor.listen(16, ec);
  if (ec) {
    error = ec.message();
    std::error_code ignored;
    impl_->acceptor.close(ignored);
    return false;
  }
  impl_->path = path;
  impl_->accept();
  impl_->thread = std::thread([this] { impl_->io.run(); });
  return true;
}

bool controlRequest(const std::string& path, const std::string& request, std::string& answer) {
  asio::io_context io;
  stream_protocol::socket socket(io);
  if (std::error_code ec = connectTo(socket, path)) {
    answer = "no server answers on " + path + " (" + ec.message() + ")";
    return false;
  }
  timeval timeout{10, 0};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::error_code ec;
  asio::write(socket, asio::buffer(request + "\n"), ec);
  answer.clear();
  char buffer[4096];
  for (;;) {
    std::size_t n = socket.read_some(asio::buffer(buffer), ec);
    answer.append(buffer, n);
    if (ec) break;
  }
  if (ec != asio::error::eof) {
    answer = "no answer from " + path + " (" + ec.message() + ")";
    return false;
  }
  if (answer.starts_with("error: ")) {
    answer = answer.substr(7);
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return false;
  }
  return true;
}

}  // namespace lumbra::server
