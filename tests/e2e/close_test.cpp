// Ending the receiver anywhere in its flow: closing the terminal (SIGHUP) closes the
// server and ends the process without races; no signal leaves a temporary file. The
// thread-sanitizer build runs these too.
#include <sys/resource.h>

#include "e2e_support.h"

using namespace e2e;

namespace {

// True once the program holds an unnamed temporary file with bytes in it: it is storing.
bool storing(pid_t pid) {
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    struct stat file {};
    if (stat(fd.path().c_str(), &file) == 0 && S_ISREG(file.st_mode) && file.st_nlink == 0 && file.st_size > 0) return true;
  }
  return false;
}

void expect_clean_end(ChildProcess& program, int port) {
  EXPECT_NE(program.wait_exit(10000), -1) << "the program ended";
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
  ASSERT_TRUE(receiver_ready(receiver));
  int client = connect_to(run.port);  // a connection the shutdown must close too
  ASSERT_TRUE(receiver.wait_for("Der Sender hat sich verbunden ..."));
  receiver.signal(SIGHUP);
  expect_clean_end(receiver, run.port);
  EXPECT_EQ(read_until_close(client, 2000), "") << "the receiver's side of the connection was closed";
  close(client);
}

// Whatever ends a receiver amid a large reception leaves the old file alone (one each).
TEST(Close, AnySignalDuringATransferLeavesOnlyTheExistingFile) {
  rlimit no_core{0, 0};  // SIGQUIT would otherwise leave a core file
  setrlimit(RLIMIT_CORE, &no_core);
  const std::vector<int> signals = {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGKILL};
  std::vector<std::unique_ptr<ReceiverRun>> runs;
  std::vector<int> clients;
  for (size_t i = 0; i < signals.size(); ++i) runs.push_back(std::make_unique<ReceiverRun>());
  for (size_t i = 0; i < signals.size(); ++i) {
    write_file(runs[i]->target, "precious");
    ReceiverRun& run = *runs[i];
    ASSERT_TRUE(receiver_ready(run.receiver)) << strsignal(signals[i]);
    clients.push_back(connect_to(run.port));
    ASSERT_TRUE(send_all(clients.back(), header(512u << 20) + pattern(3 << 20)));
    ASSERT_TRUE(run.receiver.wait_for("Der Sender sendet nun die Datei ...")) << strsignal(signals[i]);
  }
  for (auto& run : runs) ASSERT_TRUE(wait_until([&] { return storing(run->receiver.pid()); })) << "the copy began";
  for (size_t i = 0; i < signals.size(); ++i) runs[i]->receiver.signal(signals[i]);
  for (size_t i = 0; i < signals.size(); ++i) {
    SCOPED_TRACE(strsignal(signals[i]));
    ReceiverRun& run = *runs[i];
    expect_clean_end(run.receiver, run.port);
    EXPECT_EQ(read_file(run.target), "precious");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run.dir.path()), {}), 1) << "old file alone";
    close(clients[i]);
  }
}

TEST(Close, HangupRacingTheProgramsOwnExit) {
  // A busy port makes the receiver run its exit sequence three seconds (quick: a
  // fraction) after the message; the hangup comes just before, during or after it. Four
  // receivers side by side, a port each.
  using Clock = std::chrono::steady_clock;
  const std::vector<int> offsets_ms = {-40, 0, 10, 40};
  std::vector<std::unique_ptr<BusyPortRun>> runs;
  for (size_t i = 0; i < offsets_ms.size(); ++i) runs.push_back(std::make_unique<BusyPortRun>());
  // Watched in turns, so each message is seen within a few milliseconds of its coming.
  std::vector<std::optional<Clock::time_point>> signal_at(runs.size());
  auto all_seen = [&] { return std::count(signal_at.begin(), signal_at.end(), std::nullopt) == 0; };
  for (auto end = Clock::now() + std::chrono::seconds(10); Clock::now() < end && !all_seen();) {
    for (size_t i = 0; i < runs.size(); ++i) {
      if (!signal_at[i] && runs[i]->listener >= 0 &&
          runs[i]->run.receiver.wait_for("Server: Can't create the server (port in use ?).", 2))
        signal_at[i] = Clock::now() + std::chrono::milliseconds(3000 / kQuickTimeFactor + offsets_ms[i]);
    }
  }
  for (size_t i = 0; i < runs.size(); ++i) ASSERT_TRUE(signal_at[i]) << "receiver " << i << " refused";
  std::vector<size_t> order = {0, 1, 2, 3};
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return signal_at[a] < signal_at[b]; });
  for (size_t i : order) {
    std::this_thread::sleep_until(*signal_at[i]);
    runs[i]->run.receiver.signal(SIGHUP);
    runs[i]->free_port_again();
  }
  for (auto& busy : runs) expect_clean_end(busy->run.receiver, busy->port);
}
