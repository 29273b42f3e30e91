// A connection's message path: reading, holding a message while it waits, handling, writing, stepping rows ahead, time limits.
//
// Map: construction and facts; reading and the message path (received,
// route, run, the waits); the reply (replied, send); rows stepped ahead; time
// limits and closing.
#include "server/connection.h"

#include <algorithm>

#include "protocol/wire.h"
#include "server/log.h"
#include "server/metrics.h"
#include "server/registry.h"
#include "server/server.h"

namespace lumbra::server {

namespace {

using asio::ip::tcp;

// A message that waits for a lock held outside the server, or for a pooled
// connection, looks again this often (one that waits for a session of this
// server is woken when that session ends its transaction).
constexpr auto kRetryDelay = std::chrono::milliseconds(20);
// The write lock of a SQLite file may also be held by another program: a
// waiting message looks again this often even when no session wakes it.
constexpr auto kLockPoll = std::chrono::milliseconds(100);
constexpr std::size_t kSmallBlock = 64 * 1024;
// A reply this large gives its memory back once sent.
constexpr std::size_t kKeptReplyCapacity = 256 * 1024;

std::string seconds(std::chrono::milliseconds duration) {
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  if (whole * 1000 == duration.count()) return std::to_string(whole) + " s";
  return std::to_string(duration.count()) + " ms";
}

}  // namespace

bool Connection::allowed(ReadAhead from, ReadAhead to) {
  switch (from) {
    case ReadAhead::Idle:
      return to == ReadAhead::Stepping;
    case ReadAhead::Stepping:
      return to == ReadAhead::Idle || to == ReadAhead::RowsAwaited || to == ReadAhead::Stopping;
    case ReadAhead::RowsAwaited:
      return to == ReadAhead::Idle || to == ReadAhead::Stepping || to == ReadAhead::Stopping;
    case ReadAhead::Stopping:
      return to == ReadAhead::Idle;
  }
  return false;
}

Connection::Connection(ServerShared& server, tcp::socket socket, Lane& lane, std::uint64_t id,
                       std::uint32_t address, std::string peer)
    : server_(server),
      socket_(std::move(socket)),
      lane_(lane),
      timer_(socket_.get_executor()),
      limitTimer_(socket_.get_executor()),
      id_(id),
      address_(address),
      context_{id, std::move(peer), {}},
      reader_(kInitialBufferSize + 1024),
      logic_(server.options.settings, *server.backend, *server.users, address,
             [this](const std::string& line) { logLine(context_, line); }) {}

Connection::~Connection() {
  server_.replyBytes -= pendingBytes_;
  if (server_.forget) server_.forget(id_);
  sessionRegistry().closed(id_);
}

void Connection::start() {
  sessionRegistry().opened(id_, context_.client);
  logLine(context_, "connected");
  accepted_ = Clock::now();
  lastHeard_ = accepted_;
  std::error_code ignored;
  socket_.non_blocking(true, ignored);
  armLimits();
  read();
}

void Connection::close() {
  logic_.interrupt();
  asio::post(socket_.get_executor(), [self = shared_from_this()] { self->finish("server stopping"); });
}

// ---------------------------------------------------------------- the message path

void Connection::read() {
  setPhase(Phase::Reading);
  socket_.async_read_some(
      asio::buffer(buffer_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
        if (self->phase_ == Phase::Closed) return;
        if (ec) {
          std::string reason = ec == asio::error::eof ? "client closed the connection"
                                                      : "connection lost (" + ec.message() + ")";
          if (self->reader_.buffered() > 0) reason += " in the middle of a message";
          self->finish(reason);
          return;
        }
        self->lastHeard_ = Clock::now();
        metrics().bytesIn(n);
        self->reader_.feed(self->buffer_.data(), n);
        self->next();
      });
}

void Connection::next() {
  if (phase_ == Phase::Closed) return;
  if (held_) {
    // A message that waited: its turn has come (it was received already).
    Frame frame = std::move(*held_);
    held_.reset();
    route(std::move(frame));
    return;
  }
  std::optional<Frame> frame = reader_.next();
  if (!frame) {
    read();
    return;
  }
  admitted_ = false;
  received(std::move(*frame));
}

void Connection::received(Frame frame) {
  sessionRegistry().began(id_, frame);
  route(std::move(frame));
}

void Connection::route(Frame frame) {
  // Logins from an address that keeps failing wait their turn.
  if (frame.kind == Frame::Kind::Login && !admitted_ && !logic_.loggedIn()) {
    admitted_ = true;
    const Clock::time_point now = Clock::now();
    const Clock::time_point turn = server_.throttle->admit(address_, now);
    if (turn > now) {
      hold(std::move(frame), Phase::Throttled);
      const std::uint64_t serial = waitSerial_;
      timer_.expires_at(turn);
      timer_.async_wait([self = shared_from_this(), serial](std::error_code ec) {
        if (!ec && self->waitSerial_ == serial) self->resumeHeld(Phase::Throttled);
      });
      return;
    }
  }
  const long long megabytes = server_.options.replyMemoryMb;
  const long long budget = megabytes * 1024 * 1024 - server_.replyBytes.load();
  logic_.setBlockBudget(megabytes <= 0 ? static_cast<std::size_t>(-1)
                                       : std::max<std::size_t>(kSmallBlock, budget > 0 ? budget : 0));
  if (readAhead_ != ReadAhead::Idle) {
    // Rows are being stepped ahead: a continuation that the rows already
    // stepped answer goes out now; any other message that needs the
    // statement or the connection waits for the stepping to stop.
    logic_.prepareAhead();
    if (logic_.runsSql(frame)) {
      const bool continuation =
          frame.kind == Frame::Kind::Ordinary && frame.text.starts_with(kContinuationPrefix);
      hold(std::move(frame), Phase::AwaitingRows);
      if (continuation && readAhead_ == ReadAhead::Stepping) {
        moveReadAhead(ReadAhead::RowsAwaited);
        logic_.waitForRows();
      } else if (readAhead_ != ReadAhead::Stopping) {
        moveReadAhead(ReadAhead::Stopping);
        logic_.stopReadAhead();
      }
      return;
    }
  }
  if (!logic_.runsSql(frame)) {
    setPhase(Phase::Running);
    std::optional<Workers::LaneWork> watched;
    // A login hashes its password for some milliseconds: the lane gets a helper should it take long.
    if (frame.kind == Frame::Kind::Login) watched.emplace(server_.workers, lane_);
    SessionLogic::Outcome outcome = logic_.handle(frame);
    watched.reset();
    replied(frame, outcome);
    return;
  }
  SlotLease lease = server_.workers.tryAcquire();
  if (lease) {
    run(std::move(frame), std::move(lease));
    return;
  }
  // Every slot is taken: the next one given back comes here.
  hold(std::move(frame), Phase::AwaitingSlot);
  const std::uint64_t serial = waitSerial_;
  server_.workers.whenSlotFree([self = shared_from_this(), serial](SlotLease granted) {
    asio::post(self->socket_.get_executor(), [self, serial, granted = std::move(granted)]() mutable {
      if (self->phase_ != Phase::AwaitingSlot || self->waitSerial_ != serial || !self->held_) return;
      Frame frame = std::move(*self->held_);
      self->held_.reset();
      self->run(std::move(frame), std::move(granted));
    });
  });
}

void Connection::hold(Frame frame, Phase phase) {
  held_ = std::move(frame);
  ++waitSerial_;
  setPhase(phase);
}

void Connection::resumeHeld(Phase expected) {
  if (phase_ != expected) return;
  ++waitSerial_;
  next();
}

void Connection::run(Frame frame, SlotLease lease) {
  setPhase(Phase::Running);
  // On this thread: the monitor gives the lane a helper should it take long.
  lease.begin(&lane_);
  SessionLogic::Outcome outcome = logic_.handle(frame);
  lease.reset();
  if (outcome.retry) {
    awaitLock(std::move(frame));
    return;
  }
  replied(frame, outcome);
}

void Connection::awaitLock(Frame frame) {
  metrics().busyWait();
  hold(std::move(frame), Phase::AwaitingLock);
  const std::uint64_t serial = waitSerial_;
  auto wake = [self = shared_from_this(), serial] {
    asio::post(self->socket_.get_executor(), [self, serial] {
      if (self->waitSerial_ == serial) self->resumeHeld(Phase::AwaitingLock);
    });
  };
  // Woken when a session of this server ends its write transaction; looked
  // at again now and then all the same (a lock held by another program, a
  // full pool of connections), and at the end of the busy timeout.
  const bool woken = logic_.wakeOnLockRelease(wake);
  Clock::time_point at = Clock::now() + (woken ? std::chrono::duration_cast<Clock::duration>(kLockPoll)
                                               : std::chrono::duration_cast<Clock::duration>(kRetryDelay));
  if (std::optional<Clock::time_point> end = logic_.busyWaitEnds()) at = std::min(at, *end);
  timer_.expires_at(at);
  timer_.async_wait([self = shared_from_this(), serial](std::error_code ec) {
    if (!ec && self->waitSerial_ == serial) self->resumeHeld(Phase::AwaitingLock);
  });
}

// ---------------------------------------------------------------- the reply

void Connection::replied(const Frame& frame, SessionLogic::Outcome& outcome) {
  if (phase_ == Phase::Closed) return;
  if (outcome.loginFailed) {
    auto wait = server_.throttle->failed(address_, Clock::now());
    if (wait.count() > 0) {
      logLine(context_, "repeated failed logins from this address: next login waits " +
                            std::to_string(wait.count()) + " ms");
    }
  }
  if (logic_.loggedIn() && context_.user.empty()) context_.user = logic_.user();
  sessionRegistry().ended(id_, frame, outcome.reply, logic_, server_.options.trace);
  reader_.setLimit(logic_.inputLimit());
  outgoing_ = std::move(outcome.reply);
  pendingBytes_ = static_cast<long long>(outgoing_.size());
  server_.replyBytes += pendingBytes_;
  send(outcome.close);
}

void Connection::send(bool closeAfter) {
  setPhase(Phase::Writing);
  // Most replies go out in one call, with no round through the I/O context.
  std::error_code ec;
  std::size_t written = socket_.write_some(asio::buffer(outgoing_), ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) {
    ec = {};
    written = 0;
  }
  if (ec) {
    finish("reply not sent (" + ec.message() + ")");
    return;
  }
  if (written == outgoing_.size()) {
    sent(closeAfter);
    return;
  }
  asio::async_write(socket_, asio::buffer(outgoing_) + written,
                    [self = shared_from_this(), closeAfter](std::error_code error, std::size_t) {
                      if (self->phase_ == Phase::Closed) return;
                      if (error) {
                        self->finish("reply not sent (" + error.message() + ")");
                        return;
                      }
                      self->sent(closeAfter);
                    });
  // The next block of a result is laid out while this one travels, and rows
  // beyond those kept in memory are stepped ahead by a helper.
  logic_.prepareAhead();
  startReadAhead();
}

void Connection::sent(bool closeAfter) {
  server_.replyBytes -= pendingBytes_;
  pendingBytes_ = 0;
  if (outgoing_.capacity() > kKeptReplyCapacity) std::string().swap(outgoing_);
  if (closeAfter) {
    finish(logic_.loggedIn() ? "closed after the farewell" : "closed after failed logins");
    return;
  }
  // The client reads this reply before it sends its next message: the next
  // block is laid out and rows are stepped ahead meanwhile.
  logic_.prepareAhead();
  startReadAhead();
  lastHeard_ = Clock::now();
  armLimits();
  next();
}

// ---------------------------------------------------------------- rows stepped ahead

void Connection::moveReadAhead(ReadAhead to) {
  // The table of connection.h; a move outside it is a fault of this file.
  if (!allowed(readAhead_, to)) {
    logLine(context_, "internal error: read-ahead " + std::to_string(static_cast<int>(readAhead_)) + " -> " +
                          std::to_string(static_cast<int>(to)));
    std::abort();
  }
  readAhead_ = to;
}

void Connection::startReadAhead() {
  if (readAhead_ != ReadAhead::Idle || phase_ == Phase::Closed) return;
  SlotLease lease = server_.workers.tryAcquire();
  if (!lease || !logic_.startReadAhead()) return;
  moveReadAhead(ReadAhead::Stepping);
  auto job = [self = shared_from_this(), lease = std::make_shared<SlotLease>(std::move(lease)),
              work = asio::make_work_guard(lane_.io())] {
    lease->begin(nullptr);
    self->logic_.readAhead(
        [&self] { asio::post(self->socket_.get_executor(), [self] { self->rowsArrived(); }); });
    lease->reset();
    asio::post(self->socket_.get_executor(), [self] { self->readAheadEnded(); });
  };
  server_.workers.runOnHelper(std::move(job));
}

void Connection::rowsArrived() {
  if (readAhead_ != ReadAhead::RowsAwaited || phase_ == Phase::Closed) return;
  moveReadAhead(ReadAhead::Stepping);
  resumeHeld(Phase::AwaitingRows);
}

void Connection::readAheadEnded() {
  const ReadAhead was = readAhead_;
  moveReadAhead(ReadAhead::Idle);
  if (phase_ == Phase::Closed) return;
  if (was == ReadAhead::RowsAwaited || was == ReadAhead::Stopping) {
    resumeHeld(Phase::AwaitingRows);
  } else if (phase_ == Phase::Reading) {
    logic_.prepareAhead();
    startReadAhead();
  }
  armLimits();
}

// ---------------------------------------------------------------- time limits and closing

// The time limits: no login within the pre-login time, silence past the idle
// time, a result held past its time. One timer, set at the nearest; it is
// set again only when a limit comes nearer than where it stands (a limit
// that moved later is found so when the timer goes off, and the timer set
// anew), so that a short command costs no timer call.
void Connection::armLimits() {
  if (phase_ == Phase::Closed) return;  // a timer now would keep the server running after its stop
  const ServerSettings& settings = server_.options.settings;
  std::optional<Clock::time_point> next;
  auto consider = [&next](Clock::time_point at) {
    if (!next || at < *next) next = at;
  };
  if (!logic_.loggedIn()) {
    if (settings.preLoginTimeout.count() > 0) consider(accepted_ + settings.preLoginTimeout);
  } else if (settings.idleTimeout.count() > 0) {
    consider(lastHeard_ + settings.idleTimeout);
  }
  if (settings.resultHold.count() > 0) {
    if (auto opened = logic_.resultOpenedAt()) consider(*opened + settings.resultHold);
  }
  if (!next) return;
  // A limit that passed while the session was at work is looked at again a little later.
  const Clock::time_point soon = Clock::now() + std::chrono::milliseconds(100);
  if (*next < soon && !quiet()) next = soon;
  if (limitArmedAt_ && *limitArmedAt_ <= *next) return;
  limitArmedAt_ = *next;
  limitTimer_.expires_at(*next);
  limitTimer_.async_wait([self = shared_from_this()](std::error_code ec) {
    if (ec) return;
    self->limitArmedAt_.reset();
    self->checkLimits();
  });
}

void Connection::checkLimits() {
  if (phase_ == Phase::Closed) return;
  const ServerSettings& settings = server_.options.settings;
  const Clock::time_point now = Clock::now();
  const bool quiet = this->quiet();
  if (!logic_.loggedIn()) {
    if (settings.preLoginTimeout.count() > 0 && now >= accepted_ + settings.preLoginTimeout) {
      finish("no login within " + seconds(settings.preLoginTimeout) + ": closed");
      return;
    }
  } else if (settings.idleTimeout.count() > 0 && quiet && now >= lastHeard_ + settings.idleTimeout) {
    finish("idle for " + seconds(settings.idleTimeout) + ": closed");
    return;
  }
  if (quiet && settings.resultHold.count() > 0) {
    if (auto opened = logic_.resultOpenedAt(); opened && now >= *opened + settings.resultHold) {
      logic_.releaseResult();
      logLine(context_, "open result let go after " + seconds(settings.resultHold));
    }
  }
  armLimits();
}

bool Connection::quiet() const {
  // A session at work (a message handled, waiting or stepped ahead) is not idle.
  return phase_ == Phase::Reading && readAhead_ == ReadAhead::Idle && !held_;
}

void Connection::finish(const std::string& reason) {
  if (phase_ == Phase::Closed) return;
  setPhase(Phase::Closed);
  ++waitSerial_;
  if (readAhead_ == ReadAhead::Stepping || readAhead_ == ReadAhead::RowsAwaited) {
    moveReadAhead(ReadAhead::Stopping);
  }
  logic_.stopReadAhead();
  logLine(context_, reason);
  std::error_code ignored;
  timer_.cancel();
  limitTimer_.cancel();
  socket_.shutdown(tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
}

}  // namespace lumbra::server
