// Fetching a query's rows through its cursor, moving it back, and the values as the session reads them.
#include "server/postgres/rows.h"

#include <algorithm>
#include <cstdlib>

#include "protocol/hex.h"

namespace lumbra::server::pg {

bool numericType(Oid type) {
  return type == kInt2Type || type == kInt4Type || type == kInt8Type || type == kOidType ||
         type == kFloat4Type || type == kFloat8Type || type == kNumericType;
}

void decodeBytea(const char* text, std::size_t length, std::string& out) {
  out.clear();
  if (length < 2 || text[0] != '\\' || text[1] != 'x') {
    std::size_t size = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
    if (bytes != nullptr) {
      out.assign(reinterpret_cast<const char*>(bytes), size);
      PQfreemem(bytes);
    }
    return;
  }
  out.reserve((length - 2) / 2);
  for (std::size_t i = 2; i + 1 < length; i += 2) {
    out.push_back(static_cast<char>(lumbra::hexPairValue(text[i], text[i + 1])));
  }
}

CursorRows::~CursorRows() {
  settle();
  connection_.closeRows(guarded_, failed_);
}

std::string CursorRows::fetchCommand() const {
  return "FETCH FORWARD " + std::to_string(fetchRows_) + " FROM " + kCursorName;
}

void CursorRows::settle() {
  if (!prefetching_) return;
  prefetching_ = false;
  Result unwanted;
  connection_.receive(unwanted);
}

int CursorRows::fetch() {
  Result result;
  int code = kOk;
  if (prefetching_) {
    prefetching_ = false;
    code = connection_.receive(result);
  } else {
    code = connection_.cursorCommand(fetchCommand(), result);
  }
  if (code != kOk) {
    failed_ = true;
    return code;
  }
  if (names_.empty() && PQnfields(result.get()) > 0) {
    const int fields = PQnfields(result.get());
    for (int i = 0; i < fields; ++i) {
      names_.emplace_back(PQfname(result.get(), i));
      types_.push_back(PQftype(result.get(), i));
    }
    decoded_.resize(names_.size());
    decodedAt_.assign(names_.size(), -1);
  }
  rowsInBatch_ = PQntuples(result.get());
  row_ = -1;
  ended_ = rowsInBatch_ < fetchRows_;
  // The next batch of about kFetchBytes, by the length of these rows.
  long long bytes = 0;
  for (int r = 0; r < rowsInBatch_; ++r) {
    for (int c = 0; c < PQnfields(result.get()); ++c) bytes += PQgetlength(result.get(), r, c) + 1;
  }
  if (rowsInBatch_ > 0) {
    fetchRows_ = std::clamp(kFetchBytes / std::max(1LL, bytes / rowsInBatch_), 1LL, kLongestFetch);
  }
  batch_ = std::move(result);
  // The next batch is asked for now; should that fail, the next fetch asks again and reports.
  if (!ended_) prefetching_ = connection_.sendCursorCommand(fetchCommand()) == kOk;
  return kOk;
}

int CursorRows::moveTo(long long position, bool& onRow) {
  settle();
  Result result;
  int code =
      connection_.cursorCommand("MOVE ABSOLUTE " + std::to_string(position) + " IN " + kCursorName, result);
  if (code != kOk) {
    failed_ = true;
    return code;
  }
  onRow = std::string_view(PQcmdTuples(result.get())) != "0";
  batch_.reset();
  rowsInBatch_ = 0;
  row_ = -1;
  ended_ = false;
  rewound_ = false;
  return kOk;
}

int CursorRows::step() {
  if (rewound_) {
    bool onRow = false;
    if (int code = moveTo(0, onRow); code != kOk) return code;
  }
  if (row_ + 1 >= rowsInBatch_) {
    if (ended_) return kDone;
    if (int code = fetch(); code != kOk) return code;
    if (rowsInBatch_ == 0) return kDone;
  }
  ++row_;
  ++stamp_;
  return kRow;
}

int CursorRows::skip(long long count) {
  bool onRow = false;
  if (int code = moveTo(count, onRow); code != kOk) return code;
  return onRow || count == 0 ? kRow : kDone;
}

}  // namespace lumbra::server::pg
