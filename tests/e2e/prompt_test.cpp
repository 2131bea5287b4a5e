// The programs' questions and their failure paths: port texts, a busy port, input that
// ends at a prompt, and running without any terminal.
#include <regex>

#include "e2e_support.h"

using namespace e2e;

namespace {

const std::string kRejected = "Fehler: Kein gueltiger Port!";

}  // namespace

TEST(Prompt, ReceiverRejectsBadPortsWithoutClearingAndShowsTheValueInDecimal) {
  TempDir dir;
  ChildProcess receiver(text_mode(kQuickReceiver));
  receiver.wait_for("Bitte Ort zum speichern auswaehlen");
  receiver.type(dir / "target.bin\r");
  const std::vector<std::string> bad = {"0", "10000", "-1", "abc", "", "4294967297", "$2710", "\x04"};
  for (const std::string& text : bad) {
    ASSERT_TRUE(receiver.wait_for("Bitte den Port eingeben (1-9999): "));
    size_t before = count(receiver.output(), kRejected);
    receiver.type(text + "\r");
    receiver.wait_until([&] { return count(receiver.output(), kRejected) > before; });
    ASSERT_EQ(count(receiver.output(), kRejected), before + 1) << "port text " << text;
  }
  // Every rejection stays on the screen, each followed by a fresh prompt.
  const std::string prompt = "Bitte den Port eingeben (1-9999):";
  receiver.wait_until([&] { return last_lines(receiver, 1) == Lines{prompt}; });
  EXPECT_GE(receiver.lines().size(), bad.size() + 1);
  EXPECT_EQ(last_lines(receiver, 2), (Lines{kRejected, prompt}));
  EXPECT_EQ(receiver.output().find("\x1b[2J"), std::string::npos) << "no clear before acceptance";

  int port = free_port();
  char hex[16];
  snprintf(hex, sizeof hex, "$%X", port);
  receiver.type(std::string(hex) + "\r");
  ASSERT_TRUE(receiver.wait_for("Server: Server created (Port " + std::to_string(port) + ")."))
      << receiver.screen_text();
  EXPECT_TRUE(receiver.wait_for("Port:" + std::to_string(port) + "\n"));
  EXPECT_EQ(receiver.lines()[0], "Empfaenger v2.0.0") << "the screen was cleared for the banner";
}

TEST(Prompt, SenderShowsThePortAsTypedAndConnectsToItsValue) {
  TempDir dir;
  write_file(dir / "source.bin", "hello");
  // The four ways of typing a port, each sender on a port of its own, side by side.
  struct Run {
    int port = free_port(), listener = listen_on(port);
    std::string typed;
    std::unique_ptr<ChildProcess> sender = std::make_unique<ChildProcess>(text_mode(kQuickSender));
  };
  std::vector<Run> runs(4);
  for (size_t way = 0; way < runs.size(); ++way) {
    int port = runs[way].port;
    char hex[16], binary[40] = "%";
    snprintf(hex, sizeof hex, "$%x", port);
    for (int bit = 13; bit >= 0; --bit) strcat(binary, (port >> bit) & 1 ? "1" : "0");
    runs[way].typed = std::vector<std::string>{hex, binary, " " + std::to_string(port), std::to_string(port) + "x"}[way];
    ASSERT_GE(runs[way].listener, 0);
    start_sender(*runs[way].sender, dir / "source.bin", "\x04\r" + runs[way].typed);
  }
  for (auto& [port, listener, typed, sender] : runs) {
    int conn = accept_within(listener);
    ASSERT_GE(conn, 0) << typed;
    EXPECT_EQ(read_until_close(conn), header(5) + "hello") << typed;
    close(conn);  // a peer that reads everything and closes has stored it
    ASSERT_TRUE(sender->wait_for("Bitte Enter druecken ...")) << sender->screen_text();
    EXPECT_TRUE(sender->wait_for("Die Datei wurde zum Empfaenger gesendet")) << sender->screen_text();
    EXPECT_TRUE(sender->wait_for("Port:" + typed + "\n")) << sender->screen_text();
    EXPECT_EQ(count(sender->output(), kRejected), 1u);
    sender->type("\r");
    EXPECT_EQ(sender->wait_exit(), 0);
    close(listener);
  }
}

// Options are answered at once, before any dialog or prompt: help and version on standard
// output with status 0; wrong usage as one error line and the usage hint on standard error
// with status 2, also for a port out of range.
TEST(Prompt, OptionsAnswerAtOnceAndWrongUsageEndsWithStatusTwo) {
  // out: a regular expression for all standard output; err: the error line, or empty.
  struct Case { std::string program; std::vector<std::string> args; int status; std::string out, err; };
  const std::vector<Case> cases = {
      {kReceiverProgram, {"--help"}, 0, "Aufruf: Kelvane \\[-p PORT\\] \\[DATEI\\]\n(.*\n)+", ""},
      {kSenderProgram, {"-h"}, 0, "Aufruf: Dorvish \\[-p PORT\\] \\[DATEI \\[ADRESSE\\]\\]\n(.*\n)+", ""},
      {kReceiverProgram, {"--version"}, 0, "Kelvane [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
      {kSenderProgram, {"--version"}, 0, "Dorvish [0-9]+\\.[0-9]+\\.[0-9]+\n", ""},
      {kSenderProgram, {"--bogus", "x"}, 2, "", "Dorvish: Unbekannte Option: --bogus"},
      {kReceiverProgram, {"out.bin", "-x"}, 2, "", "Kelvane: Unbekannte Option: -x"},
      {kReceiverProgram, {"-p", "10000", "out.bin"}, 2, "", "Kelvane: Kein gueltiger Port (1-9999): 10000"},
      {kSenderProgram, {"--port=abc", "a", "b"}, 2, "", "Dorvish: Kein gueltiger Port (1-9999): abc"},
      {kReceiverProgram, {"-p4294967297"}, 2, "", "Kelvane: Kein gueltiger Port (1-9999): 4294967297"},
      {kSenderProgram, {"--port=7e3abc", "a", "b"}, 2, "", "Dorvish: Kein gueltiger Port (1-9999): 7e3abc"},
      {kSenderProgram, {"a", "b", "c"}, 2, "", "Dorvish: Zu viele Argumente: c"},
      {kReceiverProgram, {"--", "-x", "y"}, 2, "", "Kelvane: Zu viele Argumente: y"},  // "--" ends the options
      {kSenderProgram, {"--send-to", "a", "b"}, 2, "[^]*\nEs kann nur eine Datei auf einmal gesendet werden \\(2 gewaehlt\\)\\.[^]*", ""},
      {kSenderProgram, {"a", "--send-to", "b"}, 2, "", "Dorvish: Zu viele Argumente: --send-to"},
  };
  // Every case twice, side by side: with standard output alone, then with standard error.
  TempDir dir;
  const char* const redirects[] = {"2>/dev/null", "2>&1 >/dev/null"};
  Programs p;
  for (const Case& c : cases)
    for (const char* redirect : redirects) {
      ChildOptions options = text_mode(c.program);
      options.terminal = false;
      options.cwd = dir.path();
      options.args = {"/bin/sh", "-c", std::string("exec \"$0\" \"$@\" ") + redirect, c.program};
      p.start(options, c.args);
    }
  for (size_t i = 0; i < p.all.size(); ++i) {
    const Case& c = cases[i / 2];
    ChildProcess& child = *p.all[i];
    ASSERT_EQ(child.wait_exit(10000), c.status)
        << c.args[0] << " " << redirects[i % 2] << ": " << child.output();
    if (i % 2 == 0) {
      EXPECT_TRUE(std::regex_match(child.output(), std::regex(c.out))) << c.args[0] << ": " << child.output();
    } else if (c.err.empty()) {
      EXPECT_EQ(child.output(), "") << c.args[0];
    } else {
      std::string name = c.program.substr(c.program.rfind('/') + 1);
      EXPECT_EQ(child.output(),
                c.err + "\nAufruf: " + name + " " +
                    (name == "Kelvane" ? "[-p PORT] [DATEI]" : "[-p PORT] [DATEI [ADRESSE]]") +
                    " (mehr mit: " + name + " --help)\n")
          << c.args[0];
    }
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "nothing started, nothing made";
}

TEST(Prompt, InputThatEndsAtAPromptEndsTheProgram) {
  TempDir dir;
  ChildProcess receiver;
  start_piped(receiver, kQuickReceiver, dir / "target.bin\nabc\n");
  EXPECT_EQ(receiver.wait_exit(10000), 0) << receiver.output();
  EXPECT_EQ(count(receiver.output(), kRejected), 1u) << receiver.output();
  EXPECT_TRUE(receiver.output().ends_with("Bitte den Port eingeben (1-9999): \r\n"))
      << "the question that met the end of the input ends its line";
  // On a terminal with nothing to read: each question that meets the end ends its line,
  // and the shell's prompt comes on a fresh line.
  ChildOptions options = text_mode(kQuickReceiver);
  options.args = {"/bin/sh", "-c", "exec \"$0\" </dev/null", kQuickReceiver};
  ChildProcess ended(options);
  EXPECT_EQ(ended.wait_exit(10000), 0) << ended.output();
  EXPECT_NE(ended.output().find("Pfad: \r\nBitte den Port eingeben (1-9999): \r\n\x1b[?25h\x1b[?7h"),
            std::string::npos)
      << ended.output();
  // Ended by a signal at a question, the same.
  ChildProcess stopped(text_mode(kQuickReceiver));
  ASSERT_TRUE(stopped.wait_for("Bitte Ort zum speichern auswaehlen"));
  stopped.type(dir / "target.bin\r");
  ASSERT_TRUE(stopped.wait_for("Bitte den Port eingeben (1-9999): "));
  stopped.type("12");
  ASSERT_TRUE(stopped.wait_for("(1-9999): 12"));
  stopped.signal(SIGTERM);
  EXPECT_EQ(stopped.wait_exit(10000), 128 + SIGTERM);
  EXPECT_NE(stopped.output().find("(1-9999): 12\r\n\x1b[?25h\x1b[?7h"), std::string::npos)
      << stopped.output();
  // At the port prompt, then at the address prompt.
  for (const char* input : {"\n/etc/hostname\n", "\n/etc/hostname\n80\n"}) {
    ChildProcess sender;
    start_piped(sender, kQuickSender, input);
    EXPECT_EQ(sender.wait_exit(10000), 0) << sender.output();
    EXPECT_EQ(sender.output().find("Suche nach"), std::string::npos);
  }
  // With arguments given, a question that finds no answer is a run that did not do its job.
  Programs p;
  ChildProcess& asked = *p.script(kQuickSender, {"-p", "5000", "/etc/hostname"});
  EXPECT_EQ(asked.wait_exit(10000), 1) << asked.output();
  EXPECT_TRUE(asked.wait_for("Bitte die IP eingeben (0.0.0.0): "));
  EXPECT_EQ(asked.output().find("Bitte den Port eingeben"), std::string::npos) << "the port was given";
}

// Typing past the right edge keeps every character: the line scrolls sideways. At 30
// columns the receiver's port prompt is wider than the screen, at 44 the address fills
// the sender's line.
TEST(Prompt, NarrowTerminalsKeepEveryTypedCharacter) {
  TempDir dir;
  std::string target = dir / "ziel-mit-langem-namen.bin";
  int port = free_port();
  ChildProcess receiver(text_mode(kQuickReceiver, 30));
  ASSERT_TRUE(receiver.wait_for("Bitte Ort zum speichern"));  // the rest is cut at 30 columns
  receiver.type(target + "\r");
  ASSERT_TRUE(receiver.wait_for("Bitte den Port eingeben"));
  receiver.type(std::to_string(port) + "\r");
  ASSERT_TRUE(receiver.wait_for("Port:" + std::to_string(port) + "\n")) << receiver.output();
  ASSERT_TRUE(receiver.wait_for("Server: Wait for Connection")) << receiver.screen_text();
  EXPECT_EQ(count(receiver.output(), kRejected), 0u);
  for (const std::string& line : receiver.lines()) EXPECT_LE(line.size(), 30u) << line;

  std::string source = dir / "eine-quelle-mit-einem-recht-langen-namen.bin";
  write_file(source, "schmal");
  ChildProcess sender(text_mode(kQuickSender, 44));
  start_sender(sender, source, std::to_string(port), "127.0.0.100");
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  EXPECT_TRUE(sender.wait_for("IP:127.0.0.100\n")) << sender.screen_text();
  EXPECT_TRUE(sender.wait_for("Verbunden zum Empfaenger ..."));
  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  EXPECT_EQ(read_file(target), "schmal") << "save path and source path were taken whole";
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);
}

// The example users meet in the manual: "$50" is port 80, shown in decimal by the
// receiver and as typed by the sender, which connects to it.
TEST(Prompt, DollarFiftyIsPortEightyOnBothSides) {
  if (!port_free(80)) GTEST_SKIP() << "port 80 is taken on this machine";
  TempDir dir;
  ChildProcess receiver(text_mode(kQuickReceiver));
  start_receiver(receiver, dir / "target.bin", "$50");
  if (!receiver_ready(receiver)) GTEST_SKIP() << "port 80 cannot be bound here";
  EXPECT_TRUE(receiver.wait_for("Port:80\n"));
  EXPECT_TRUE(receiver.wait_for("Server: Server created (Port 80)."));

  write_file(dir / "source.bin", "fifty");
  ChildProcess sender(text_mode(kQuickSender));
  start_sender(sender, dir / "source.bin", "$50");
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  EXPECT_TRUE(sender.wait_for("Port:$50\n"));
  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  EXPECT_EQ(read_file(dir / "target.bin"), "fifty");
}

// A byte of another encoding stays in the path; an LF right behind its CR is its Enter's rest.
TEST(Prompt, ReceiverTakesTypedBytesAsTheyCame) {
  TempDir dir;
  ReceiverRun run(dir / "M\xfcll.txt");
  ASSERT_TRUE(receiver_ready(run.receiver)) << run.receiver.screen_text();
  int fd = connect_to(run.port);
  ASSERT_TRUE(send_all(fd, header(6) + "inhalt") && run.receiver.wait_for("Bitte Enter druecken ..."));
  close(fd);
  EXPECT_EQ(read_file(run.target), "inhalt");
  size_t paused = run.receiver.output().size();
  run.receiver.type("\r");
  ASSERT_TRUE(run.receiver.wait_until([&] { return run.receiver.output().find('\n', paused) != std::string::npos; }));
  run.receiver.type("\n");  // after the pause took the CR: the LF waits unread while the receiver serves
  close(connect_to(run.port));
  ASSERT_TRUE(run.receiver.wait_for("Der Sender hat die Verbindung beendet ..."));
  EXPECT_FALSE(run.receiver.wait_for("Server: Wait for quit the server.", 300));  // the pause waits
}

TEST(Prompt, ClosedStandardStreamsDoNotHoldThePrograms) {
  TempDir dir;
  for (int run = 0; run < 6; ++run) {
    int port = free_port();
    Programs p;
    ChildProcess& child = *p.script("/bin/sh",
                   {"-c", "exec \"$0\" \"$@\" " + std::to_string(run / 2) + "<&-",
                    run % 2 ? kQuickSender : kQuickReceiver, "-p", std::to_string(port),
                    run % 2 ? "/etc/hostname" : dir / "out.bin"});
    for (int i = 0; run % 2 == 0 && i < 500 && child.wait_exit(10) == -1; ++i) close(connect_to(port));
    EXPECT_EQ(child.wait_exit(10000), 1) << run / 2 << " closed: " << child.output();
  }
}
