// Paging and the reverse search of the history, without a terminal: which
// output goes to the pager, what a pager the user left stops, what Ctrl-R finds.
#include "tools/lumbra/history_search.h"
#include "tools/lumbra/paging.h"
#include "tools/lumbra/shell.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <sstream>

namespace lumbra::shell {
namespace {

// A terminal of a fixed size whose pager keeps what it is given; `leaveAfter`
// bytes make it act as a pager the user has quit.
class RecordingPager final : public PagerLauncher {
 public:
  ScreenSize size{10, 20};
  bool terminal = true;
  int started = 0;
  int finished = 0;
  std::size_t leaveAfter = 0;  // 0: never
  std::ostringstream got;

  std::optional<ScreenSize> screen() override { return terminal ? std::optional(size) : std::nullopt; }
  std::ostream* start() override {
    ++started;
    got.clear();
    return &got;
  }
  void finish() override { ++finished; }
  void leaveIfDue() {
    if (leaveAfter != 0 && got.str().size() >= leaveAfter) got.setstate(std::ios::badbit);
  }
};

TEST(Paging, OnlyWhatDoesNotFitTheScreenIsPaged) {
  struct Case {
    const char* name;
    PagerMode mode;
    bool terminal;
    std::string text;
    bool paged;
  };
  const std::string nine(9, '.');
  std::string nineLines, tenLines;
  for (int i = 0; i < 9; ++i) nineLines += "line\n";
  tenLines = nineLines + "line\n";
  const Case cases[] = {
      {"fits, one row left for the prompt", PagerMode::on, true, nineLines, false},
      {"one line too many", PagerMode::on, true, tenLines, true},
      {"a last line without its end counts", PagerMode::on, true, nineLines + "x", true},
      {"20 characters fit 20 columns", PagerMode::on, true, std::string(20, 'x') + "\n", false},
      {"21 do not", PagerMode::on, true, std::string(21, 'x') + "\n", true},
      {"UTF-8 counted in characters", PagerMode::on, true, "\xC3\xA7\xC3\xA3" + std::string(18, 'x') + "\n", false},
      {"always: even one line", PagerMode::always, true, "x\n", true},
      {"off: never", PagerMode::off, true, tenLines + tenLines, false},
      {"no terminal: never", PagerMode::always, false, tenLines, false},
  };
  for (const Case& c : cases) {
    RecordingPager pager;
    pager.terminal = c.terminal;
    std::ostringstream direct;
    {
      PagedOutput output(direct, pager, c.mode);
      output.stream() << c.text;
      output.finish();
      EXPECT_EQ(output.paged(), c.paged) << c.name;
    }
    EXPECT_EQ(pager.got.str(), c.paged ? c.text : "") << c.name;
    EXPECT_EQ(direct.str(), c.paged ? "" : c.text) << c.name;
    EXPECT_EQ(pager.finished, c.paged ? 1 : 0) << c.name;
  }
}

// The shell's results and help through the pager, and the rows it stops
// asking for once the user has left it.
class PagedShell : public ::testing::Test {
 protected:
  class Rows final : public ClientApi {
   public:
    RecordingPager* pager = nullptr;
    int rowsLeft = 0;
    int getNextCalls = 0;
    int32_t connect(const char*, const char*, const char*, const char*, char* message) override {
      std::strcpy(message, ",ML=1901");
      return 0;
    }
    int32_t disconnect(int32_t, char* message) override {
      message[0] = '\0';
      return 0;
    }
    int32_t command(int32_t, const char*, char* message) override {
      std::strcpy(message, "00001A=A(1).");
      return rowsLeft;
    }
    int32_t getNext(int32_t, char* message) override {
      ++getNextCalls;
      pager->leaveIfDue();
      std::strcpy(message, "r");
      return 1;
    }
    int32_t crc(int32_t, const void*) override { return 0; }
    int32_t asciiToEbcdic(char*) override { return 0; }
    int32_t insertBin(int32_t, char*, const void*, int32_t) override { return 0; }
  };

  void SetUp() override {
    client.pager = &pager;
    shell.setPager(&pager);
    std::string error;
    ASSERT_TRUE(shell.connect(*parseTarget("demo@127.0.0.1", error), "pw", ""));
  }

  RecordingPager pager;
  Rows client;
  std::ostringstream out, err;
  Shell shell{client, out, err};
};

TEST_F(PagedShell, LongResultsAndHelpGoThroughThePagerShortOnesDoNot) {
  client.rowsLeft = 3;
  EXPECT_TRUE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(out.str(), "A\n-\nr\nr\nr\n(3 rows)\n");
  EXPECT_EQ(pager.started, 0);

  out.str("");
  client.rowsLeft = 12;
  EXPECT_TRUE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(pager.got.str(), "A\n-\nr\nr\nr\nr\nr\nr\nr\nr\nr\nr\nr\nr\n(12 rows)\n");
  EXPECT_EQ(pager.finished, 1);

  EXPECT_TRUE(shell.execute("\\?"));
  EXPECT_EQ(pager.started, 2);
  EXPECT_NE(pager.got.str().find("\\pset pager [on|off|always]"), std::string::npos);

  // \pset pager off, and results to a file, are never paged.
  EXPECT_TRUE(shell.execute("\\pset pager off"));
  EXPECT_EQ(out.str(), "pager off\n");
  EXPECT_TRUE(shell.execute("SELECT A FROM T"));
  EXPECT_EQ(pager.started, 2);
  EXPECT_TRUE(shell.execute("\\pset pager"));
  EXPECT_EQ(shell.pagerMode(), PagerMode::on);
  EXPECT_FALSE(shell.execute("\\pset pager sometimes"));
  EXPECT_FALSE(shell.execute("\\pset border 2"));
  EXPECT_EQ(err.str(),
            "usage: \\pset pager [on|off|always]\n"
            "usage: \\pset pager [on|off|always] (the other settings have commands of their own: \\format, \\x, "
            "\\null)\n");
}

TEST_F(PagedShell, APagerTheUserLeftAsksForNoMoreRows) {
  client.rowsLeft = 100000;
  pager.leaveAfter = 40;  // quit after a screen or so
  EXPECT_TRUE(shell.execute("SELECT A FROM T"));
  EXPECT_LT(client.getNextCalls, 40);
  EXPECT_EQ(pager.finished, 1);
  EXPECT_EQ(err.str(), "");
}

TEST(Paging, PagerCommandAndModes) {
  EXPECT_EQ(pagerCommand(nullptr, true), "less");
  EXPECT_EQ(pagerCommand(nullptr, false), "more");
  EXPECT_EQ(pagerCommand("most -s", true), "most -s");
  EXPECT_EQ(pagerCommand("", true), std::nullopt);
  EXPECT_EQ(pagerCommand("  ", true), std::nullopt);
  EXPECT_EQ(parsePagerMode("always"), PagerMode::always);
  EXPECT_EQ(parsePagerMode("yes"), std::nullopt);
}

TEST(HistorySearch, FindsTheNewestEntryHoldingTheTextAndGoesOnToOlderOnes) {
  const std::vector<std::string> history = {"select 1;", "select name from people;", "insert into t values (1);",
                                            "select 'two\nlines' as t;", "select 6 * 7 as answer;"};
  HistorySearch search(history);
  EXPECT_EQ(search.found(), std::nullopt);
  EXPECT_EQ(search.line(80), "(reverse-i-search)`': ");
  search.type("s");
  search.type("e");
  EXPECT_EQ(search.found(), "select 6 * 7 as answer;");
  search.older();
  EXPECT_EQ(search.found(), "select 'two\nlines' as t;");
  EXPECT_EQ(search.line(80), "(reverse-i-search)`se': select 'two lines' as t;");
  search.type("l");
  search.type("e");
  search.type("c");
  search.type("t");
  search.type(" ");
  search.type("n");
  EXPECT_EQ(search.found(), "select name from people;");
  // An erased character starts the search again from the newest entry.
  search.erase();
  search.type("1");
  EXPECT_EQ(search.found(), "select 1;");
  search.older();
  EXPECT_TRUE(search.failed());
  EXPECT_EQ(search.found(), "select 1;");
  EXPECT_EQ(search.line(30), "(failed reverse-i-search)`sele");
  // Erasing starts again from the newest.
  search.erase();
  EXPECT_FALSE(search.failed());
  EXPECT_EQ(search.found(), "select 6 * 7 as answer;");
  search.type("\xC3\xA7");  // a character no entry holds
  EXPECT_TRUE(search.failed());
  EXPECT_EQ(search.text(), "select \xC3\xA7");
  search.erase();
  EXPECT_EQ(search.text(), "select ");
  EXPECT_FALSE(search.failed());
}

TEST(HistorySearch, AnEmptyHistoryFindsNothing) {
  const std::vector<std::string> none;
  HistorySearch search(none);
  search.type("x");
  EXPECT_TRUE(search.failed());
  search.older();
  EXPECT_EQ(search.found(), std::nullopt);
  EXPECT_EQ(search.line(80), "(failed reverse-i-search)`x': ");
}

}  // namespace
}  // namespace lumbra::shell
