// Paged output: the measure of what fits the screen, and the hand-over to the pager.
#include "tools/lumbra/paging.h"

namespace lumbra::shell {

std::optional<PagerMode> parsePagerMode(std::string_view word) {
  if (word == "on") return PagerMode::on;
  if (word == "off") return PagerMode::off;
  if (word == "always") return PagerMode::always;
  return std::nullopt;
}

const char* pagerModeName(PagerMode mode) {
  switch (mode) {
    case PagerMode::off:
      return "off";
    case PagerMode::always:
      return "always";
    case PagerMode::on:
      break;
  }
  return "on";
}

std::optional<std::string> pagerCommand(const char* pagerVariable, bool lessInstalled) {
  if (pagerVariable != nullptr) {
    const std::string_view command(pagerVariable);
    if (command.find_first_not_of(" \t") == std::string_view::npos) return std::nullopt;
    return std::string(command);
  }
  return std::string(lessInstalled ? "less" : "more");
}

class PagedOutput::Buffer final : public std::streambuf {
 public:
  Buffer(std::ostream& direct, PagerLauncher& launcher, PagerMode mode)
      : direct_(direct), launcher_(launcher), mode_(mode) {
    if (mode_ == PagerMode::off) {
      state_ = State::direct;
    } else if (const auto size = launcher_.screen(); size && size->rows > 1 && size->columns > 0) {
      screen_ = *size;
      if (mode_ == PagerMode::always) start();
    } else {
      state_ = State::direct;
    }
  }

  void finish() {
    if (state_ == State::holding) {
      direct_ << held_;
      held_.clear();
      state_ = State::direct;
    }
    direct_.flush();
    if (pager_ != nullptr) {
      pager_->flush();
      left_ = left_ || !*pager_;
      launcher_.finish();
      pager_ = nullptr;
    }
  }

  bool pagerLeft() const { return left_ || (pager_ != nullptr && !*pager_); }
  bool paged() const { return paged_; }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = static_cast<char>(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::string_view text(s, static_cast<std::size_t>(n));
    switch (state_) {
      case State::direct:
        direct_.write(s, n);
        return n;
      case State::paging:
        if (pager_ != nullptr && *pager_) pager_->write(s, n);
        return n;  // a pager that was left takes nothing more, and nothing fails
      case State::holding:
        break;
    }
    held_.append(text);
    measure(text);
    return n;
  }

  int sync() override {
    if (state_ == State::direct) direct_.flush();
    return 0;
  }

 private:
  enum class State { holding, paging, direct };

  void measure(std::string_view text) {
    for (const char c : text) {
      if (c == '\n') {
        ++lines_;
        width_ = 0;
      } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
        ++width_;  // a UTF-8 lead byte or ASCII: one character
      }
      if (width_ > screen_.columns || lines_ + (width_ > 0 ? 1 : 0) > screen_.rows - 1) {
        start();
        return;
      }
    }
  }

  void start() {
    pager_ = launcher_.start();
    if (pager_ == nullptr) {
      direct_ << held_;
      state_ = State::direct;
    } else {
      paged_ = true;
      *pager_ << held_;
      state_ = State::paging;
    }
    held_.clear();
  }

  std::ostream& direct_;
  PagerLauncher& launcher_;
  PagerMode mode_;
  State state_ = State::holding;
  ScreenSize screen_;
  std::string held_;
  std::size_t lines_ = 0;
  std::size_t width_ = 0;
  std::ostream* pager_ = nullptr;
  bool paged_ = false;
  bool left_ = false;
};

PagedOutput::PagedOutput(std::ostream& direct, PagerLauncher& launcher, PagerMode mode)
    : buffer_(std::make_unique<Buffer>(direct, launcher, mode)), stream_(buffer_.get()) {}

PagedOutput::~PagedOutput() { buffer_->finish(); }

bool PagedOutput::pagerLeft() const { return buffer_->pagerLeft(); }

void PagedOutput::finish() {
  stream_.flush();
  buffer_->finish();
}

bool PagedOutput::paged() const { return buffer_->paged(); }

}  // namespace lumbra::shell
