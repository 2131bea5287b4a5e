#include <unistd.h>

#include "tests/console/console_run.h"

namespace {
const std::string kWrapOff = "\x1b[?7l", kRestore = "\x1b[?25h\x1b[?7h";

std::string repeat(const std::string& piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}
}  // namespace

TEST(ConsoleOutput, RawWritesAreClippedToTheWidthAndShowControlBytes) {
  ConsoleChild child;
  child.start_on_pty({"title:Sender\\x07x", "raw", "l:abcdefghijklmnopqrstuvwxyz",
                      "p:" + repeat("\\xC3\\xA4", 25), "ln", "l:a\\e[31mb\\x7F", "l:1234567890123456789\\e",
                      "pn", "ln", "p:X", "clear", "plain", "clear", "l:Y"});
  ASSERT_EQ(child.wait_exit(), 0);
  const std::string& out = child.output();
  EXPECT_EQ(out.find("\x1b]0;Sender?x\a"), 0u);
  size_t start = out.find(kWrapOff);
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(out.substr(start + kWrapOff.size()),
            "abcdefghijklmnopqrst\r\n" + repeat("\xC3\xA4", 20) + "\r\n" +
                "a^[[31mb^?\r\n"
                "1234567890123456789\r\n"  // the caret form would pass the width: left out
                "\r\n"
                "X\x1b[H\x1b[2J" +
                kRestore + "Y\r\r\n" + kRestore);  // plain: the terminal adds CR before LF
}

TEST(ConsoleOutput, OnPipesRawActsLikePlainAndWritesNoTerminalSequences) {
  ConsoleChild child;
  std::string long_text = repeat("0123456789", 30);
  child.start_on_pipes({"title:T", "l:plain", "pn", "raw", "l:" + long_text, "p:a\\eb", "ln", "clear",
                        "status:50%", "statusclear", "ln"});
  child.close_input();
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_EQ(child.output(), "plain\r\n" + long_text +
                                "\r\na\x1b"
                                "b\r\n\r\n");
}

// Standard output left non-blocking by whoever shares it, read late: the kernel takes a
// part of a write, then nothing (EAGAIN), and still every byte arrives in order.
TEST(ConsoleOutput, NonBlockingOutputThatIsFullLosesNothing) {
  ConsoleChild child;
  std::string text = repeat("0123456789", 2000);
  child.start_on_pipes({"nonblock", "l:" + text, "l:end"});
  child.close_input();
  usleep(100 * 1000);  // the pipe fills before anything is read
  ASSERT_EQ(child.wait_exit(), 0);
  EXPECT_TRUE(child.output() == text + "\r\nend\r\n") << child.output().size();
}

TEST(ConsoleOutput, EveryPrintErasesAShownStatusLineFirst) {
  ConsoleChild child;
  child.start_on_pty({"raw", "p:>", "status:copying 123456789012345678901234", "status:half", "l:done",
                      "statusclear", "status:again", "statusclear", "statusclear", "p:end"});
  ASSERT_EQ(child.wait_exit(), 0);
  std::string raw = child.output().substr(child.output().find(kWrapOff) + kWrapOff.size());
  EXPECT_EQ(raw,
            ">"
            "\rcopying 12345678901\x1b[K"  // width 20 less one column
            "\rhalf\x1b[K"
            "\r\x1b[K"
            "done\r\n"
            "\ragain\x1b[K"
            "\r\x1b[K"
            "end\r\n" +
                kRestore);  // the shell's prompt must not stand behind "end"
}
