// What a session tells the operator's status about its open result.
#include "server/session_cursor.h"

namespace lumbra::server {

long long SessionLogic::rowsPending() const {
  if (!cursor_) return 0;
  return std::max(0LL, cursor_->result.total() - cursor_->result.sent());
}

}  // namespace lumbra::server
