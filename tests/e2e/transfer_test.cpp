// Both programs against each other and against raw socket peers, as a user sees them.
#include <fcntl.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/mount.h>

#include <fstream>
#include <optional>

#include <gmock/gmock.h>

#include "e2e_support.h"

using namespace e2e;
using testing::AllOf, testing::Ge, testing::Le;

namespace {

const std::string kRule = "+++++++++++++++++++++++++++++++++++++";

// What each program shows of a whole transfer, up to its pause after it.
Lines receiver_lines(const std::string& target, const std::string& port) {
  return {"Empfaenger v2.0.0", kRule, "Gestartet ...", "Speicherort: " + target, "Port:" + port, kRule,
          "Server: Server created (Port " + port + ").", "Server: Wait for Connection ...",
          "Der Sender hat sich verbunden ...", "Der Sender sendet nun die Datei ...",
          "Datei wurde hier gespeichert:", target, "Bitte Enter druecken ..."};
}
Lines sender_lines(const std::string& source, const std::string& port, const std::string& ip) {
  return {"Sender v1.0.0", kRule, "Gestartet ...", "Datei: " + source, "Port:" + port, "IP:" + ip, kRule,
          "Suche nach Empfänger ...", "Verbunden zum Empfaenger ...",
          "Die Datei wurde zum Empfaenger gesendet ... (" + source + ")", "Bitte Enter druecken ..."};
}

// The lines as a program writes them to a pipe.
std::string crlf(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

}  // namespace

TEST(Transfer, SenderToReceiverArrivesByteIdentical) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  const std::string source = run.dir / "source.bin", port = std::to_string(run.port);
  std::string content = pattern(3 * 1024 * 1024 + 17);
  write_file(source, content);
  ASSERT_TRUE(receiver_ready(receiver)) << receiver.screen_text();

  ChildProcess sender(text_mode(kQuickSender));
  start_sender(sender, source, port);
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  EXPECT_EQ(sender.lines(), sender_lines(source, port, "127.0.0.1"));
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);

  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ...")) << receiver.screen_text();
  EXPECT_EQ(receiver.lines(), receiver_lines(run.target, port));
  EXPECT_TRUE(read_file(run.target) == content);
  EXPECT_EQ(receiver.title(), "Empfaenger v2.0.1");
  EXPECT_EQ(sender.title(), "Sender v2.0.1");

  // The receiver serves on after a transfer and does not end by itself.
  receiver.type("\r");
  EXPECT_TRUE(serves_on(receiver, run.port)) << receiver.screen_text();
}

// Bytes of no whole transfer: too few, then the end (the reason told); no transfer (none
// told); another protocol's request or a whole stream without the magic (anything told).
// Each time the receiver stores nothing, leaves nothing beside the old file, serves on.
TEST(Transfer, BytesThatBringNoWholeTransferLeaveTheExistingFileAndServesOn) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  write_file(run.target, "precious");
  ASSERT_TRUE(receiver_ready(receiver));
  const std::string pause = "Bitte Enter druecken ...";
  for (const auto& [wire, told] :  // told: the lines between the failure and the pause, if checked
       {std::pair<std::string, std::optional<Lines>>{header(100000) + pattern(5000),
                                                     Lines{"Der Sender hat die Uebertragung abgebrochen!"}},
        {header(6, "GARBAGE!") + "hacked", Lines{}},
        {"GET / HTTP/1.0\r\nHost: localhost\r\n\r\n", std::nullopt},
        {header(5, "NOTMAGIC") + "hello", std::nullopt}}) {
    SCOPED_TRACE(wire.substr(0, 12));
    receiver.clear_output();
    ASSERT_TRUE(send_closing(run.port, wire));
    ASSERT_TRUE(receiver.wait_for(pause)) << receiver.screen_text();
    EXPECT_EQ(count(receiver.output(), pause), 1u) << receiver.screen_text();
    Lines expected = told.value_or(Lines{});
    expected.insert(expected.begin(), "Unbekannter Fehler!");
    expected.push_back(pause);
    EXPECT_EQ(told ? last_lines(receiver, expected.size()) : expected, expected);  // unchecked when not told
    EXPECT_EQ(receiver.output().find("Datei wurde hier gespeichert:"), std::string::npos);
    EXPECT_EQ(read_file(run.target), "precious");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run.dir.path()), {}), 1) << "no leftovers";
    receiver.type("\r");
  }
  // The next round found it serving; after the last one it serves on too.
  EXPECT_TRUE(serves_on(receiver, run.port)) << "a failed transfer does not end the receiver\n"
                                             << receiver.screen_text();
}

TEST(Transfer, LongSavePathIsCutOnScreenButUsedWhole) {
  TempDir dir;
  std::filesystem::create_directory(dir / std::string(60, 'd'));
  ReceiverRun run(dir / (std::string(60, 'd') + "/" + std::string(40, 'f') + ".bin"), 0, 50);
  ASSERT_TRUE(receiver_ready(run.receiver));
  std::string content = pattern(4096);
  int fd = connect_to(run.port);
  ASSERT_TRUE(send_all(fd, header(4096) + content));
  ASSERT_TRUE(run.receiver.wait_for("Bitte Enter druecken ...")) << run.receiver.screen_text();
  close(fd);
  EXPECT_TRUE(read_file(run.target) == content);
  for (const std::string& line : run.receiver.lines()) EXPECT_LE(line.size(), 50u) << line;
  EXPECT_TRUE(run.receiver.wait_for(("Speicherort: " + run.target).substr(0, 50)));
  EXPECT_TRUE(run.receiver.wait_for(run.target.substr(0, 50) + "\n"));
}

// A file the sender cannot send is found out before it connects (a connection bringing
// nothing would end the receiver's serving): it says why and ends. A FIFO must not make
// it wait for a writer; a file gone or made a folder changed after the dialog took it.
TEST(Transfer, UnsendableFilesEndTheSenderBeforeItConnects) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);  // an unprivileged sender may look inside
  for (const char* name : {"gone.bin", "now-a-folder", "secret.bin"}) write_file(dir / name, "content");
  chmod((dir / "secret.bin").c_str(), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  { std::ofstream{dir / "big.bin"}; }
  ASSERT_EQ(truncate((dir / "big.bin").c_str(), int64_t{1} << 31), 0);  // sparse: costs no disk
  struct Case {
    std::string path, reason;
    std::function<void()> after_choice;
    bool unprivileged = false;  // root reads every file: the sender then runs as nobody
    int port = free_port(), listener = listen_on(port);
    std::unique_ptr<ChildProcess> sender = nullptr;
  };
  const std::string folder = dir / "now-a-folder";
  std::vector<Case> cases;  // each against a listener of its own, side by side
  cases.push_back({"", "Keine Datei ausgewaehlt!", nullptr});  // the open dialog was cancelled
  cases.push_back({dir / "gone.bin", "Datei nicht gefunden!", [&] { unlink((dir / "gone.bin").c_str()); }});
  cases.push_back({folder, "Keine normale Datei!", [&] { unlink(folder.c_str()), mkdir(folder.c_str(), 0755); }});
  cases.push_back({dir / "secret.bin", "Keine Leserechte!", nullptr, true});
  cases.push_back({"/dev/zero", "Keine normale Datei!", nullptr});
  cases.push_back({dir / "fifo", "Keine normale Datei!", nullptr});
  cases.push_back({dir / "big.bin", "Datei zu gross (2 GiB oder mehr)!", nullptr});
  for (Case& c : cases) {
    ASSERT_GE(c.listener, 0);
    ChildOptions options = text_mode(kQuickSender);
    if (c.unprivileged && geteuid() == 0) options.user = 65534;
    c.sender = std::make_unique<ChildProcess>(options);
  }
  for (Case& c : cases) start_sender(*c.sender, c.path, std::to_string(c.port), "127.0.0.1", c.after_choice);
  for (Case& c : cases) {
    SCOPED_TRACE(c.path);
    ASSERT_TRUE(c.sender->wait_for("Bitte Enter druecken ...")) << c.sender->screen_text();
    Lines lines = c.sender->lines();
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(lines[3], c.path.empty() ? "Datei:" : "Datei: " + c.path);  // the screen model drops trailing blanks
    // No receiver is searched for a file that cannot be sent.
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{kRule, "Fehler: Die Datei konnte nicht gesendet werden!", c.reason, "Bitte Enter druecken ..."}));
    c.sender->type("\r");
    EXPECT_EQ(c.sender->wait_exit(), 0);
    pollfd waiting{c.listener, POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 0), 0) << "a connection reached the receiver";
    close(c.listener);
  }
}
// Every answer on the command line, no input: nothing waits for a key, the receiver ends
// after its one transfer (over IPv6 loopback) without the ten-second wait, the status
// tells the outcome. On a terminal a hang-up ends each with the outcome so far: 0 once
// the file went or came whole, 1 after a failed reception or send.
TEST(Transfer, ScriptedRunsWithEveryAnswerGivenEndWithTheirOutcome) {
  TempDir dir;
  std::string content = pattern(1024 * 1024 + 3);
  write_file(dir / "source.bin", content);
  write_file(dir / "big.bin", "");
  std::filesystem::resize_file(dir / "big.bin", 64 << 20);  // more than the sockets hold
  int port = free_port();
  const std::string port_text = std::to_string(port);
  Programs p;
  ChildProcess& receiver = *p.script(kQuickReceiver, {"-p", port_text, dir / "target.bin"});
  ASSERT_TRUE(receiver_ready(receiver)) << receiver.output();
  ChildProcess& sender = *p.script(kQuickSender, {dir / "source.bin", "::1", "--port", port_text});
  EXPECT_EQ(sender.wait_exit(), 0) << sender.output();
  EXPECT_EQ(receiver.wait_exit(5000), 0) << receiver.output();
  EXPECT_TRUE(read_file(dir / "target.bin") == content);
  // No question, clearing, status line or terminal sequence; the notice is one line.
  Lines received = receiver_lines(dir / "target.bin", port_text), sent = sender_lines(dir / "source.bin", port_text, "::1");
  received.push_back("Server: Wait for quit the server.");
  sent.insert(sent.begin(),
              "Fragen sie erst den Empfänger ob er bereit ist den erst dann, kann die Datei gesendet werden!");
  EXPECT_EQ(receiver.output(), crlf(received));
  EXPECT_EQ(sender.output(), crlf(sent));

  auto hang_up = [](ChildProcess& program, const std::string& last, int status) {
    ASSERT_TRUE(program.wait_for(last)) << program.output();
    program.signal(SIGHUP);
    EXPECT_EQ(program.wait_exit(5000), status) << program.output();
  };
  ChildProcess& shown = *p.start(text_mode(kQuickReceiver), {"-p", port_text, dir / "shown.bin"});
  ASSERT_TRUE(receiver_ready(shown)) << shown.output();
  hang_up(*p.start(text_mode(kQuickSender), {"-p", port_text, dir / "source.bin", "127.0.0.1"}),
          "Bitte Enter druecken ...", 0);
  hang_up(shown, "Bitte Enter druecken ...", 0);

  // A transfer that breaks off: status 1, by itself in a script, at the hang-up on a terminal.
  for (bool terminal : {false, true}) {
    ChildOptions options = text_mode(kQuickReceiver);
    options.terminal = terminal;
    ChildProcess& broken = *p.start(options, {"-p" + port_text, dir / "broken.bin"});
    ASSERT_TRUE(receiver_ready(broken)) << broken.output();
    int fd = connect_to(port);
    ASSERT_TRUE(send_all(fd, header(100000) + pattern(500)));
    ASSERT_TRUE(broken.wait_for("Der Sender sendet nun die Datei ..."));
    EXPECT_TRUE(terminal || connect_to(port) < 0) << "a one-transfer receiver takes no sender once its transfer began";
    close(fd);
    if (terminal) hang_up(broken, "Unbekannter Fehler!", 1);
    EXPECT_EQ(broken.wait_exit(5000), 1) << broken.output();
    EXPECT_TRUE(broken.wait_for("Unbekannter Fehler!"));
  }

  // A hang-up before any transfer came ends the receiver with nothing received: status 1.
  hang_up(*p.script(kReceiverProgram, {"-p", port_text, dir / "never.bin"}), "Server: Wait for Connection ...",
          1);

  // A file that cannot be sent, and a send whose connection is reset: status 1.
  int listener = listen_on(port);  // takes the connection, never reads
  ASSERT_GE(listener, 0);
  ChildProcess& failing = *p.script(kQuickSender, {"-p", port_text, dir / "missing.bin", "127.0.0.1"});
  EXPECT_EQ(failing.wait_exit(), 1) << failing.output();
  EXPECT_EQ(failing.output().find("Die Datei wurde zum Empfaenger gesendet"), std::string::npos);
  ChildProcess& stuck = *p.start(text_mode(kQuickSender), {"-p", port_text, dir / "big.bin", "127.0.0.1"});
  ASSERT_TRUE(stuck.wait_for("Verbunden zum Empfaenger ...")) << stuck.output();
  close(listener);  // resets the connection waiting in it
  hang_up(stuck, "Fehler: Die Datei konnte nicht gesendet werden!", 1);
}

// A socket of uid's (as that file-system user) on port and address, IPv6 alone; -1: none.
int hold_ipv6(int port, const in6_addr& address, uid_t uid) {
  setfsuid(uid);
  int on = 1, fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  setfsuid(geteuid());
  sockaddr_in6 sa{AF_INET6, htons(static_cast<uint16_t>(port)), 0, address, 0};
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0 &&
      bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 8) == 0)
    return fd;
  close(fd);
  return -1;
}

// Another program holds the port for IPv6 alone. The receiver's own user's: it serves
// IPv4 clients and says so. Another user's: the port is in use, IPv6 clients would reach
// that program.
TEST(Transfer, AReceiverSharesAPortWithItsOwnUserAlone) {
  const struct { in6_addr address; uid_t holder; std::string says; } cases[] = {
      {in6addr_any, geteuid(), ", IPv4 only)."},
      {in6addr_any, 65534, "Server: Can't create the server (port in use ?)."},
      {in6addr_loopback, 65534, "Server: Can't create the server (port in use ?)."}};
  for (const auto& c : cases) {
    if (c.holder != geteuid() && geteuid() != 0) continue;
    int port = free_port();
    int holder = hold_ipv6(port, c.address, c.holder);
    if (holder < 0) GTEST_SKIP() << "no IPv6 here";
    TempDir dir;
    Programs p;
    ChildProcess& receiver = *p.script(kQuickReceiver, {"-p", std::to_string(port), dir / "target.bin"});
    EXPECT_TRUE(receiver.wait_for(c.says)) << receiver.output();
    int fd = c.holder == geteuid() ? connect_to(port) : -1;
    EXPECT_TRUE(fd < 0 || send_all(fd, header(5) + "hello"));
    EXPECT_EQ(receiver.wait_exit(5000), fd >= 0 ? 0 : 1) << receiver.output();
    EXPECT_EQ(read_file(dir / "target.bin"), fd >= 0 ? "hello" : "");
    close(fd), close(holder);
  }
}

// The sender's status: 0 only when the receiver stored the file byte for byte, 1 with a
// reason otherwise. A receiver takes one transfer and, once it began, no more senders: of
// three senders at once just the one stored succeeds. Every pair runs side by side.
TEST(Transfer, TheSenderSucceedsOnlyWhenTheReceiverStoredTheFile) {
  TempDir dir;
  for (const char* disk : {"full", "ro"}) mkdir((dir / disk).c_str(), 0755);
  bool disks = geteuid() == 0 && mount("tmpfs", (dir / "full").c_str(), "tmpfs", 0, "size=1m") == 0 &&
               mount("tmpfs", (dir / "ro").c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0;
  struct Case { std::string source, target, receiver_says; };
  const std::string stored = "Datei wurde hier gespeichert:",
                    foreign = "Die Datei gehoert einem anderen Benutzer (geteilter Ordner)!";
  std::vector<Case> cases = {
      {"/proc/version", dir / "version", stored},
      {"/sys/kernel/uevent_seqnum", dir / "sys", "Der Sender hat die Uebertragung abgebrochen!"}};
  if (geteuid() == 0) {
    // In a shared sticky folder nobody's links, to a file or a folder, are not followed; root's are.
    std::string plant = R"(chmod 755 . && mkdir -m 700 private && mkdir -m 1777 shared && mkdir theirs &&
      chown 65534 theirs && printf 'root only' >private/secret && printf old >private/own &&
      ln -s ../private/own shared/own && setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '
      printf theirs >theirs/file && chmod 666 theirs/file && ln -s ../private/secret shared/link &&
      ln -s ../theirs/file shared/to-theirs && ln -s ../private shared/folder')";
    ASSERT_EQ(std::system(("cd " + dir.path() + " && " + plant).c_str()), 0);
    for (const char* planted : {"shared/link", "shared/to-theirs", "shared/folder/secret"})
      cases.push_back({dir / "0", dir / planted, foreign});
    cases.push_back({dir / "1", dir / "shared/own", stored});
  }
  if (disks) {
    write_file(dir / "big.bin", pattern(3 << 20));
    cases.push_back({dir / "big.bin", dir / "full/out", "Kein Platz mehr auf dem Datentraeger!"});
    cases.push_back({dir / "0", dir / "ro/out", "Der Datentraeger ist schreibgeschuetzt!"});
    mkdir((dir / "shared").c_str(), 0);
    chmod((dir / "shared").c_str(), 01777);
    write_file(dir / "shared/out", "planted");
    EXPECT_EQ(chown((dir / "shared/out").c_str(), 65534, 65534), 0);
    cases.push_back({dir / "1", dir / "shared/out", "Die Datei gehoert einem anderen Benutzer (geteilter Ordner)!"});
  }
  for (int i = 0; i < 3; ++i)
    write_file(dir / std::to_string(i), pattern(100000, static_cast<unsigned>(i + 1)));
  Programs p;  // each receiver, then its senders
  for (size_t i = 0; i <= cases.size(); ++i) {
    std::string port = std::to_string(free_port());
    ASSERT_TRUE(receiver_ready(
        *p.script(kQuickReceiver, {"-p", port, i < cases.size() ? cases[i].target : dir / "one"})));
    for (int k = 0; k < (i < cases.size() ? 1 : 3); ++k)
      p.script(kQuickSender, {"-p", port, i < cases.size() ? cases[i].source : dir / std::to_string(k), "::1"});
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    ChildProcess &receiver = *p.all[2 * i], &sender = *p.all[2 * i + 1];
    int status = cases[i].receiver_says == stored ? 0 : 1;
    EXPECT_EQ(sender.wait_exit(), status) << sender.output();
    EXPECT_EQ(receiver.wait_exit(), status) << receiver.output();
    EXPECT_NE(receiver.output().find(cases[i].receiver_says), std::string::npos) << receiver.output();
    EXPECT_EQ(sender.output().find("Die Datei wurde zum") == std::string::npos, status == 1)
        << sender.output();
  }
  EXPECT_TRUE(read_file(dir / "version") == read_file("/proc/version"));
  EXPECT_EQ(read_file(dir / "private/secret") + read_file(dir / "theirs/file"),
            geteuid() ? "" : "root onlytheirs");
  if (disks) umount((dir / "full").c_str()), umount((dir / "ro").c_str());
  std::vector<int> succeeded;
  for (int k = 0; k < 3; ++k)
    if (p.all[2 * cases.size() + 1 + static_cast<size_t>(k)]->wait_exit() == 0) succeeded.push_back(k);
  EXPECT_EQ(p.all[2 * cases.size()]->wait_exit(), 0);
  ASSERT_EQ(succeeded.size(), 1u);
  EXPECT_TRUE(read_file(dir / "one") == read_file(dir / std::to_string(succeeded[0])));

  // A save path the typed dialog would not take is a wrong call, before any port is taken.
  for (const std::string& bad : {std::string(), dir.path(), dir / "missing/out"}) {
    ChildProcess* refused = p.script(kQuickReceiver, {"-p", "1", bad});
    EXPECT_EQ(refused->wait_exit(), 2) << bad;
    EXPECT_EQ(refused->output().find("Server:"), std::string::npos) << refused->output();
  }
}

// The scenarios below need a slow state (a stall, a display's probe, a sender's pause):
// they run during the ten-second wait of the last test, which names each in its failures.
namespace {

// A sender finds no receiver: where nothing listens it is told so at once; where nothing
// answers it gives up after its limit (a twentieth here), showing that it still tries.
void sender_without_receiver(bool silent) {
  SCOPED_TRACE(silent ? "silent" : "refused");
  int port = free_port(), filler = -1;
  int listener = silent ? listen_silently(port, &filler) : -1;
  ChildProcess sender(text_mode(kQuickSender));
  start_sender(sender, "/etc/hostname", std::to_string(port));
  ASSERT_TRUE(sender.wait_for("Suche nach Empfänger ..."));
  int64_t searching = now_ms();
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  int64_t limit = silent ? 20000 / kQuickTimeFactor : 0, searched = now_ms() - searching;  // the twenty seconds, quick
  EXPECT_THAT(searched, AllOf(Ge(limit - 250), Le(limit + 500)));  // what the output was seen late may hide
  EXPECT_EQ(sender.output().find("versuche weiter") != std::string::npos, silent) << sender.output();
  EXPECT_EQ(last_lines(sender, 3, 1),
            (Lines{"Suche nach Empfänger ...",  // the status line is erased
                   "Kann Empfaenger nicht finden (Ist er bereit?|Ist der Port frei?)",
                   silent ? "Keine Antwort (Firewall, falsche Adresse oder ein Netz, das Geraete trennt)!"
                          : "Dort wartet niemand auf diesem Port (Verbindung abgelehnt)!"}));
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);
  for (int fd : {filler, listener}) close(fd);
}

// Eight pieces over about 0.8 s, well past the half second before a status line appears:
// a receiver on a terminal draws a line with a percentage and erases it, so its own lines
// alone stay; one on pipes writes neither the line nor any terminal sequence.
void status_line_during_a_slow_transfer_on_a_terminal_alone() {
  ReceiverRun shown;
  TempDir dir;
  int port = free_port();
  ChildProcess piped;
  start_piped(piped, kQuickReceiver, dir / "target.bin\n" + std::to_string(port) + "\n");
  ASSERT_TRUE(receiver_ready(shown.receiver));
  ASSERT_TRUE(receiver_ready(piped)) << piped.output();
  std::string content = pattern(8 * 100000);
  int fds[] = {connect_to(shown.port), connect_to(port)};
  for (int fd : fds) ASSERT_TRUE(send_all(fd, header(static_cast<uint32_t>(content.size()))));
  for (int piece = 0; piece < 8; ++piece) {
    for (int fd : fds) ASSERT_TRUE(send_all(fd, content.substr(static_cast<size_t>(piece) * 100000, 100000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // paces the sender; decides nothing
  }
  ASSERT_TRUE(shown.receiver.wait_for("Bitte Enter druecken ...")) << shown.receiver.screen_text();
  ASSERT_TRUE(piped.wait_for("Bitte Enter druecken ...")) << piped.output();
  for (int fd : fds) close(fd);

  const std::string& out = shown.receiver.output();
  size_t status = out.find("%");
  ASSERT_NE(status, std::string::npos) << "a status line with a percentage was drawn";
  EXPECT_LT(status, out.find("Datei wurde hier gespeichert:"));
  // What stays on the screen are the program's own lines only.
  EXPECT_EQ(last_lines(shown.receiver, 2, 2),
            (Lines{"Der Sender sendet nun die Datei ...", "Datei wurde hier gespeichert:"}));
  for (const std::string& line : shown.receiver.lines()) EXPECT_EQ(line.find('%'), std::string::npos) << line;
  EXPECT_TRUE(read_file(shown.target) == content);

  EXPECT_TRUE(read_file(dir / "target.bin") == content);
  EXPECT_EQ(piped.output().find('%'), std::string::npos) << piped.output();
  EXPECT_EQ(piped.output().find('\x1b'), std::string::npos) << "no terminal sequences on a pipe";
  piped.signal(SIGTERM);
  piped.wait_exit();
}

// A receiver still waiting for Enter after a transfer takes no bytes: the sender's status
// line says that it waits instead of showing nothing; the transfer completes once the
// receiver goes on.
void sender_waiting_on_a_receiver_that_does_not_read_says_so() {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  ASSERT_TRUE(receiver_ready(receiver));
  int fd = connect_to(run.port);
  ASSERT_TRUE(send_all(fd, header(5) + "first"));
  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ...")) << receiver.screen_text();
  close(fd);

  const std::string source = run.dir / "source.bin", content = pattern(32 * 1024 * 1024);  // more than the sockets hold
  write_file(source, content);
  ChildProcess sender(text_mode(kQuickSender));
  start_sender(sender, source, std::to_string(run.port));
  ASSERT_TRUE(sender.wait_for("Warte auf den Empfaenger ...", 15000)) << sender.screen_text();
  EXPECT_EQ(sender.output().find("Die Datei wurde zum Empfaenger gesendet"), std::string::npos);

  receiver.type("\r");
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...", 20000)) << sender.screen_text();
  EXPECT_EQ(last_lines(sender, 1, 1), Lines{"Die Datei wurde zum Empfaenger gesendet ... (" + source + ")"});
  for (const std::string& line : sender.lines())
    EXPECT_EQ(line.find("Warte"), std::string::npos) << "erased: " << line;
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);
  EXPECT_TRUE(receiver.wait_until([&] { return read_file(run.target) == content; }));
}

// Every wait ends: in a script a send and the receipt's after a minute without progress, look-up
// and connect after 20 s (quick: a twentieth), a display's probe after 2 s; a person's waits counting.
void every_wait_is_bounded_in_a_script_and_shown_to_a_person() {
  TempDir dir;
  write_file(dir / "big.bin", "");
  std::filesystem::resize_file(dir / "big.bin", 64 << 20);  // more than the sockets hold
  const int stall_ms = 60 * 1000 / static_cast<int>(kQuickTimeFactor);
  std::vector<std::pair<std::string, std::function<void()>>> rows;
  Programs p;
  ChildOptions script = text_mode(kQuickSender), piped_receiver = text_mode(kQuickReceiver);
  script.terminal = piped_receiver.terminal = false;
  // A script's send ends after the minute (its last progress may come just before the
  // row); meanwhile the row plays the receiver's part, if it has one.
  auto gives_up = [&](int port, std::function<void(ChildProcess*)> receiving = [](ChildProcess*) {}) {
    ChildProcess* sender = p.start(script, {"-p", std::to_string(port), dir / "big.bin", "127.0.0.1"});
    return [=, started = now_ms()] {
      receiving(sender);
      EXPECT_EQ(sender->wait_exit(), 1) << sender->output();
      EXPECT_NE(sender->output().find("Der Empfaenger hat nicht geantwortet!"), std::string::npos);
      EXPECT_NEAR(static_cast<double>(now_ms() - started), stall_ms + 2000, 2500);
    };
  };
  int silent_port = free_port(), silent = listen_on(silent_port);  // never reads
  rows.emplace_back("silent receiver", gives_up(silent_port));
  int trickle_port = free_port(), trickle = listen_on(trickle_port);
  rows.emplace_back("trickling receiver", gives_up(trickle_port, [trickle](ChildProcess* sender) {
    int conn = accept_within(trickle);  // a byte every 2 s (a twentieth here), for 10 s at most
    for (int i = 0, byte = 0; i < 100 && recv(conn, &byte, 1, 0) == 1 && sender->wait_exit(100) == -1; ++i) {}
    close(conn);
  }));
  int stopped_port = free_port();  // stopped (Ctrl+Z) during the transfer, it stores nothing after
  ChildProcess* stopped = p.start(piped_receiver, {"-p", std::to_string(stopped_port), dir / "stopped.bin"});
  ASSERT_TRUE(receiver_ready(*stopped)) << stopped->output();
  rows.emplace_back("stopped receiver", gives_up(stopped_port, [stopped](ChildProcess* sender) {
    sender->wait_exit();
    stopped->signal(SIGCONT);
    EXPECT_EQ(stopped->wait_exit(), 1) << stopped->output();
  }));
  ASSERT_TRUE(stopped->wait_for("Der Sender sendet nun die Datei ..."));
  stopped->signal(SIGSTOP);
  ReceiverRun busy;  // its user has not yet pressed Enter after a first file: a person waits
  int first = receiver_ready(busy.receiver) ? connect_to(busy.port) : -1;
  ASSERT_TRUE(send_all(first, header(5) + "first") && busy.receiver.wait_for("Bitte Enter druecken ..."));
  ChildProcess* person = p.start(text_mode(kQuickSender), {});
  start_sender(*person, "/etc/hostname", std::to_string(busy.port));
  rows.emplace_back("a person waits for the receiver's Enter", [&, person] {
    std::string waited = " " + std::to_string(stall_ms / 1000 + 1) + " s, Strg+C bricht ab";
    EXPECT_TRUE(person->wait_for("Warte auf die Bestaetigung des Empfaengers ..." + waited));
    busy.receiver.type("\r");
    EXPECT_TRUE(person->wait_for("Die Datei wurde zum Empfaenger gesendet ...")) << person->output();
  });
  ChildProcess* unanswered = p.start(piped_receiver, {"-p", std::to_string(free_port())});
  rows.emplace_back("input ended at the save path", [=] { EXPECT_EQ(unanswered->wait_exit(5000), 1); });
  int crowded_port = free_port();  // as many silent clients as descriptors, then a real sender
  ChildOptions limited = piped_receiver;
  limited.args = {"/bin/sh", "-c", "ulimit -n 64 && exec \"$0\" \"$@\"", kQuickReceiver};
  ChildProcess* crowded = p.start(limited, {"-p", std::to_string(crowded_port), dir / "crowded.bin"});
  ASSERT_TRUE(receiver_ready(*crowded)) << crowded->output();
  std::vector<int> idle;
  for (int i = 0; i < 64; ++i) idle.push_back(connect_to(crowded_port));
  ChildProcess* real = p.start(text_mode(kQuickSender), {});
  start_sender(*real, "/etc/hostname", std::to_string(crowded_port));
  // Served once the receiver has reset silent clients, one idle time or two: on a loaded
  // machine under the sanitizers that can take longer than a plain wait's ten seconds.
  rows.emplace_back("many silent clients", [=] {
    EXPECT_TRUE(real->wait_for("Empfaenger gesendet ...", 90000)) << real->output() << crowded->output();
  });
  int dns = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // a silent name server, 127.0.0.77
  sockaddr_in at = loopback(53);
  at.sin_addr.s_addr = htonl(0x7f00004d);
  write_file(dir / "resolv.conf", "nameserver 127.0.0.77\noptions timeout:5 attempts:2\n");
  if (geteuid() == 0 && !find_program("unshare").empty() &&
      bind(dns, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
    // Programs in a mount namespace of their own, where it is the only one.
    std::vector<std::string> ns = {find_program("unshare"), "-m", "/bin/sh", "-c",
                                   "mount -B \"$0\" /etc/resolv.conf && exec \"$@\"", dir / "resolv.conf"};
    ChildOptions named = text_mode(kQuickSender), displayed = text_mode(kQuickReceiver);
    for (ChildOptions* o : {&named, &displayed}) o->args.insert(o->args.begin(), ns.begin(), ns.end());
    ChildProcess* looking = p.start(named, {"-p", "5", "/etc/hostname", "kv-none.example"});
    rows.emplace_back("silent name servers", [=] {
      EXPECT_TRUE(looking->wait_for("Kann Empfaenger nicht finden", 20 * 1000 / kQuickTimeFactor + 4000));
      EXPECT_NE(looking->output().find("versuche weiter ... 0 s von 1 s"), std::string::npos);
    });
    displayed.env["KV_DIALOGS"] = std::nullopt;
    displayed.env["DISPLAY"] = "kv-none.example:0";
    rows.emplace_back("a display on a host name", [asking = p.start(displayed, {})] {
      EXPECT_TRUE(asking->wait_for("Pfad: ", 2000 + 2500)) << asking->output();
    });
  }
  std::vector<std::future<void>> checks;
  for (auto& row : rows)
    checks.push_back(std::async(std::launch::async, [&row] { SCOPED_TRACE(row.first); row.second(); }));
  for (auto& check : checks) check.get();
  for (int fd : idle) close(fd);
  for (int fd : {silent, trickle, dns, first}) close(fd);
}

// A file written in place (its folder is not writable) from a temporary file: whatever ends
// it, the file is old, new and whole, or shorter than the new one, never its old size with
// new bytes; held endings wait for the copy and the orderly close. TMPDIR falls back, or is named full.
void an_ending_during_a_copy_in_place_leaves_the_file_old_new_or_shorter() {
  if (geteuid() != 0) return;  // needs root, to receive as nobody
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  mkdir((dir / "locked").c_str(), 0755);
  mkdir((dir / "small").c_str(), 0777);
  const std::string old_content(24 << 20, 'o'), content = pattern(28 << 20),
                    urgent = pattern(1 << 19) + "U" + pattern(1 << 19, 2);
  write_file(dir / "source.bin", content);
  bool small = mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m,mode=1777") == 0;
  // ending: a signal once the copy began; 0: a raw peer.
  struct Case { int ending; std::string tmpdir, says; } cases[] = {
      {SIGHUP, "", ""}, {SIGTERM, "", ""}, {SIGINT, "", ""}, {SIGKILL, "", ""},
      {0, dir / "missing", "Der Sender hat die Uebertragung abgebrochen!"},
      {0, dir / "missing", "Der Sender sendet seit 3 Sekunden nichts mehr!"},
      {0, dir / "missing", "Datei wurde hier gespeichert:"},  // an urgent byte amid the content
      {0, small ? dir / "small" : "", "Kein Platz mehr auf dem Datentraeger der Zwischendatei (TMPDIR)!"}};
  // The rows are independent (each its own file and port) and mostly wait: side by side.
  auto row = [&](const Case& c, const std::string& target, int port) {
    SCOPED_TRACE(c.ending ? strsignal(c.ending) : c.says);
    if (!c.ending && c.tmpdir.empty()) return;
    write_file(target, old_content);
    chmod(target.c_str(), 0666);
    int fd = -1;
    ChildOptions options = text_mode(kQuickReceiver);
    options.terminal = false, options.user = 65534;
    options.env["TMPDIR"] = c.tmpdir.empty() ? std::optional<std::string>() : c.tmpdir;
    options.args.insert(options.args.end(), {"-p", std::to_string(port), target});
    Programs p;
    ChildProcess& receiver = *p.start(options);
    ASSERT_TRUE(receiver_ready(receiver)) << receiver.output();
    if (!c.ending) {
      linger hard{1, 0};
      bool stored = c.says == "Datei wurde hier gespeichert:",
           aborts = c.says.find("abgebrochen") != std::string::npos;
      fd = connect_to(port);
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      if (stored) {  // at the mark, with the sending side ended, a splice takes nothing
        send_all(fd, header((1 << 20) + 1) + urgent.substr(0, 1 << 19));
        send(fd, "U", 1, MSG_OOB), send_all(fd, urgent.substr((1 << 19) + 1)), shutdown(fd, SHUT_WR);
      } else {
        send_all(fd, header(4 << 20) + pattern(3 << 20));  // a full disk for the temporary file stops it early
      }
      if (aborts) close(fd);
      EXPECT_TRUE(receiver.wait_for(c.says)) << receiver.output();
      EXPECT_EQ(receiver.wait_exit(), stored ? 0 : 1);
      EXPECT_TRUE(read_file(target) == (stored ? urgent : old_content));
      if (!aborts) close(fd);
      return;
    }
    ChildProcess& sender = *p.script(kQuickSender, {"-p", std::to_string(port), dir / "source.bin", "127.0.0.1"});
    int watch = open(target.c_str(), O_RDONLY);
    char first = 'o';  // the copy has begun once the file is shorter or its first byte new
    wait_until([&] {
      (void)!pread(watch, &first, 1, 0);
      return first != 'o' || lseek(watch, 0, SEEK_END) != off_t(old_content.size());
    }, 30000, 0);
    receiver.signal(c.ending);
    close(watch);
    int sent = sender.wait_exit(), received = receiver.wait_exit();
    std::string now = read_file(target);
    bool shorter = now.size() < content.size() && content.compare(0, now.size(), now) == 0;
    EXPECT_TRUE(now == content || (c.ending == SIGKILL && shorter && sent == 1)) << now.size();
    EXPECT_TRUE(now != content || sent == 0 || c.ending == SIGKILL) << sender.output();
    EXPECT_TRUE(c.ending != SIGHUP || received == (now == content ? 0 : 1)) << received;
  };
  std::vector<std::future<void>> rows;
  for (const Case& c : cases)
    rows.push_back(std::async(std::launch::async, row, std::cref(c),
                              dir / ("locked/out" + std::to_string(rows.size())), free_port()));
  for (auto& r : rows) r.get();
  if (small) umount((dir / "small").c_str());
}

// A receiver on a taken port gives up: the ms from its message to its end; -1: neither.
int64_t busy_port_wait(BusyPortRun& busy) {
  if (!busy.refused()) return -1;
  int64_t shown = now_ms();
  return busy.run.receiver.wait_exit(10000) == 0 ? now_ms() - shown : -1;
}

// A sender stopping halfway: the ms from its last byte to the receiver's failure (-1:
// none); the file stays.
int64_t stalled_sender_wait(ReceiverRun& run) {
  if (!receiver_ready(run.receiver)) return -1;
  int fd = connect_to(run.port);
  if (fd < 0 || !send_all(fd, header(1000) + pattern(500))) return -1;
  int64_t last_byte = now_ms();
  bool failed = run.receiver.wait_for("Unbekannter Fehler!", 10000);
  int64_t waited = now_ms() - last_byte;
  close(fd);
  EXPECT_EQ(read_file(run.target), "previous");
  return failed ? waited : -1;
}

// The real sender: ms from the receiver seeing it connect to its first bytes; -1: none.
int64_t sender_pause(ChildProcess& sender, ReceiverRun& run) {
  if (!receiver_ready(run.receiver)) return -1;
  write_file(run.dir / "source.bin", "content");
  start_sender(sender, run.dir / "source.bin", std::to_string(run.port));
  if (!run.receiver.wait_for("Der Sender hat sich verbunden ...")) return -1;
  int64_t connected = now_ms();
  if (!run.receiver.wait_for("Der Sender sendet nun die Datei ...")) return -1;
  int64_t pause = now_ms() - connected;
  bool sent = sender.wait_for("Die Datei wurde zum Empfaenger gesendet ...") &&
              run.receiver.wait_for("Datei wurde hier gespeichert:");
  return sent ? pause : -1;
}

const std::pair<const char*, std::function<void()>> kSlowScenarios[] = {
    {"every wait is bounded in a script and shown to a person", every_wait_is_bounded_in_a_script_and_shown_to_a_person},
    {"an ending during a copy in place leaves the file old, new or shorter",
     an_ending_during_a_copy_in_place_leaves_the_file_old_new_or_shorter},
    {"a sender waiting on a receiver that does not read says so", sender_waiting_on_a_receiver_that_does_not_read_says_so},
    {"a sender without a receiver: refused", [] { sender_without_receiver(false); }},
    {"a sender without a receiver: silent", [] { sender_without_receiver(true); }},
    {"a status line during a slow transfer, on a terminal alone", status_line_during_a_slow_transfer_on_a_terminal_alone},
};

}  // namespace

// The pauses of the real programs, each measured once against the real clock (elsewhere
// the quick builds stand in), side by side: together as long as the longest, the
// receiver's ten s:
// - the receiver serves two transfers; a sender that then leaves without sending ends the
//   serving, and the receiver ends ten seconds after saying so;
// - a second receiver on a taken port gives up three seconds after saying so;
// - a receiver whose sender stops halfway fails three seconds after the last byte;
// - the sender waits a second between connecting and sending;
// - a sender whose receiver took every byte but closes only later says that it waits.
//   Once these are measured, the slow scenarios above run during the rest of the ten
//   seconds.
TEST(Transfer, TheRealProgramsPauseAsLongAsTheyMust) {
  ReceiverRun run("", 0, 80, kReceiverProgram);
  ChildProcess& receiver = run.receiver;
  int port = run.port;
  BusyPortRun busy(kReceiverProgram);
  auto busy_wait = std::async(std::launch::async, busy_port_wait, std::ref(busy));
  TempDir stalled_dir;
  write_file(stalled_dir / "target.bin", "previous");
  ReceiverRun stalled(stalled_dir / "target.bin", 0, 80, kReceiverProgram);
  auto stalled_wait = std::async(std::launch::async, stalled_sender_wait, std::ref(stalled));
  ReceiverRun quick;
  ChildProcess sender(text_mode(kSenderProgram));
  auto sender_wait = std::async(std::launch::async, sender_pause, std::ref(sender), std::ref(quick));
  int late_port = free_port(), late = listen_on(late_port);
  ChildProcess waiting(text_mode(kQuickSender));
  auto waiting_said = std::async(std::launch::async, [&] {
    start_sender(waiting, "/proc/version", std::to_string(late_port));
    int conn = accept_within(late);
    bool said = read_until_close(conn) && waiting.wait_for("Warte auf die Bestaetigung des Empfaengers ...");
    close(conn);
    return said && waiting.wait_for("Die Datei wurde zum Empfaenger gesendet");
  });

  ASSERT_TRUE(receiver_ready(receiver));
  for (int round = 1; round <= 2; ++round) {
    std::string content = pattern(1000 * static_cast<size_t>(round), static_cast<unsigned>(round));
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, header(static_cast<uint32_t>(content.size())) + content));
    std::string stored = "Datei wurde hier gespeichert:";
    ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ...")) << receiver.screen_text();
    receiver.wait_until([&] { return count(receiver.output(), stored) >= static_cast<size_t>(round); });
    EXPECT_EQ(count(receiver.output(), stored), static_cast<size_t>(round));
    close(fd);
    receiver.type("\r");
    EXPECT_TRUE(wait_until([&] { return read_file(run.target) == content; }));
  }
  EXPECT_EQ(receiver.output().find('%'), std::string::npos) << "short transfers show no status line";

  // A sender that connects and leaves without sending ends the serving.
  int fd = connect_to(port);
  ASSERT_GE(fd, 0);
  receiver.wait_until([&] { return count(receiver.output(), "Der Sender hat sich verbunden ...") >= 3; });
  close(fd);
  ASSERT_TRUE(receiver.wait_for("Der Sender hat die Verbindung beendet ...")) << receiver.screen_text();
  receiver.type("\r");
  ASSERT_TRUE(receiver.wait_for("Server: Wait for quit the server."));
  int64_t quit_shown = now_ms();
  EXPECT_LT(connect_to(port), 0) << "a sender is taken during the quit wait";

  EXPECT_THAT(busy_wait.get(), AllOf(Ge(2500), Le(4000))) << "ms from the busy port's message to the end";
  EXPECT_THAT(stalled_wait.get(), AllOf(Ge(2950), Le(4500))) << "ms from the last byte to the failure";
  // Half of the second is enough to tell, however late this test looks.
  EXPECT_GE(sender_wait.get(), 500) << "ms between connecting and sending";
  EXPECT_TRUE(waiting_said.get()) << waiting.screen_text();
  close(late);

  std::vector<std::future<void>> scenarios;
  for (const auto& [name, scenario] : kSlowScenarios)
    scenarios.push_back(std::async(std::launch::async, [name = name, &scenario = scenario] {
      SCOPED_TRACE(name);
      scenario();
    }));
  EXPECT_EQ(receiver.wait_exit(15000), 0);
  EXPECT_THAT(now_ms() - quit_shown, AllOf(Ge(9500), Le(11000))) << "ms from the quit wait's message";
  // The empty line is the echo of the Enter typed.
  EXPECT_EQ(last_lines(receiver, 4), (Lines{"Der Sender hat die Verbindung beendet ...",
                                            "Bitte Enter druecken ...", "", "Server: Wait for quit the server."}));
  for (auto& scenario : scenarios) scenario.get();
}
