// Long results through a pager, as psql shows them: output that does not fit
// the terminal (more lines than it has rows, or a line wider than it) goes to
// the program PAGER names; output that fits is written as it is.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

namespace lumbra::shell {

// on: page what does not fit; always: page every result; off: never.
enum class PagerMode { off, on, always };
std::optional<PagerMode> parsePagerMode(std::string_view word);
const char* pagerModeName(PagerMode mode);

// The pager command: PAGER when it is set (empty: no pager), else "less",
// else "more" where no less is installed (`lessInstalled`).
std::optional<std::string> pagerCommand(const char* pagerVariable, bool lessInstalled);

struct ScreenSize {
  std::size_t rows = 0;
  std::size_t columns = 0;
};

// Starts the pager when output outgrows the screen. The terminal's
// implementation runs the pager command; the tests' records what it gets.
class PagerLauncher {
 public:
  virtual ~PagerLauncher() = default;
  // The size of the terminal the output is shown on; nothing when there is
  // no terminal (then nothing is paged).
  virtual std::optional<ScreenSize> screen() = 0;
  // Starts the pager: the stream that feeds it, or nullptr when it cannot be
  // started (the output then goes to the terminal).
  virtual std::ostream* start() = 0;
  // Ends the pager's input and waits until the user has left it.
  virtual void finish() = 0;
};

// One output, held until it is known to fit the screen. While held it is
// measured: it goes to the pager at the first line past the screen's height
// (less one row for the prompt) or width, and otherwise, at finish(), to
// `direct`. Widths count UTF-8 characters.
class PagedOutput {
 public:
  PagedOutput(std::ostream& direct, PagerLauncher& launcher, PagerMode mode);
  ~PagedOutput();
  PagedOutput(const PagedOutput&) = delete;
  PagedOutput& operator=(const PagedOutput&) = delete;

  std::ostream& stream() { return stream_; }
  // True once the user has left the pager before the output ended: the rest
  // is of no use.
  bool pagerLeft() const;
  // Sends what is held, and waits for the pager if one was started.
  void finish();
  bool paged() const;

 private:
  class Buffer;
  std::unique_ptr<Buffer> buffer_;
  std::ostream stream_;
};

}  // namespace lumbra::shell
