// The control socket: a Unix socket (mode 0600) on which the running server answers `lumbra-server status` and `trace`.
//
// A request is one line, its answer the text up to the end of the stream:
//   status                      the table of sessions (statusTable, registry.h)
//   trace session N on|off      the trace of one session
//   trace user ID on|off        of every session of a user, now and later
// An answer that begins with "error: " is a refusal. Only the owner of the
// server's files may connect (the socket's mode), as only they may read them.
#pragma once

#include <memory>
#include <string>

namespace lumbra::server {

class ControlSocket {
 public:
  ControlSocket();
  ~ControlSocket();  // stops answering and removes the socket
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Creates the socket at `path` and answers on a thread of its own. A stale
  // socket there (no server answers) is replaced; a live one, or a file that is
  // no socket, is refused. False with `error`.
  bool start(const std::string& path, std::string& error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The answer of a request, for the whole text (the server's answer, or why
// none came). True when the server answered without refusing.
bool controlRequest(const std::string& path, const std::string& request, std::string& answer);

// What the server answers to `request` (control.cpp and its tests).
std::string controlAnswer(const std::string& request);

}  // namespace lumbra::server
