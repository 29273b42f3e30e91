// The open result set of a session, shared by the files of SessionLogic.
#pragma once

#include <sqlite3.h>

#include "server/result_cursor.h"
#include "server/session.h"

namespace lumbra::server {

// An open result set: the statement stays prepared between continuation requests.
struct SessionLogic::Cursor {
  explicit Cursor(std::size_t budget) : result(budget) {}
  sqlite3_stmt* stmt = nullptr;
  ResultCursor result;  // the count, the widths, kept rows, the rows sent
  bool ownsTransaction = false;
  Clock::time_point opened = Clock::now();
};

}  // namespace lumbra::server
