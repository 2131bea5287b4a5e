#include <algorithm>

#include "tests/console/console_run.h"

namespace {
using Lines = std::vector<std::string>;

// Runs the child on pipes with the whole input given at once.
Lines piped(const std::string& input, const Lines& steps) {
  ConsoleChild child;
  child.start_on_pipes(steps);
  child.type(input);
  child.close_input();
  EXPECT_EQ(child.wait_exit(), 0);
  return child.report();
}
}  // namespace

// Lines end at CR LF, CR or LF, then the end comes for ever; long lines come whole across
// blocks; inkey takes nothing from a pipe.
TEST(ConsoleInputPiped, EachInputGivesItsLinesThenTheEnd) {
  const std::string last(10000, 'q'), middle(5000, 'm');
  const struct { std::string input; Lines steps, report; } rows[] = {
      {"a\r\nb\nc\rd", Lines(6, "in"), {"a", "b", "c", "d", "\\x04", "\\x04"}},
      // Raw mode reads a pipe like plain mode.
      {"a\r\nb\nc\rd", {"raw", "in", "in", "in", "in", "in", "in"}, {"a", "b", "c", "d", "\\x04", "\\x04"}},
      {"", {"in", "in"}, {"\\x04", "\\x04"}},
      {"\n\r\n", {"in", "in", "in"}, {"", "", "\\x04"}},
      {"first\n" + last, {"in", "in", "in"}, {"first", last, "\\x04"}},
      // A rest longer than one block behind a short line, then a line end far behind.
      {"x\n" + middle + "\ny\n", Lines(4, "in"), {"x", middle, "y", "\\x04"}},
      {"abc\n", {"key", "in", "raw", "key", "in"}, {"", "abc", "", "\\x04"}},
  };
  for (const auto& row : rows) EXPECT_EQ(piped(row.input, row.steps), row.report) << row.input.substr(0, 20);
}

TEST(ConsoleInputPiped, ACrLfSplitAcrossReadsIsOneLineEnd) {
  ConsoleChild child;
  child.start_on_pipes({"in", "in", "in"});
  child.type("a\r");
  // Give the child time to take "a" alone before the LF arrives.
  child.wait_until([&] { return !child.report().empty(); });
  child.type("\nb\n");
  child.close_input();
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.report(), (Lines{"a", "b", "\\x04"}));
}

TEST(ConsoleInputTerminal, PlainModeUsesTheTerminalsLineEditing) {
  ConsoleChild child;
  child.start_on_pty({"plain", "p:1>", "in", "p:2>", "in", "p:3>", "in", "p:4>", "in"});
  ASSERT_TRUE(child.wait_for("1>"));
  child.type("abx\x7f" "c\r");  // the terminal's own erase
  ASSERT_TRUE(child.wait_for("2>"));
  child.type("\r");
  ASSERT_TRUE(child.wait_for("3>"));
  child.type("\x04\r");  // Ctrl+D is a character, not the end of input
  ASSERT_TRUE(child.wait_for("4>"));
  std::string line(5000, 'z');
  child.type(line + "\r");
  ASSERT_EQ(child.wait_exit(), 0);
  Lines report = child.report();
  ASSERT_EQ(report.size(), 4u);
  EXPECT_EQ(Lines(report.begin(), report.begin() + 3), (Lines{"abc", "", "\\x04"}));
  // The terminal keeps at most one line buffer's worth; never more than one block a call.
  EXPECT_THAT(report[3].size(), testing::AllOf(testing::Ge(4000u), testing::Le(4096u)));
  EXPECT_EQ(report[3].find_first_not_of('z'), std::string::npos);
}

TEST(ConsoleInputTerminal, RawLineScrollsAtTheWidthAndKeepsEveryKey) {
  ConsoleChild child;
  // Width 20, the prompt leaves the cursor in column 10: columns 10 to 18 take keys.
  child.start_on_pty({"raw", "p:1234567890", "in", "p:>", "in", "p:>", "in", "p:>", "in", "p:>", "in", "p:>",
                      "in",  "p:>",          "in", "p:>", "in", "p:>", "in", "p:>", "in", "p:>", "in"});
  ASSERT_TRUE(child.wait_for("1234567890"));
  // Each step's keys and what they draw: all output since the step before, or a part of
  // it (and then the screen's last line, if given).
  struct Step { std::string keys, drawn; bool whole; std::string last_line = {}; };
  const Step steps[] = {
      // A line that fits is echoed key by key, exactly as always.
      {"abcdefghi\x7fX\r", "1234567890abcdefghi\b \bX\r\n", false},
      // Past the edge the line scrolls: the end stays in view behind '<', every key is
      // kept, and Backspace works across the scroll, key by key once the line fits again.
      {"abcdefghijklmnopqrstuvwxy", "\r><ijklmnopqrstuvwxy\x1b[K", false, "><ijklmnopqrstuvwxy"},
      {std::string(10, '\x7f') + "Z", "\r>abcdefghijklmnopqr\x1b[K\b \b\b \b\b \bZ", false},
      {"\r", "\r\n>", true},
      // Arrows, F-keys, Home/End, Insert/Delete and a Backspace on nothing add nothing.
      {"\x7f\x1b[A\x1b[1;5C\x1bOP\x1b[15~\x1b[H\x1b[F\x1b[2~\x1b[3~\x1b[[Aok\r", "ok\r\n>", true},
      // A UTF-8 character is one key and column; a control character is echoed visibly,
      // takes two columns and comes back as itself.
      {"a\xC3\xA4\xE2\x82\xAC\x7f\x01"
       "b\r", "a\xC3\xA4\xE2\x82\xAC\b \b^Ab\r\n>", true},
      // A lone Escape is a key once nothing follows it; Enter may come as LF.
      {"\x1b", "^[", false},
      {"q\n", "q\r\n>", true},
      // Backspace takes back both columns of a control character, all bytes of UTF-8.
      {"\x02\xC3\xA4\x7f\x7fz\r", "z\r\n>", false},
      // Scrolled, a UTF-8 character stays whole and a control character keeps both columns.
      {std::string(20, '-') + "\xC3\xA4\x01\xE2\x82\xAC",
       "\r><" + std::string(13, '-') + "\xC3\xA4^A\xE2\x82\xAC\x1b[K", false},
      {"\x7f\x7f\r", "\r\n>", false},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.drawn);
    child.type(step.keys);
    ASSERT_TRUE(child.wait_for(step.whole ? "\r\n>" : step.drawn)) << child.output();
    EXPECT_EQ(step.whole ? child.output() : step.drawn, step.drawn);  // the whole output, if asked
    EXPECT_EQ(step.last_line.empty() ? "" : child.lines().back(), step.last_line);
    child.clear_output();
  }

  // Enter is taken at once; an LF right behind its CR, though apart, is the rest of a CR
  // LF. An LF typed later is an Enter of its own.
  child.type("c\r");
  usleep(5000);
  child.type("\nd\r");
  ASSERT_TRUE(child.wait_for("d\r\n>"));
  usleep(100000);
  child.type("\n");
  ASSERT_TRUE(child.wait_for("d\r\n>\r\n>"));
  child.clear_output();

  // A line takes CONSOLE_LINE_MAX bytes; each key past them rings the bell, and a
  // character that does not fit whole is not split.
  child.type(std::string(4095, 'b') + "\xC3\xA4" + "ccc\r");
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(std::count(child.output().begin(), child.output().end(), '\a'), 3);
  EXPECT_EQ(child.report(),
            (Lines{"abcdefghX", "abcdefghijklmnoZ", "ok", "a\\xC3\\xA4\\x01b", "\\x1Bq", "z",
                   std::string(20, '-') + "\\xC3\\xA4", "c", "d", "", std::string(4095, 'b') + "c"}));
}

TEST(ConsoleInputTerminal, RawLineIsDrawnAgainForANewWidth) {
  ConsoleChild child;
  child.start_on_pty({"raw", "p:>", "in"}, 20);
  ASSERT_TRUE(child.wait_for(">"));
  child.type("\xC3");  // no whole character, until the next byte completes it and it shows anew
  ASSERT_TRUE(child.wait_for(">?"));
  child.type("\xA4");
  ASSERT_TRUE(child.wait_for("\r>\xC3\xA4\x1b[K")) << child.output();
  std::string text = "0123456789abcdefghijklmnopqrst";
  child.type(text);
  ASSERT_TRUE(child.wait_for("\r><defghijklmnopqrst\x1b[K")) << child.output();
  child.resize(80);
  ASSERT_TRUE(child.wait_for("\r>\xC3\xA4" + text + "\x1b[K")) << "wide enough: all of it, in one write";
  child.resize(10);
  ASSERT_TRUE(child.wait_for("\r><nopqrst\x1b[K")) << child.output();
  child.type("\r");
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.report(), (Lines{"\\xC3\\xA4" + text}));
}

TEST(ConsoleInputTerminal, InkeyNeverWaitsAndReturnsAPendingKey) {
  ConsoleChild child;
  child.start_on_pty({"raw", "key", "p:ready", "keywait", "keywait", "plain", "p:plain", "keywait"});
  ASSERT_TRUE(child.wait_for("ready"));
  child.type("\x1b[Bx");  // an arrow gives nothing, the x comes next
  child.wait_until([&] { return child.report().size() >= 2; });
  child.type("\r");
  ASSERT_TRUE(child.wait_for("plain"));
  child.type("\xC3\xB6");
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.report(), (Lines{"", "x", "\\x0D", "\\xC3\\xB6"}));
}

TEST(ConsoleInputTerminal, ThePortPromptWorksInRawModeAndEndsWithTheInput) {
  ConsoleChild child;
  child.start_on_pty({"raw", "port"}, 80);
  ASSERT_TRUE(child.wait_for("(1-9999): "));
  child.type("99999\r");
  ASSERT_TRUE(child.wait_for("Fehler: Kein gueltiger Port!\r\nBitte"));
  child.type("8080\r");
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.report(), (Lines{"8080"}));
  EXPECT_EQ(piped("x\n", {"raw", "port"}), (Lines{"0"}));
  // The edges: 0 and 10000 are refused, 1 and 9999 taken.
  EXPECT_EQ(piped("0\n1\n", {"port"}), (Lines{"1"}));
  EXPECT_EQ(piped("10000\n9999\n", {"port"}), (Lines{"9999"}));
}
