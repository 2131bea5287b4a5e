// Closing the terminal (SIGHUP) while the receiver is anywhere in its flow: the server is
// closed, the process ends, and nothing races. The thread-sanitizer build runs these too.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "e2e_support.h"

using namespace e2e;

namespace {

void expect_clean_end(ChildProcess& program, int port) {
  int code = program.wait_exit(10000);
  EXPECT_NE(code, -1) << "the program ended";
  const std::string& out = program.output();
  for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "runtime error", "LeakSanitizer"})
    EXPECT_EQ(out.find(report), std::string::npos) << out;
  int listener = listen_on(port);
  EXPECT_GE(listener, 0) << "the port is free again";
  if (listener >= 0) close(listener);
}

}  // namespace

TEST(Close, HangupWhileServingClosesTheServer) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  int port = run.port;
  ASSERT_TRUE(receiver_ready(receiver));
  int client = connect_to(port);  // a connection the shutdown must close too
  ASSERT_TRUE(receiver.wait_for("Der Sender hat sich verbunden ..."));
  receiver.signal(SIGHUP);
  expect_clean_end(receiver, port);
  char byte;
  EXPECT_EQ(read(client, &byte, 1), 0) << "the receiver's side of the connection was closed";
  close(client);
}

TEST(Close, HangupDuringATransferLeavesTheExistingFile) {
  ReceiverRun run;
  ChildProcess& receiver = run.receiver;
  int port = run.port;
  write_file(run.target, "precious");
  ASSERT_TRUE(receiver_ready(receiver));
  int client = connect_to(port);
  ASSERT_TRUE(send_all(client, header(1 << 20) + pattern(300000)));
  ASSERT_TRUE(receiver.wait_for("Der Sender sendet nun die Datei ..."));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  receiver.signal(SIGHUP);
  expect_clean_end(receiver, port);
  EXPECT_EQ(read_file(run.target), "precious");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(run.dir.path())) files += entry.exists() ? 1 : 0;
  EXPECT_EQ(files, 1u) << "the partial file was removed";
  close(client);
}

TEST(Close, HangupRacingTheProgramsOwnExit) {
  // A busy port makes the receiver run its exit sequence three seconds after the message;
  // the hangup arrives just before, during or just after it.
  for (int offset_ms : {-40, 0, 10, 40}) {
    BusyPortRun busy;
    ASSERT_TRUE(busy.refused());
    std::this_thread::sleep_for(std::chrono::milliseconds(3000 + offset_ms));
    busy.run.receiver.signal(SIGHUP);
    busy.free_port_again();
    expect_clean_end(busy.run.receiver, busy.port);
  }
}
