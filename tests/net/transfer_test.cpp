#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <mutex>
#include <thread>
#include <vector>

#include "net/net.h"
#include "net_test_support.h"

using namespace nettest;

namespace {

struct ProgressLog {
  std::mutex lock;
  std::vector<std::pair<int64_t, int64_t>> calls;
};

void log_progress(int64_t done, int64_t total, void* ctx) {
  auto* log = static_cast<ProgressLog*>(ctx);
  std::lock_guard<std::mutex> hold(log->lock);
  log->calls.emplace_back(done, total);
}

void expect_progress_to(ProgressLog& log, int64_t total) {
  ASSERT_FALSE(log.calls.empty());
  for (size_t i = 0; i < log.calls.size(); ++i) {
    EXPECT_EQ(log.calls[i].second, total);
    EXPECT_GE(log.calls[i].first, i > 0 ? log.calls[i - 1].first : 0);
  }
  EXPECT_EQ(log.calls.back().first, total);
}

void make_sparse(const std::string& path, int64_t size) {
  std::ofstream{path};
  ASSERT_EQ(truncate(path.c_str(), size), 0);  // costs no disk space
}

void set_buffer(int fd, int option, int bytes) { setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes); }

void on_signal(int) {}

class TransferTest : public NetTest {
 protected:
  NetConnection* client = nullptr;    // outgoing, blocking
  NetConnection* accepted = nullptr;  // the server's side, non-blocking

  void SetUp() override {
    NetTest::SetUp();
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
    connect_pair();
  }

  void connect_pair() {
    client = net_connect_tcp("127.0.0.1", port_of(0));
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(next_event(), NET_EVENT_CONNECT);
    accepted = net_event_connection();
  }

  void put(const std::string& bytes) { ASSERT_TRUE(send_all(client->socket, bytes)); }

  // Receives on the accepted connection into the file name, timing the call.
  int32_t receive(const std::string& name, int64_t* took_ms = nullptr) {
    int64_t start = now_ms();
    int32_t r = net_receive_file(accepted, path(name).c_str());
    if (took_ms) *took_ms = now_ms() - start;
    return r;
  }
};

TEST_F(TransferTest, FileTravelsWholeAndThePollSeesItFirst) {
  std::string content = pattern(5 * 1024 * 1024 + 17);
  write_file(path("src"), content);
  int32_t sent = -1;
  std::thread sender([&] { sent = net_send_file(client, path("src").c_str()); });
  ASSERT_EQ(next_event(), NET_EVENT_FILE);
  ASSERT_EQ(net_event_connection(), accepted);
  ProgressLog log;
  net_set_progress(log_progress, &log);
  EXPECT_EQ(receive("out"), 1);
  sender.join();
  EXPECT_EQ(sent, 1);
  EXPECT_TRUE(read_file(path("out")) == content);
  expect_progress_to(log, static_cast<int64_t>(content.size()));
  EXPECT_TRUE(no_temporary_files());
}

TEST_F(TransferTest, EmptyFileIsAHeaderAloneAndIsTakenAtOnce) {
  write_file(path("src"), "");
  write_file(path("out"), "old");
  ASSERT_EQ(net_send_file(client, path("src").c_str()), 1);
  ASSERT_TRUE(wait_bytes(accepted->socket, 12));
  EXPECT_EQ(bytes_waiting(accepted->socket), 12);
  int64_t took = 0;
  EXPECT_EQ(receive("out", &took), 1);
  EXPECT_LT(took, static_cast<int64_t>(NET_RECEIVE_IDLE_MS));  // no idle wait for 0 bytes
  EXPECT_EQ(read_file(path("out")), "");
}

TEST_F(TransferTest, ReceptionTakesTheAnnouncedBytesOnlyAndIgnoresTheMagic) {
  put(header(5, "ABCDEFGH") + "hello" + "EXTRA");
  ASSERT_TRUE(wait_bytes(accepted->socket, 22));
  EXPECT_EQ(receive("out"), 1);
  EXPECT_EQ(read_file(path("out")), "hello");
  EXPECT_EQ(bytes_waiting(accepted->socket), 5);  // left for whoever reads next
  EXPECT_EQ(net_server_poll(), NET_EVENT_DATA);
}

TEST_F(TransferTest, NegativeSizeFailsAndLeavesTheOldFile) {
  write_file(path("out"), "keep me");
  put(header(0x80000000u) + "abc");
  EXPECT_EQ(receive("out"), 0);
  EXPECT_EQ(read_file(path("out")), "keep me");
  EXPECT_TRUE(no_temporary_files());
}

TEST_F(TransferTest, SenderStallingHalfwayFailsAfterTheIdleTimeAndDestroysNothing) {
  write_file(path("out"), "previous");
  put(header(1000) + std::string(500, 'h'));
  int64_t took = 0;
  EXPECT_EQ(receive("out", &took), 0);
  EXPECT_GE(took, static_cast<int64_t>(NET_RECEIVE_IDLE_MS));
  EXPECT_LT(took, static_cast<int64_t>(NET_RECEIVE_IDLE_MS) + 2000);
  EXPECT_EQ(read_file(path("out")), "previous");
  EXPECT_TRUE(no_temporary_files());
}

TEST_F(TransferTest, SteadyTrickleKeepsTheReceptionAliveBeyondTheIdleTime) {
  std::thread trickle([&] {
    put(header(9));
    for (char c : std::string("trickling")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(450));
      put(std::string(1, c));
    }
  });
  int64_t took = 0;
  EXPECT_EQ(receive("out", &took), 1);
  trickle.join();
  EXPECT_GT(took, static_cast<int64_t>(NET_RECEIVE_IDLE_MS));
  EXPECT_EQ(read_file(path("out")), "trickling");
}

TEST_F(TransferTest, HeaderArrivingInPiecesIsTakenWhole) {
  std::string h = header(4);
  std::thread pieces([&] {
    put(h.substr(0, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    put(h.substr(5, 4));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    put(h.substr(9) + "abcd");
  });
  ASSERT_TRUE(wait_bytes(accepted->socket, 5));
  EXPECT_EQ(receive("out"), 1);
  pieces.join();
  EXPECT_EQ(read_file(path("out")), "abcd");
}

TEST_F(TransferTest, ShortHeaderFailsAfterTheIdleTimeOrAtOnceOnClose) {
  write_file(path("out"), "kept");
  put(header(4).substr(0, 6));
  int64_t took = 0;
  EXPECT_EQ(receive("out", &took), 0);
  EXPECT_GE(took, static_cast<int64_t>(NET_RECEIVE_IDLE_MS));
  put("ab");
  net_connection_close(client);
  EXPECT_EQ(receive("out", &took), 0);
  EXPECT_LT(took, static_cast<int64_t>(NET_RECEIVE_IDLE_MS));
  EXPECT_EQ(read_file(path("out")), "kept");
  EXPECT_TRUE(no_temporary_files());
}

TEST_F(TransferTest, UdpConnectionsAndBadPathsFailWithoutTouchingAnything) {
  write_file(path("src"), "abc");
  NetConnection* udp = net_connect("127.0.0.1", port_of(0), NET_KIND_UDP);
  ASSERT_NE(udp, nullptr);
  EXPECT_EQ(net_send_file(udp, path("src").c_str()), 0);
  EXPECT_EQ(net_receive_file(udp, path("out").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(path("out")));
  net_connection_close(udp);

  EXPECT_EQ(net_send_file(client, path("missing").c_str()), 0);
  EXPECT_EQ(net_send_file(client, dir.c_str()), 0);  // a folder is not a file
  EXPECT_EQ(net_send_file(client, nullptr), 0);
  EXPECT_EQ(bytes_waiting(accepted->socket), 0);  // nothing was sent

  put(header(1) + "z");
  ASSERT_TRUE(wait_bytes(accepted->socket, 13));
  EXPECT_EQ(net_receive_file(accepted, ""), 0);
  EXPECT_EQ(net_receive_file(accepted, nullptr), 0);
  EXPECT_EQ(receive("no/such/folder/out"), 0);
  EXPECT_EQ(bytes_waiting(accepted->socket), 13);  // a reception that cannot start takes nothing
}

TEST_F(TransferTest, SuccessReplacesTheFileWithTheUmaskModeAndFollowsALink) {
  write_file(path("real"), "an older and longer content");
  chmod(path("real").c_str(), 0600);
  std::filesystem::create_symlink(path("real"), path("link"));
  mode_t old_mask = umask(027);
  put(header(3) + "new");
  int32_t r = receive("link");
  umask(old_mask);
  EXPECT_EQ(r, 1);
  EXPECT_TRUE(std::filesystem::is_symlink(path("link")));
  EXPECT_EQ(read_file(path("real")), "new");
  struct stat st {};
  ASSERT_EQ(stat(path("real").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_TRUE(no_temporary_files());
}

// Signals that interrupt a blocked send make it return short; every byte must still go.
TEST_F(TransferTest, ShortSendsAreContinuedUntilEveryByteIsOnTheWire) {
  struct sigaction sa {}, old{};
  sa.sa_handler = on_signal;  // no SA_RESTART: an interrupted send returns what it sent
  sigaction(SIGUSR1, &sa, &old);
  set_buffer(client->socket, SO_SNDBUF, 16 * 1024);
  std::string content = pattern(4 * 1024 * 1024 + 3);
  write_file(path("src"), content);
  ProgressLog log;
  net_set_progress(log_progress, &log);
  std::atomic<bool> done{false}, started{false};
  int32_t sent = -1;
  pthread_t sender_id{};
  std::thread sender([&] {
    sender_id = pthread_self();
    started = true;
    sent = net_send_file(client, path("src").c_str());
    done = true;
  });
  while (!started) std::this_thread::yield();
  std::string wire;
  char buf[16384];
  for (int64_t end = now_ms() + 20000; !(done && bytes_waiting(accepted->socket) <= 0) && now_ms() < end;) {
    if (!done) pthread_kill(sender_id, SIGUSR1);
    if (!wait_readable(accepted->socket, 5)) continue;
    ssize_t n = recv(accepted->socket, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) wire.append(buf, static_cast<size_t>(n));
  }
  if (!done) shutdown(accepted->socket, SHUT_RDWR);  // a hung sender is released, and fails
  sender.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(sent, 1);
  EXPECT_TRUE(wire == header(static_cast<uint32_t>(content.size())) + content) << wire.size();
  expect_progress_to(log, static_cast<int64_t>(content.size()));
  EXPECT_GT(log.calls.size(), 5u);  // more steps than 1 MiB pieces: sends did come back short
}

TEST_F(TransferTest, NonBlockingConnectionSendsEverythingToASlowReader) {
  set_buffer(accepted->socket, SO_SNDBUF, 16 * 1024);
  std::string content = pattern(1024 * 1024 + 1);
  write_file(path("src"), content);
  std::atomic<bool> done{false};
  int32_t sent = -1;
  std::thread sender([&] {
    sent = net_send_file(accepted, path("src").c_str());  // the accepted socket does not block
    done = true;
  });
  std::string wire;
  char buf[16384];
  for (int64_t end = now_ms() + 20000; wire.size() < content.size() + 12 && now_ms() < end;) {
    if (!wait_readable(client->socket, 20)) continue;
    ssize_t n = recv(client->socket, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) wire.append(buf, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  if (!done) shutdown(client->socket, SHUT_RDWR);
  sender.join();
  EXPECT_EQ(sent, 1);
  EXPECT_TRUE(wire == header(static_cast<uint32_t>(content.size())) + content) << wire.size();
}

TEST_F(TransferTest, ReaderGoingAwayMidwayIsAFailureNotADeadProcess) {
  set_buffer(client->socket, SO_SNDBUF, 4096);
  write_file(path("src"), pattern(8 * 1024 * 1024));
  int32_t sent = -1;
  std::thread sender([&] { sent = net_send_file(client, path("src").c_str()); });
  char buf[4096];
  ASSERT_TRUE(wait_readable(accepted->socket));
  ASSERT_GT(recv(accepted->socket, buf, sizeof buf, 0), 0);
  net_connection_close(accepted);
  sender.join();
  EXPECT_EQ(sent, 0);
}

TEST_F(TransferTest, FilesOf2GiBOrMoreAreRefusedBeforeAnyByteIsSent) {
  // 2^32 + 10 would announce 10 bytes if the size were cut to 32 bits.
  for (int64_t size : {int64_t{1} << 31, (int64_t{1} << 32) + 10}) {
    make_sparse(path("big"), size);
    EXPECT_EQ(net_send_file(client, path("big").c_str()), 0) << size;
  }
  net_connection_close(client);
  EXPECT_EQ(read_until_close(accepted->socket, 2000), "");
}

TEST_F(TransferTest, FileShrinkingDuringTheSendFails) {
  set_buffer(client->socket, SO_SNDBUF, 16 * 1024);
  make_sparse(path("src"), 64 << 20);
  std::atomic<bool> done{false};
  int32_t sent = -1;
  std::thread sender([&] {
    sent = net_send_file(client, path("src").c_str());
    done = true;
  });
  std::string first;
  char buf[65536];
  for (int64_t end = now_ms() + 10000; first.size() < (2u << 20) && now_ms() < end;) {
    if (!wait_readable(accepted->socket, 20)) continue;
    ssize_t n = recv(accepted->socket, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) first.append(buf, static_cast<size_t>(n));
  }
  ASSERT_EQ(truncate(path("src").c_str(), 1 << 20), 0);
  std::string rest = drain(accepted->socket, done);
  sender.join();
  EXPECT_EQ(sent, 0);
  EXPECT_LT(first.size() + rest.size(), (64u << 20) + 12);
}

// A disk that is full or fails: the file size limit makes writes fail part way. Both ways
// of writing are covered: from a non-blocking connection and from a blocking one.
TEST_F(TransferTest, FailingWritesMakeTheReceptionFailAndKeepTheOldFile) {
  write_file(path("out"), "the file that was there");
  write_file(path("src"), pattern(200 * 1024));
  for (bool on_accepted : {true, false}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{64 * 1024, 64 * 1024};
      setrlimit(RLIMIT_FSIZE, &limit);
      int64_t start = now_ms();
      int32_t r = net_receive_file(on_accepted ? accepted : client, path("out").c_str());
      // Failing at once, not after the idle time: the write error itself ended it.
      _exit(r == 0 && now_ms() - start < static_cast<int64_t>(NET_RECEIVE_IDLE_MS) ? 0 : 1);
    }
    net_send_file(on_accepted ? client : accepted, path("src").c_str());  // fails when the child stops
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << (on_accepted ? "non-blocking" : "blocking");
    EXPECT_EQ(read_file(path("out")), "the file that was there");
    EXPECT_TRUE(no_temporary_files());
    net_connection_close(client);  // the child took part of the transfer: start afresh
    connect_pair();
  }
}

TEST_F(TransferTest, ReceptionOnABlockingConnectionWorksAndKeepsTheIdleRule) {
  std::string content = pattern(300 * 1000 + 7);
  ASSERT_TRUE(send_all(accepted->socket, header(static_cast<uint32_t>(content.size()))));
  std::thread sender([&] { send_all(accepted->socket, content); });
  EXPECT_EQ(net_receive_file(client, path("out").c_str()), 1);
  sender.join();
  EXPECT_TRUE(read_file(path("out")) == content);

  ASSERT_TRUE(send_all(accepted->socket, header(10) + "12345"));
  int64_t start = now_ms();
  EXPECT_EQ(net_receive_file(client, path("out").c_str()), 0);
  EXPECT_GE(now_ms() - start, static_cast<int64_t>(NET_RECEIVE_IDLE_MS));
}

// The close event ends the process from its own thread in the middle of a reception: the
// partial file goes, the file at the path stays, and the reception, if it still runs,
// fails. Then the main flow's own shutdown.
TEST_F(TransferTest, ShutdownByTheCloseEventRemovesAReceptionsPartialFile) {
  write_file(path("out"), "untouched");
  put(header(1000) + "0123456789");
  int32_t received = -1;
  std::thread receiver([&] { received = receive("out"); });
  for (int i = 0; i < 200 && no_temporary_files(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(no_temporary_files());
  net_transfer_remove_partial_file();
  EXPECT_TRUE(no_temporary_files());
  put(std::string(990, 'x'));  // the reception completes, but its file is gone
  receiver.join();
  EXPECT_EQ(received, 0);
  EXPECT_EQ(read_file(path("out")), "untouched");
  EXPECT_TRUE(no_temporary_files());
  net_shutdown();
  net_connection_close(accepted);  // went with the shutdown: ignored
  EXPECT_EQ(net_receive_file(accepted, path("out").c_str()), 0);
  EXPECT_EQ(net_send_file(client, path("out").c_str()), 0);
}

}  // namespace
