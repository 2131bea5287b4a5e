// The network library and the save path over loopback, through the runtime's own calls
// only, so the same cases run on every system the programs are built for.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <tuple>

#include "net/net.h"
#include "platform/socket.h"
#include "support/runtime_fixture.h"
#include "support/temp_dir.h"

namespace {

class LoopbackTest : public RuntimeTest {
 protected:
  TempDir dir_;
  NetConnection* client_ = nullptr;
  NetConnection* accepted_ = nullptr;

  void SetUp() override {
    RuntimeTest::SetUp();
    ASSERT_EQ(net_init(), 1);
    ASSERT_NE(net_server_create_tcp(0, 0), 0);
  }
  void TearDown() override {
    if (client_) net_connection_close(client_);
    net_shutdown();
    RuntimeTest::TearDown();
  }

  // Waits up to 5 s for the next event other than none.
  int32_t next_event() {
    for (int i = 0; i < 50; ++i) {
      if (int32_t event = net_server_poll()) return event;
      net_server_wait(100);
    }
    return NET_EVENT_NONE;
  }

  void connect(const char* address) {
    auto* server = static_cast<NetServer*>(registry_find(net_server_registry(), 0));
    uint16_t port = static_cast<uint16_t>((server->address.port >> 8) | (server->address.port << 8));
    client_ = net_connect_tcp(address, port);
    ASSERT_NE(client_, nullptr);
    ASSERT_EQ(next_event(), NET_EVENT_CONNECT);
    accepted_ = net_event_connection();
  }

  // Everything the folder holds besides the names given.
  std::vector<std::string> others(const std::string& keep) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      if (entry.path().filename().string() != keep) found.push_back(entry.path().filename().string());
    return found;
  }
};

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919 + i / 251) & 0xFF);
  return bytes;
}

TEST_F(LoopbackTest, FilesTravelWholeOverBothFamiliesAndReplaceWhatWasThere) {
  // Each row: the address, the size, and whether a file is there to be replaced.
  const std::tuple<const char*, size_t, bool> cases[] = {
      {"127.0.0.1", 0, false},      {"::1", 1, true},
      {"127.0.0.1", 54007, true},   {"::1", 54007, false},
      {"127.0.0.1", 3 << 20, true}, {"[::1]", 3 << 20, false}};
  for (const auto& [address, size, replace] : cases) {
    SCOPED_TRACE(std::string(address) + " " + std::to_string(size));
    std::string source = dir_ / "quelle.bin", target = dir_ / "ziel.bin";
    write_file(source, pattern(size));
    std::filesystem::remove(target);
    if (replace) write_file(target, "alter Inhalt");
    connect(address);
    int32_t sent = 0;
    std::thread sender([&] { sent = net_send_file(client_, source.c_str()); });
    EXPECT_EQ(next_event(), NET_EVENT_FILE);
    EXPECT_EQ(net_receive_file(accepted_, target.c_str()), 1);
    sender.join();
    EXPECT_EQ(sent, 1);
    EXPECT_TRUE(read_file(target) == pattern(size));
    std::filesystem::remove(source);
    EXPECT_TRUE(others("ziel.bin").empty());
    net_connection_close(client_);  // unconfirmed, the sender's close aborts (wine: in order)
    client_ = nullptr;
    net_server_wait(5000);
    int32_t closed = net_server_poll();  // at the first poll that sees it
    EXPECT_TRUE(closed == NET_EVENT_ABORTED || closed == NET_EVENT_DISCONNECT) << closed;
  }
}

// A sender that breaks a transfer off after 10 of 200 bytes: it closes, or it aborts (it
// gave up). The old file stays whole, nothing is left beside it, and the reason is the
// sender's.
TEST_F(LoopbackTest, BrokenOffTransferKeepsTheOldFileWholeAndLeavesNothingBeside) {
  std::string target = dir_ / "ziel.bin";
  for (bool aborts : {false, true}) {
    SCOPED_TRACE(aborts ? "aborted" : "closed");
    write_file(target, "alter Inhalt");
    connect("::1");
    std::string bytes(NET_TRANSFER_MAGIC, sizeof NET_TRANSFER_MAGIC);
    bytes += std::string("\xC8\0\0\0", 4) + pattern(10);
    ASSERT_EQ(sock_send(SockFd{client_->socket}, bytes.data(), bytes.size(), false),
              static_cast<int64_t>(bytes.size()));
    ASSERT_EQ(next_event(), NET_EVENT_FILE);
    if (aborts) sock_set_abort_on_close(SockFd{client_->socket}, true);
    net_connection_close(client_);
    client_ = nullptr;
    EXPECT_EQ(net_receive_file(accepted_, target.c_str()), 0);
    EXPECT_EQ(net_receive_failure(), NET_RECEIVE_BROKEN_OFF);
    EXPECT_EQ(read_file(target), "alter Inhalt");
    EXPECT_TRUE(others("ziel.bin").empty());
    net_connection_close(accepted_);
  }
}

TEST_F(LoopbackTest, SenderRefusesWhatItCannotSendBeforeAnyConnection) {
  EXPECT_EQ(net_check_send_file((dir_ / "fehlt.bin").c_str()), NET_FILE_MISSING);
  EXPECT_EQ(net_check_send_file(dir_.path().c_str()), NET_FILE_NOT_REGULAR);
  write_file(dir_ / "da.bin", "x");
  EXPECT_EQ(net_check_send_file((dir_ / "da.bin").c_str()), NET_FILE_SENDABLE);
}

}  // namespace
