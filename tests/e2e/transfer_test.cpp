// Both programs against each other and against raw socket peers, as a user sees them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace e2e;

TEST(Transfer, SenderToReceiverArrivesByteIdentical) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  TempDir& dir = run.dir;
  int port = run.port;
  std::string content = pattern(3 * 1024 * 1024 + 17);
  write_file(dir / "source.bin", content);
  ASSERT_TRUE(receiver_ready(receiver)) << receiver.screen_text();

  ChildProcess sender(text_mode(kSenderProgram));
  start_sender(sender, dir / "source.bin", std::to_string(port));
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  std::vector<std::string> expected_sender = {
      "Sender v1.0.0",
      "+++++++++++++++++++++++++++++++++++++",
      "Gestartet ...",
      "Datei: " + (dir / "source.bin"),
      "Port:" + std::to_string(port),
      "IP:127.0.0.1",
      "+++++++++++++++++++++++++++++++++++++",
      "Suche nach Empfänger ...",
      "Verbunden zum Empfaenger ...",
      "Die Datei wurde zum Empfaenger gesendet ... (" + (dir / "source.bin") + ")",
      "Bitte Enter druecken ...",
  };
  EXPECT_EQ(sender.lines(), expected_sender);
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);

  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ..."));
  std::vector<std::string> expected_receiver = {
      "Empfaenger v2.0.0",
      "+++++++++++++++++++++++++++++++++++++",
      "Gestartet ...",
      "Speicherort: " + (run.target),
      "Port:" + std::to_string(port),
      "+++++++++++++++++++++++++++++++++++++",
      "Server: Server created (Port " + std::to_string(port) + ").",
      "Server: Wait for Connection ...",
      "Der Sender hat sich verbunden ...",
      "Der Sender sendet nun die Datei ...",
      "Datei wurde hier gespeichert:",
      run.target,
      "Bitte Enter druecken ...",
  };
  EXPECT_EQ(receiver.lines(), expected_receiver);
  EXPECT_TRUE(read_file(run.target) == content);

  // The receiver serves on after a transfer and does not end by itself.
  receiver.type("\r");
  EXPECT_EQ(receiver.wait_exit(1500), -1);
}

TEST(Transfer, TwoTransfersThenDisconnectEndTheReceiver) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  int port = run.port;
  ASSERT_TRUE(receiver_ready(receiver));

  for (int round = 1; round <= 2; ++round) {
    std::string content = pattern(1000 * static_cast<size_t>(round), static_cast<unsigned>(round));
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, header(static_cast<uint32_t>(content.size())) + content));
    std::string stored = "Datei wurde hier gespeichert:";
    ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ...")) << receiver.screen_text();
    for (int i = 0; i < 100 && count(receiver.output(), stored) < static_cast<size_t>(round); ++i)
      receiver.wait_for("\x01", 20);
    EXPECT_EQ(count(receiver.output(), stored), static_cast<size_t>(round));
    close(fd);
    receiver.type("\r");
    for (int i = 0; i < 50 && read_file(run.target) != content; ++i) usleep(20000);
    EXPECT_TRUE(read_file(run.target) == content);
  }

  EXPECT_EQ(receiver.output().find('%'), std::string::npos) << "short transfers show no status line";

  // A sender that connects and leaves without sending ends the serving.
  int fd = connect_to(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(receiver.wait_for("Der Sender hat sich verbunden ..."));
  close(fd);
  ASSERT_TRUE(receiver.wait_for("Der Sender hat die Verbindung beendet ...")) << receiver.screen_text();
  receiver.type("\r");
  ASSERT_TRUE(receiver.wait_for("Server: Wait for quit the server."));
  EXPECT_EQ(receiver.wait_exit(15000), 0);
  std::vector<std::string> lines = receiver.lines();
  std::vector<std::string> tail(lines.end() - 4, lines.end());
  // The empty line is the echo of the Enter typed.
  EXPECT_EQ(tail, (std::vector<std::string>{"Der Sender hat die Verbindung beendet ...",
                                            "Bitte Enter druecken ...", "",
                                            "Server: Wait for quit the server."}));
}

TEST(Transfer, FailedTransferLeavesTheExistingFileAndServesOn) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  TempDir& dir = run.dir;
  int port = run.port;
  write_file(run.target, "precious");
  ASSERT_TRUE(receiver_ready(receiver));

  int fd = connect_to(port);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, header(100000) + pattern(5000)));
  close(fd);  // fewer bytes than announced, then the end
  ASSERT_TRUE(receiver.wait_for("Unbekannter Fehler!")) << receiver.screen_text();
  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ..."));
  EXPECT_EQ(receiver.output().find("Datei wurde hier gespeichert:"), std::string::npos);
  EXPECT_EQ(read_file(run.target), "precious");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1) << "no leftovers";

  receiver.type("\r");
  EXPECT_EQ(receiver.wait_exit(1500), -1) << "a failed transfer does not end the receiver";
}

TEST(Transfer, LongSavePathIsCutOnScreenButUsedWhole) {
  TempDir dir;
  std::string folder = dir / std::string(60, 'd');
  std::filesystem::create_directory(folder);
  std::string target = folder + "/" + std::string(40, 'f') + ".bin";
  int port = free_port();
  ChildProcess receiver(text_mode(kReceiverProgram, 50));
  start_receiver(receiver, target, std::to_string(port));
  ASSERT_TRUE(receiver_ready(receiver));

  std::string content = pattern(4096);
  int fd = connect_to(port);
  ASSERT_TRUE(send_all(fd, header(4096) + content));
  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ...")) << receiver.screen_text();
  close(fd);
  EXPECT_TRUE(read_file(target) == content);
  for (const std::string& line : receiver.lines()) EXPECT_LE(line.size(), 50u) << line;
  EXPECT_TRUE(receiver.wait_for(("Speicherort: " + target).substr(0, 50)));
  EXPECT_TRUE(receiver.wait_for(target.substr(0, 50) + "\n"));
}

TEST(Transfer, CancelledOpenDialogReportsTheFailure) {
  int port = free_port();
  int listener = listen_on(port);
  ASSERT_GE(listener, 0);
  ChildProcess sender(text_mode(kSenderProgram));
  start_sender(sender, "", std::to_string(port));
  int conn = accept(listener, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  std::vector<std::string> lines = sender.lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[3], "Datei:");  // nothing behind "Datei: " (the screen model drops blanks)
  EXPECT_EQ(lines[lines.size() - 2], "Fehler: Die Datei konnte nicht gesendet werden!");
  EXPECT_EQ(sender.output().find("Die Datei wurde zum Empfaenger gesendet"), std::string::npos);
  // Nothing went on the wire, and the connection is closed before the final Enter.
  EXPECT_EQ(read_until_close(conn, 5000), "");
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);
  close(conn);
  close(listener);
}

TEST(Transfer, SenderWithoutReceiver) {
  int port = free_port();
  ChildProcess sender(text_mode(kSenderProgram));
  start_sender(sender, "/etc/hostname", std::to_string(port));
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...")) << sender.screen_text();
  std::vector<std::string> lines = sender.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Kann Empfaenger nicht finden (Ist er bereit?|Ist der Port frei?)");
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);
}

TEST(Transfer, ProgressLineShowsDuringASlowTransferAndIsErasedAfter) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  int port = run.port;
  ASSERT_TRUE(receiver_ready(receiver));

  // Ten pieces over about 1.5 s: well past the half second before the line appears.
  std::string content = pattern(10 * 100000);
  int fd = connect_to(port);
  ASSERT_TRUE(send_all(fd, header(static_cast<uint32_t>(content.size()))));
  for (int piece = 0; piece < 10; ++piece) {
    ASSERT_TRUE(send_all(fd, content.substr(static_cast<size_t>(piece) * 100000, 100000)));
    receiver.wait_for("\x01", 150);
  }
  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ..."));
  close(fd);

  const std::string& out = receiver.output();
  size_t status = out.find("%");
  ASSERT_NE(status, std::string::npos) << "a status line with a percentage was drawn";
  EXPECT_LT(status, out.find("Datei wurde hier gespeichert:"));
  // What stays on the screen are the program's own lines only.
  std::vector<std::string> lines = receiver.lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 4], "Der Sender sendet nun die Datei ...");
  EXPECT_EQ(lines[lines.size() - 3], "Datei wurde hier gespeichert:");
  for (const std::string& line : lines) EXPECT_EQ(line.find('%'), std::string::npos) << line;
  EXPECT_TRUE(read_file(run.target) == content);
}

// A receiver still waiting for Enter after a transfer takes no bytes: the sender's status
// line says that it waits instead of showing nothing, and the transfer completes once the
// receiver goes on.
TEST(Transfer, SenderWaitingOnAReceiverThatDoesNotReadSaysSo) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  ASSERT_TRUE(receiver_ready(receiver));
  int fd = connect_to(run.port);
  ASSERT_TRUE(send_all(fd, header(5) + "first"));
  ASSERT_TRUE(receiver.wait_for("Bitte Enter druecken ...")) << receiver.screen_text();
  close(fd);

  std::string content = pattern(32 * 1024 * 1024);  // more than the sockets hold
  write_file(run.dir / "source.bin", content);
  ChildProcess sender(text_mode(kSenderProgram));
  start_sender(sender, run.dir / "source.bin", std::to_string(run.port));
  ASSERT_TRUE(sender.wait_for("Warte auf den Empfaenger ...", 15000)) << sender.screen_text();
  EXPECT_EQ(sender.output().find("Die Datei wurde zum Empfaenger gesendet"), std::string::npos);

  receiver.type("\r");
  ASSERT_TRUE(sender.wait_for("Bitte Enter druecken ...", 20000)) << sender.screen_text();
  std::vector<std::string> lines = sender.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Die Datei wurde zum Empfaenger gesendet ... (" + (run.dir / "source.bin") + ")");
  for (const std::string& line : lines) EXPECT_EQ(line.find("Warte"), std::string::npos) << "erased: " << line;
  sender.type("\r");
  EXPECT_EQ(sender.wait_exit(), 0);
  for (int i = 0; i < 200 && count(receiver.output(), "Datei wurde hier gespeichert:") < 2; ++i)
    receiver.wait_for("\x01", 50);
  EXPECT_TRUE(read_file(run.target) == content);
}
