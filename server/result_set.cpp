// A session's result set: SELECT (the counting pass and the first block) and CONT (the blocks after it).
#include "protocol/wire.h"
#include "server/result_cursor.h"
#include "server/rows.h"
#include "server/session.h"
#include "server/session_cursor.h"
#include "server/session_text.h"

namespace lumbra::server {

void SessionLogic::closeCursor() {
  if (!cursor_) return;
  cursor_->rows.reset();
  if (cursor_->ownsTransaction && db_) db_->commit();
  cursor_.reset();
}

bool SessionLogic::fillBlock(std::string& block, std::size_t limit, bool first, long long& added, int& rc) {
  // Past `limit` a row waits for the next block, unless it is the block's first
  // and fits the client's capacity.
  return cursor_->result.fill(cursor_->rows.get(), block, limit, replyLimit_, first, added, rc);
}

void SessionLogic::prepareAhead() {
  if (cursor_) cursor_->result.prepareAhead(blockLimit(), replyLimit_);
}

namespace {

// What rows stepped ahead may take: a few blocks, within bounds.
std::size_t readAheadBytes(std::size_t blockLimit) {
  return std::min<std::size_t>(std::max<std::size_t>(4 * blockLimit, 256 * 1024), 8u << 20);
}

}  // namespace

bool SessionLogic::startReadAhead() {
  readAheadBytes_ = readAheadBytes(blockLimit());
  if (!cursor_ || !cursor_->rows || !cursor_->result.wantsReadAhead(readAheadBytes_)) return false;
  stopReadAhead_ = false;
  deadline_ = statementDeadline();
  if (db_) db_->setLimits(deadline_, busyTimeoutMs_);
  return true;
}

void SessionLogic::readAhead(const std::function<void()>& arrived) {
  if (cursor_) cursor_->result.readAhead(*cursor_->rows, readAheadBytes_, stopReadAhead_, arrived);
}

void SessionLogic::waitForRows() {
  if (cursor_) cursor_->result.waitForRows();
}

SessionLogic::Outcome SessionLogic::select(std::string_view sql) {
  if (auto refused = connection(Clock::now())) return *refused;
  cursor_ = std::make_unique<Cursor>(settings_.resultBudget, settings_.resultFileBudget,
                                     backend_.scratchDirectory());
  if (!inTransaction_) {
    // One read snapshot for the counting pass and the rows.
    db_->beginRead();
    cursor_->ownsTransaction = true;
  }
  int code = kOk;
  cursor_->rows = db_->query(sql, parameters_, code);
  if (code == kSecondStatement) {
    closeCursor();
    return refuse(Status::MultipleStatements);
  }
  if (code != kOk) {
    Outcome refused = refuseSql(code);
    closeCursor();
    return refused;
  }
  // One pass: the row count and the width of every column, rows kept within a budget.
  Rows& rows = *cursor_->rows;
  code = cursor_->result.count(rows);
  if (code != kDone) {
    Outcome refused = refuseSql(code);
    closeCursor();
    return refused;
  }
  const long long count = cursor_->result.total();
  const std::size_t rowLength = cursor_->result.rowLength();
  if (count > kMaxRowCount) {
    closeCursor();
    return refuse(Status::TooManyRows);
  }
  if (rowLength > kMaxRowLength) {
    closeCursor();
    return refuse(Status::RowTooLong, "COMPRIMENTO " + std::to_string(rowLength));
  }

  // The head: status, row count, row length, the column description up to '.'.
  char head[kSelectHeadLength + 1];
  formatSelectHead(count, rowLength, head);
  std::string block(head, kSelectHeadLength);
  std::string description = describeColumns(rows, cursor_->result.widths());
  std::size_t room = replyLimit_ - block.size() - 1 - kEndOfBlockLength;
  if (description.size() > room) description.resize(room);
  block += description;
  block += kDescriptionEnd;
  if (backend_.pooled() && cursor_->result.keptRows() == count) {
    // Every row is in memory: the rows and their snapshot go now, and with
    // them the pooled connection, while the client reads the blocks.
    cursor_->rows.reset();
    if (cursor_->ownsTransaction) db_->commit();
    cursor_->ownsTransaction = false;
  }
  long long added = 0;
  if (!fillBlock(block, blockLimit(), true, added, code)) {
    Outcome refused = refuseSql(code);
    closeCursor();
    return refused;
  }
  block.append(kEndOfBlock, kEndOfBlockLength);
  if (cursor_->result.sent() == cursor_->result.total()) {
    closeCursor();
  } else {
    // Held from its answer on, however long the counting took.
    cursor_->opened = Clock::now();
  }
  return Outcome{std::move(block)};
}

namespace {

// A continuation number: three to ten decimal digits.
bool wellFormedNumber(std::string_view number) {
  return number.size() >= 3 && number.size() <= 10 &&
         std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool SessionLogic::answersAhead(std::string_view text) const {
  return text.starts_with(kContinuationPrefix) && wellFormedNumber(text.substr(kContinuationPrefixLength)) &&
         cursor_ && cursor_->result.answersAhead(blockLimit());
}

SessionLogic::Outcome SessionLogic::continuation(std::string_view number) {
  if (!wellFormedNumber(number)) {
    closeCursor();
    return refuse(Status::BadContinuation, number);
  }
  if (!cursor_ && resultReleased_) {
    return refuse(
        Status::NoOpenQuery,
        "RESULTADO LIBERADO APOS " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings_.resultHold).count()) +
            " S");
  }
  if (!cursor_) return refuse(Status::NoOpenQuery);
  if (cursor_->result.exhausted()) {
    closeCursor();
    return refuse(Status::NoOpenQuery, "O RESULTADO MUDOU DURANTE A LEITURA");
  }
  std::string block;
  int rc = kOk;
  long long added = 0;
  if (cursor_->result.takeAhead(number, blockLimit(), block)) {
    added = 1;  // laid out ahead, never without a row
  } else {
    const auto tag = continuationTag(number);
    block.assign(tag.data(), tag.size());
    if (!fillBlock(block, blockLimit(), false, added, rc)) {
      Outcome refused = refuseSql(rc);
      closeCursor();
      return refused;
    }
  }
  if (added == 0) {
    // A block without a row would have the client read the marker as a row.
    bool changed = cursor_->result.exhausted();
    closeCursor();
    if (changed) return refuse(Status::NoOpenQuery, "O RESULTADO MUDOU DURANTE A LEITURA");
    return refuse(Status::RowTooLong, "AUMENTE O TAMANHO DA MENSAGEM (SET MESSAGE_LENGTH)");
  }
  block.append(kEndOfBlock, kEndOfBlockLength);
  if (cursor_->result.sent() == cursor_->result.total()) closeCursor();
  return Outcome{std::move(block)};
}

}  // namespace lumbra::server
