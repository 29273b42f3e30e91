// The open result set of a session, shared by the files of SessionLogic.
#pragma once

#include <memory>

#include "server/backend.h"
#include "server/result_cursor.h"
#include "server/session.h"

namespace lumbra::server {

// An open result set: its rows stay open between continuation requests.
struct SessionLogic::Cursor {
  explicit Cursor(std::size_t budget) : result(budget) {}
  std::unique_ptr<Rows> rows;
  ResultCursor result;  // the count, the widths, kept rows, the rows sent
  bool ownsTransaction = false;
  Clock::time_point opened = Clock::now();  // when the SELECT was answered
};

}  // namespace lumbra::server
