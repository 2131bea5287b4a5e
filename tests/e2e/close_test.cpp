// Closing the terminal (SIGHUP) while the receiver is anywhere in its flow: the server is
// closed, the process ends, and nothing races. The thread-sanitizer build runs these too.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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
  EXPECT_EQ(read_until_close(client, 2000), "") << "the receiver's side of the connection was closed";
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
  close(client);
}

TEST(Close, HangupRacingTheProgramsOwnExit) {
  // A busy port makes the receiver run its exit sequence three seconds after the message;
  // the hangup arrives just before, during or just after it. The four receivers run side
  // by side, each on a port of its own.
  using Clock = std::chrono::steady_clock;
  const std::vector<int> offsets_ms = {-40, 0, 10, 40};
  std::vector<std::unique_ptr<BusyPortRun>> runs;
  for (size_t i = 0; i < offsets_ms.size(); ++i) runs.push_back(std::make_unique<BusyPortRun>());
  // Watched in turns, so each message is seen within a few milliseconds of its coming.
  std::vector<Clock::time_point> signal_at(runs.size());
  std::vector<bool> seen(runs.size(), false);
  for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end;) {
    bool all = true;
    for (size_t i = 0; i < runs.size(); ++i) {
      if (!seen[i] && runs[i]->listener >= 0 &&
          runs[i]->run.receiver.wait_for("Server: Can't create the server (port in use ?).", 2)) {
        seen[i] = true;
        signal_at[i] = Clock::now() + std::chrono::milliseconds(3000 + offsets_ms[i]);
      }
      all = all && seen[i];
    }
    if (all) break;
  }
  for (size_t i = 0; i < runs.size(); ++i) ASSERT_TRUE(seen[i]) << "receiver " << i << " refused the port";
  std::vector<size_t> order = {0, 1, 2, 3};
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return signal_at[a] < signal_at[b]; });
  for (size_t i : order) {
    std::this_thread::sleep_until(signal_at[i]);
    runs[i]->run.receiver.signal(SIGHUP);
    runs[i]->free_port_again();
  }
  for (auto& busy : runs) expect_clean_end(busy->run.receiver, busy->port);
}
