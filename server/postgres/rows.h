// The rows of a query on PostgreSQL: a scrolling cursor fetched in batches, the next asked for while the last is read.
//
// The query's cursor (kCursorName) is declared SCROLL, so that the rows can be
// stepped again after rewind() (MOVE ABSOLUTE, one round trip) and the rows
// kept in memory skipped at once. Batches of about kFetchBytes: two are held at
// once, the one being read and the next one, asked for as soon as the one
// before it came (nothing else may use the connection meanwhile).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/backend.h"
#include "server/postgres/libpq.h"

namespace lumbra::server::pg {

inline constexpr char kCursorName[] = "lumbra_rows";
// Bytes of rows one FETCH brings, about (the batch adapts to the rows' length).
inline constexpr long long kFetchBytes = 2 << 20;
inline constexpr long long kFirstFetch = 64;
inline constexpr long long kLongestFetch = 32768;

// Whether a column of this type is a number (N, right-aligned).
bool numericType(Oid type);
// bytea's text form, "\x" and two hexadecimal digits per byte, back to the bytes.
void decodeBytea(const char* text, std::size_t length, std::string& out);

// What the rows of a query ask of the connection they come through
// (server/postgres/connection.cpp).
class CursorHost {
 public:
  // A command on the cursor, its result kept.
  virtual int cursorCommand(const std::string& sql, Result& result) = 0;
  // The same in two halves: the command sent, then its result received
  // (nothing else may use the connection in between).
  virtual int sendCursorCommand(const std::string& sql) = 0;
  virtual int receive(Result& result) = 0;
  // The rows are done with (`failed`: a command on the cursor failed).
  virtual void closeRows(bool guarded, bool failed) = 0;

 protected:
  ~CursorHost() = default;
};

class CursorRows final : public Rows {
 public:
  // `guarded`: the cursor lives under a savepoint of its own (inside the
  // session's write transaction), which closing the rows ends.
  CursorRows(CursorHost& connection, bool guarded) : connection_(connection), guarded_(guarded) {}
  ~CursorRows() override;

  // The first batch, which also tells the columns.
  int open() { return fetch(); }

  int columns() const override { return static_cast<int>(names_.size()); }
  int step() override;
  void rewind() override {
    settle();
    batch_.reset();
    rowsInBatch_ = 0;
    row_ = -1;
    ended_ = false;
    rewound_ = true;
  }
  int skip(long long count) override;
  Kind kind(int column) override {
    if (PQgetisnull(batch_.get(), row_, column)) return Kind::Null;
    Oid type = types_[static_cast<std::size_t>(column)];
    if (numericType(type)) return Kind::Real;
    return type == kByteaType ? Kind::Blob : Kind::Text;
  }
  long long integer(int column) override {
    return std::strtoll(PQgetvalue(batch_.get(), row_, column), nullptr, 10);
  }
  std::string_view bytes(int column) override {
    const char* text = PQgetvalue(batch_.get(), row_, column);
    std::size_t length = static_cast<std::size_t>(PQgetlength(batch_.get(), row_, column));
    if (types_[static_cast<std::size_t>(column)] != kByteaType) return {text, length};
    std::size_t at = static_cast<std::size_t>(column);
    if (decodedAt_[at] != stamp_) {
      decodeBytea(text, length, decoded_[at]);
      decodedAt_[at] = stamp_;
    }
    return decoded_[at];
  }
  std::string name(int column) override { return names_[static_cast<std::size_t>(column)]; }
  char typeLetter(int column) override {
    Oid type = types_[static_cast<std::size_t>(column)];
    if (numericType(type)) return 'N';
    if (type == kByteaType) return 'B';
    if (type == kUnknownType) return 'V';
    return 'A';
  }

 private:
  int fetch();
  int moveTo(long long position, bool& onRow);
  std::string fetchCommand() const;
  // Waits for the batch asked for ahead and lets it go: the cursor is moved
  // or closed next, so its rows are not wanted.
  void settle();

  CursorHost& connection_;
  bool guarded_;
  bool failed_ = false;
  Result batch_;
  int rowsInBatch_ = 0;
  int row_ = -1;
  bool ended_ = false;        // the last FETCH brought fewer rows than asked
  bool rewound_ = false;      // the cursor goes back before the first row at the next step
  bool prefetching_ = false;  // the next FETCH is on its way (nothing else may use the connection)
  long long fetchRows_ = kFirstFetch;
  long long stamp_ = 0;  // counts the rows stepped, for the decoded blobs
  std::vector<std::string> names_;
  std::vector<Oid> types_;
  std::vector<std::string> decoded_;
  std::vector<long long> decodedAt_;
};

}  // namespace lumbra::server::pg
