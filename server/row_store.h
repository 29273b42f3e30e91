// The values of a result's rows, kept for its blocks: in memory while they fit, then in a scratch file.
//
// The counting pass of a SELECT (server/result_cursor.h) appends every row it
// steps here while the store takes it; the blocks are then laid out from the
// store, front to back, without asking the database again: each row is
// stepped once. Layout of a record (one row):
//
//   length    4 bytes, host order: the bytes that follow
//   values    per column: a kind byte, a two-byte length (host order), the bytes
//
// The first records stay in memory, within the result's memory budget and the
// process's (kServerResultBudget); the records after them go to a scratch file
// of the process (made in the backend's scratch directory, gone from it at
// once and for good when the store closes), within the result's file budget
// and the process's (kServerFileBudget), so that the memory of a result stays
// bounded however many rows it has. When both budgets are spent, or the file
// cannot be made or written (a full disk), the store takes no more rows: the
// rows after the last one kept are stepped again from the statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumbra::server {

// Bytes of rows all open results of the process keep in memory at most together.
inline constexpr std::size_t kServerResultBudget = 256u << 20;
// Bytes of rows all open results of the process keep in scratch files at most together.
inline constexpr std::uint64_t kServerFileBudget = 16ull << 30;
// A record longer than this is not kept (no row that long can be sent anyway).
inline constexpr std::size_t kLongestRecord = 256 * 1024;

class RowStore {
 public:
  static constexpr std::size_t kRecordHead = 4;

  // An empty `directory`, or a file budget of 0: memory only.
  RowStore(std::size_t memoryBudget, std::uint64_t fileBudget, std::string directory);
  ~RowStore();
  RowStore(const RowStore&) = delete;
  RowStore& operator=(const RowStore&) = delete;

  // Room for the values of one more row, `length` bytes, to be written by
  // the caller and kept by commit(length); nullptr when the store takes no
  // more rows (then never again).
  char* reserve(std::size_t length);
  void commit(std::size_t length);
  // The appending is over: what waits for the file is written. Rows that
  // could not be written are dropped from the store (the keeping ended
  // before them).
  void finish();
  // Rows kept (after finish(): those that can be read back).
  long long rows() const { return memoryRows_ + fileRows_; }
  bool spilled() const { return file_ >= 0; }
  std::size_t memoryBytes() const { return memorySize_; }

  // Reading, front to back from `position` (0: the first record): the next
  // record's values and their length, the position moved past it; nullptr
  // when it cannot be read (the file failed). The bytes stay valid until the
  // next call.
  const char* next(std::uint64_t& position, std::size_t& length);
  // Gives the memory and the file back once every row has been read.
  void release();

 private:
  bool growMemory(std::size_t needed);
  bool flush();

  std::size_t memoryBudget_;
  std::uint64_t fileBudget_;
  std::string directory_;

  std::unique_ptr<char[]> memory_;
  std::size_t memorySize_ = 0;
  std::size_t memoryCapacity_ = 0;
  std::size_t claimed_ = 0;  // of the process's memory budget
  long long memoryRows_ = 0;
  bool full_ = false;  // takes no more rows

  int file_ = -1;
  std::uint64_t fileSize_ = 0;       // bytes written to the file
  std::uint64_t fileClaimed_ = 0;    // of the process's file budget
  long long fileRows_ = 0;           // rows whose records are in the file
  std::unique_ptr<char[]> staging_;  // records on their way to the file
  std::size_t stagingSize_ = 0;
  long long stagedRows_ = 0;
  std::vector<char> window_;       // records read back from the file
  std::uint64_t windowStart_ = 0;  // file offset of window_[0]
  std::size_t windowLength_ = 0;
};

}  // namespace lumbra::server
