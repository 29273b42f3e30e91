// The open result set of a session, shared by the files of SessionLogic.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "server/backend.h"
#include "server/result_cursor.h"
#include "server/session.h"

namespace lumbra::server {

// An open result set: its rows stay open between continuation requests.
struct SessionLogic::Cursor {
  Cursor(std::size_t memory, std::uint64_t file, std::string directory)
      : result(memory, file, std::move(directory)) {}
  std::unique_ptr<Rows> rows;
  ResultCursor result;  // the count, the widths, kept rows, the rows sent
  bool ownsTransaction = false;
  Clock::time_point opened = Clock::now();  // when the SELECT was answered
};

}  // namespace lumbra::server
