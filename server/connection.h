// One client connection: its socket, its session, the path of each message, its time limits, its facts.
//
// The message path, on the connection's strand (server/workers.h for the
// threads): bytes are read and cut into frames (FrameReader); each frame is
// received (received(), once per message), handled by the session
// (SessionLogic), inline on the lane's thread when it needs SQL and a slot is
// free; the reply is written (replied(), once per reply, then the write).
// Where a message has to wait, the connection holds it (held_) and its phase
// says what for:
//
//   Reading       waiting for bytes of the next message
//   Throttled     a login waits for its turn (repeated failures from its address)
//   AwaitingSlot  every SQL slot is taken: handed the next one given back
//   AwaitingLock  the write lock is taken: woken when another session of the
//                 server ends its write transaction (or, for a lock held
//                 outside the server or a full pool, after kRetryDelay), until
//                 the busy timeout
//   AwaitingRows  a frame waits for the rows stepped ahead (see ReadAhead)
//   Running       the session handles the message
//   Writing       the reply is on its way (the next block is laid out meanwhile)
//   Closed        the socket is closed; nothing more happens
//
// Rows of an open result beyond those kept in memory are stepped ahead by a
// helper thread while the blocks travel (SessionLogic::readAhead). Its state:
//
//   Idle          nothing steps ahead
//   Stepping      a helper steps rows ahead; continuations that the block laid
//                 out ahead answers go out meanwhile
//   RowsAwaited   ... and a continuation waits for rows not yet stepped
//   Stopping      ... and another message needs the statement: the stepping
//                 stops at the next row, then the message is handled
//
//   from \ to     Idle   Stepping   RowsAwaited   Stopping
//   Idle           -        yes         -             -
//   Stepping      yes        -         yes           yes
//   RowsAwaited   yes       yes         -            yes
//   Stopping      yes        -          -             -
//
// (Stepping -> Idle: the helper stopped, its queue full or the rows all
// stepped; RowsAwaited -> Stepping: rows came for the continuation;
// RowsAwaited/Stopping -> Idle: the helper stopped, the held frame goes on;
// RowsAwaited -> Stopping: the connection closes.)
#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "server/framing.h"
#include "server/log.h"
#include "server/session.h"
#include "server/throttle.h"
#include "server/workers.h"

namespace lumbra::server {

struct ServerOptions;

// What connections share: set up by the server before the first one.
struct ServerShared {
  ServerShared(const ServerOptions& o, Workers& w) : options(o), workers(w) {}
  const ServerOptions& options;
  Workers& workers;
  Backend* backend = nullptr;
  UserStore* users = nullptr;
  LoginThrottle* throttle = nullptr;
  // Bytes of replies built and not yet sent, all sessions together.
  std::atomic<long long> replyBytes{0};
  // Called from a connection's destructor.
  std::function<void(std::uint64_t id)> forget;
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  enum class Phase { Reading, Throttled, AwaitingSlot, AwaitingLock, AwaitingRows, Running, Writing, Closed };
  enum class ReadAhead { Idle, Stepping, RowsAwaited, Stopping };

  // Whether the read-ahead may move from `from` to `to` (the table above).
  static bool allowed(ReadAhead from, ReadAhead to);

  // `socket` runs on a strand of `lane`'s I/O context.
  Connection(ServerShared& server, asio::ip::tcp::socket socket, Lane& lane, std::uint64_t id,
             std::uint32_t address, std::string peer);
  ~Connection();

  void start();
  // From any thread: closes the connection on its strand; SQL it runs is interrupted.
  void close();
  // What the message path is doing now, readable from any thread.
  Phase phase() const { return phase_.load(std::memory_order_relaxed); }

 private:
  void read();
  // The next message (the held one first), until one has to wait.
  void next();
  // The message path's entry: every message comes through here once (the
  // session registry learns of it: server/registry.h).
  void received(Frame frame);
  // Where a message goes; called again for a held message when its wait ends.
  void route(Frame frame);
  void hold(Frame frame, Phase phase);
  void run(Frame frame, SlotLease lease);
  void awaitLock(Frame frame);
  void resumeHeld(Phase expected);
  // The message path's exit: every reply comes through here once (the
  // registry, the trace and the metrics learn of it).
  void replied(const Frame& frame, SessionLogic::Outcome& outcome);
  void send(bool closeAfter);
  void sent(bool closeAfter);

  void startReadAhead();
  void moveReadAhead(ReadAhead to);
  void rowsArrived();
  void readAheadEnded();

  void armLimits();
  void checkLimits();
  // Nothing of the session at work: no message handled or held, nothing stepped ahead.
  bool quiet() const;
  void finish(const std::string& reason);
  void setPhase(Phase phase) { phase_.store(phase, std::memory_order_relaxed); }

  ServerShared& server_;
  asio::ip::tcp::socket socket_;
  Lane& lane_;
  asio::steady_timer timer_;       // throttled logins, lock waits
  asio::steady_timer limitTimer_;  // pre-login, idle and result-hold limits
  std::optional<Clock::time_point> limitArmedAt_;
  std::uint64_t id_;
  std::uint32_t address_;
  LogContext context_;  // the session's number, client and (once logged in) user on its log lines
  FrameReader reader_;
  SessionLogic logic_;
  std::array<char, 16 * 1024> buffer_{};  // per session: 2000 sessions take 32 MB

  std::atomic<Phase> phase_{Phase::Reading};
  ReadAhead readAhead_ = ReadAhead::Idle;
  std::optional<Frame> held_;
  bool admitted_ = false;         // the held login has had its turn from the throttle
  std::uint64_t waitSerial_ = 0;  // tells a wake-up of the current wait from a stale one
  std::string outgoing_;
  long long pendingBytes_ = 0;  // outgoing_'s share of ServerShared::replyBytes
  Clock::time_point accepted_{};
  Clock::time_point lastHeard_{};
};

}  // namespace lumbra::server
