#include <pthread.h>
#include <signal.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/xattr.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <mutex>

#include "core/scope_exit.h"
#include "core/timing.h"
#include "net_test_support.h"
#include "platform/signals.h"
#include "platform/linux/test_helper.h"

using namespace nettest;

// Stands in for the system's flush of a file's content, so a test can make it fail (as a
// failing disk does) and see what a replacement did before it.
std::atomic<bool> g_flush_fails{false};
extern "C" int fdatasync(int fd) {
  if (!g_flush_fails) return static_cast<int>(syscall(SYS_fdatasync, fd));
  errno = EIO;
  return -1;
}

namespace {

struct ProgressLog {
  std::mutex lock;
  std::vector<std::pair<int64_t, int64_t>> calls;  // done and total, in the order of the calls
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

// net_send_file on a thread of its own, then after if given.
struct Sending {
  Sending(NetConnection* on, const std::string& file, const std::function<void()>& after = {})
      : thread([this, on, file, after] {
          sent = net_send_file(on, file.c_str());
          if (after) after();
          done = true;
        }) {}
  int32_t result() { return thread.join(), sent; }
  std::atomic<bool> done{false};
  int32_t sent = -1;
  std::thread thread;
};

void make_sparse(const std::string& path, int64_t size) {
  std::ofstream{path};
  ASSERT_EQ(truncate(path.c_str(), size), 0);  // costs no disk space
}

void set_buffer(int fd, int option, int bytes) { setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes); }

void on_signal(int) {}

constexpr uid_t kNobody = 65534;

// Runs fn in a child process that became the user nobody; true when fn returned true.
bool as_nobody(const std::function<bool()>& fn) {
  return in_child([&] {
    return setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 && setuid(kNobody) == 0 && fn();
  });
}

// A save path's folder, which the user nobody may enter, and what reads a FIFO or socket.
class SaveTarget {
 public:
  SaveTarget() { chmod(dir_.path().c_str(), 0755); }
  ~SaveTarget() {
    finish_reader();
    chmod(path("locked").c_str(), 0755);  // for the removal
    if (old_protection_ >= 0) std::ofstream(kProtection) << old_protection_;
  }
  std::string path(const std::string& name) const { return dir_ / name; }
  // The type bits of what stands at name, links not followed.
  mode_t kind(const std::string& name) const {
    struct stat st {};
    return lstat(path(name).c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
  }
  bool no_temporary_files() const { return temporary_files(dir_.path()).empty(); }
  std::string holds(const std::string& name) const { return read_file(path(name)); }
  std::vector<std::string> entries(const std::string& name) const { return folder_entries(path(name)); }
  struct stat stat_of(const std::string& name) const {
    struct stat st {};
    EXPECT_EQ(stat(path(name).c_str(), &st), 0) << name;
    return st;
  }
  std::string file(const std::string& name, const std::string& content, mode_t mode = 0) const {
    write_file(path(name), content);
    if (mode) chmod(path(name).c_str(), mode);
    return path(name);
  }
  // Makes the folder name with exactly the mode, and the owner and group given (root only).
  std::string folder(const std::string& name, mode_t mode, uid_t owner = 0, gid_t group = 0) const {
    mkdir(path(name).c_str(), 0);
    EXPECT_EQ(owner || group ? chown(path(name).c_str(), owner, group) : 0, 0);
    chmod(path(name).c_str(), mode);
    return path(name);
  }
  // Writes the file name as the unprivileged user; returns its path.
  std::string plant(const std::string& name, const std::string& content) const {
    EXPECT_TRUE(as_nobody([&] { return write_file(path(name), content), true; }));
    return path(name);
  }
  // A file the process may write but not replace: in a folder it may not change, which
  // for root means the reception runs as nobody, who owns the file. Returns its path.
  std::string in_place(const std::string& content) {
    folder("locked", 0755);
    file("locked/out", content);
    give_to_nobody("locked/out");
    chmod(path("locked").c_str(), 0555);
    receive_as_nobody = geteuid() == 0;
    return path("locked/out");
  }
  std::string give_to_nobody(const std::string& name) const {
    EXPECT_EQ(geteuid() == 0 ? chown(path(name).c_str(), kNobody, kNobody) : 0, 0);
    return path(name);
  }
  // A device node of the memory devices (3: null, 7: full); skipped where none can be made.
  std::string device(const std::string& name, unsigned minor) {
    skip = mknod(path(name).c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0;
    return path(name);
  }
  // Runs the command; where it fails (a tool or file system feature missing), skips.
  void run_or_skip(const std::string& command) { skip = skip || std::system((command + " 2>/dev/null").c_str()) != 0; }
  // Turns the kernel's protection of links in shared folders on until the end, or skips.
  void protect_links() {
    std::ifstream(kProtection) >> old_protection_;
    std::ofstream(kProtection) << 1;
    skip = read_file(kProtection) != "1\n";
  }
  // Makes a FIFO at name, read in a thread until the writer closes it when with_reader is set.
  std::string fifo(const std::string& name, bool with_reader) {
    EXPECT_EQ(mkfifo(path(name).c_str(), 0600), 0);
    int fd = with_reader ? open(path(name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : 0;
    EXPECT_GE(fd, 0);
    if (with_reader) reader_ = std::thread([this, fd] { read_to_end(fd); });
    return path(name);
  }
  // Listens on a local socket at name and reads what the first client sends, in a thread.
  std::string socket_reader(const std::string& name) {
    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path(name).c_str());
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    reader_ = std::thread([this, listener] {
      int fd = accept_within(listener, 5000);
      close(listener);
      if (fd >= 0) read_to_end(fd);
    });
    return path(name);
  }
  std::string finish_reader() {
    if (reader_.joinable()) reader_.join();
    return received_;
  }
  bool receive_as_nobody = false;
  bool skip = false;
  // How the peer ends after the last piece: it keeps the connection, ends its sending in
  // order, aborts the connection, or aborts it once the reception took what came.
  enum { kKeeps, kEndsEarly, kAborts, kAbortsMidway } peer_end = kKeeps;
  std::function<void()> midway;  // run once the receiver took the first piece

 private:
  static constexpr const char* kProtection = "/proc/sys/fs/protected_symlinks";
  // Reads slowly, so a writer has to wait for room, until the other end is closed.
  void read_to_end(int fd) {
    char buf[4096];
    for (int64_t end = now_ms() + 10000; now_ms() < end;) {
      if (!wait_readable(fd, 50)) continue;
      ssize_t n = read(fd, buf, sizeof buf);
      if (n == 0) break;
      if (n > 0) received_.append(buf, static_cast<size_t>(n));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    close(fd);
  }
  TempDir dir_;
  int old_protection_ = -1;
  std::thread reader_;
  std::string received_;
};

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

  void reconnect() {
    net_connection_close(client);
    net_connection_close(accepted);
    connect_pair();
  }

  void put(const std::string& bytes) { ASSERT_TRUE(send_all(client->socket, bytes)); }

  // Receives on the accepted side into the file name, timed on the library's clock (a
  // TestClock's, if any).
  int32_t receive(const std::string& name, int64_t* took_ms = nullptr) {
    uint32_t start = elapsed_ms();
    int32_t r = net_receive_file(accepted, path(name).c_str());
    if (took_ms) *took_ms = static_cast<uint32_t>(elapsed_ms() - start);
    return r;
  }
};

TEST_F(TransferTest, FileTravelsWholeAndThePollSeesItFirst) {
  std::string content = pattern(5 * 1024 * 1024 + 17);
  write_file(path("src"), content);
  Sending sender(client, path("src"));
  ASSERT_EQ(next_event(), NET_EVENT_FILE);
  ASSERT_EQ(net_event_connection(), accepted);
  ProgressLog log;
  net_set_progress(log_progress, &log);
  EXPECT_EQ(receive("out"), 1);
  EXPECT_EQ(sender.result(), 1);
  EXPECT_TRUE(read_file(path("out")) == content);
  expect_progress_to(log, static_cast<int64_t>(content.size()));
  EXPECT_TRUE(no_temporary_files());
}

// A byte sent as urgent data in the middle of the content is content like any other: it
// keeps its place, and reception neither stalls at it nor drops it. Both ways of
// receiving, with the byte urgent and plain: on a non-blocking accepted connection and on
// a blocking outgoing one.
TEST_F(TransferTest, UrgentByteMidContentArrivesInItsPlace) {
  std::string content = pattern(256 * 1024 + 5);
  size_t mark = content.size() / 2;
  for (bool on_accepted : {true, false})
    for (bool urgent : {true, false}) {
      SCOPED_TRACE(std::string(on_accepted ? "non-blocking" : "blocking") + (urgent ? ", urgent" : ", plain"));
      int from = on_accepted ? client->socket : accepted->socket;
      fcntl(from, F_SETFL, fcntl(from, F_GETFL) & ~O_NONBLOCK);  // the test's side writes blocking
      std::thread sender([&] {
        send_all(from, header(static_cast<uint32_t>(content.size())) + content.substr(0, mark));
        send(from, &content[mark], 1, (urgent ? MSG_OOB : 0) | MSG_NOSIGNAL);
        send_all(from, content.substr(mark + 1));
      });
      EXPECT_EQ(net_receive_file(on_accepted ? accepted : client, path("out").c_str()), 1);
      sender.join();
      EXPECT_TRUE(read_file(path("out")) == content);
    }
}

// The sender learns the outcome from the way the receiver closes: in order after storing,
// aborted after a failure, or not at all within the bound (on a clock a hundred times as
// fast). A sender that gives up aborts in turn, and the receiver then stores nothing. A
// receiver that fails once it took every byte (at the flush) leaves none unread that
// would force the reset: it aborts all the same.
TEST_F(TransferTest, TheReceiptIsTheWayTheReceiverCloses) {
  write_file(path("src"), "content");
  // The receipt, the save path (none: the receiver does not answer), whether flush fails.
  using Case = std::tuple<int32_t, const char*, bool>;
  for (const auto& [expected, save_path, flush_fails] :
       {Case{NET_RECEIPT_STORED, "out", false}, Case{NET_RECEIPT_REFUSED, "missing/out", false},
        Case{NET_RECEIPT_REFUSED, "out", true}, Case{NET_RECEIPT_SILENT, nullptr, false}}) {
    SCOPED_TRACE(std::to_string(expected) + (flush_fails ? " at the flush" : ""));
    ASSERT_EQ(net_send_file(client, path("src").c_str()), 1);
    ASSERT_TRUE(wait_bytes(accepted->socket, 19));
    if (save_path) {
      g_flush_fails = flush_fails;
      EXPECT_EQ(receive(save_path), expected);
      g_flush_fails = false;
      net_connection_close(accepted);
    }
    TestClock fast(100);
    uint32_t start = elapsed_ms();
    EXPECT_EQ(net_await_receipt(client), expected);
    uint32_t took = elapsed_ms() - start;
    net_connection_close(client);
    if (expected == NET_RECEIPT_SILENT) {
      EXPECT_GE(took, 60000u) << "a minute for a small file";
      EXPECT_LT(took, 80000u);
      EXPECT_EQ(receive("late"), 0);
      EXPECT_FALSE(std::filesystem::exists(path("late")));
    }
    connect_pair();
  }
}

TEST_F(TransferTest, EmptyFileIsAHeaderAloneAndIsTakenAtOnce) {
  write_file(path("src"), "");
  write_file(path("out"), "old");
  ASSERT_EQ(net_send_file(client, path("src").c_str()), 1);
  ASSERT_TRUE(wait_bytes(accepted->socket, 12));
  EXPECT_EQ(bytes_waiting(accepted->socket), 12);
  int64_t took = 0;
  EXPECT_EQ(receive("out", &took), 1);
  EXPECT_LT(took, 3000);  // no idle wait for 0 bytes
  EXPECT_EQ(read_file(path("out")), "");
}

// On the library's clock run twenty times as fast; the end-to-end tests measure the idle
// time of the real receiver against the real clock. A stall in the content, on either
// kind of connection, or in the header; the rest of a header and then the close fail at
// once (timed at the real pace).
TEST_F(TransferTest, AStalledReceptionFailsAfterTheIdleTimeOrAtOnceOnCloseAndKeepsTheFile) {
  write_file(path("out"), "previous");
  using Row = std::tuple<const char*, std::string, bool, bool>;  // what, wire, blocking, closes
  for (const auto& [what, wire, blocking, closes] :
       {Row{"content", header(1000) + std::string(500, 'h'), false, false},
        Row{"content, blocking", header(10) + "12345", true, false},
        Row{"header", header(4).substr(0, 6), false, false},
        Row{"the rest of a header, then the close", "ab", false, true}}) {
    SCOPED_TRACE(what);
    reconnect();
    ASSERT_TRUE(send_all(blocking ? accepted->socket : client->socket, wire));
    if (closes) net_connection_close(std::exchange(client, nullptr));
    TestClock fast(closes ? 1 : 20);
    uint32_t start = elapsed_ms();
    EXPECT_EQ(net_receive_file(blocking ? client : accepted, path("out").c_str()), 0);
    uint32_t took = elapsed_ms() - start;
    EXPECT_GE(took, closes ? 0u : 3000u);
    EXPECT_LT(took, closes ? 3000u : 3000u + 20 * 1000);
    EXPECT_EQ(read_file(path("out")), "previous");
    EXPECT_TRUE(no_temporary_files());
  }
}

TEST_F(TransferTest, SteadyTrickleKeepsTheReceptionAliveBeyondTheIdleTime) {
  // The clock moves on 450 ms before each byte, 4 s in all, and wraps past zero on the way.
  TestClock clock(0, 0xFFFFFFFFu - 2000);
  std::thread trickle([&] {
    put(header(9));
    for (char c : std::string("trickling")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      clock.advance(450);
      put(std::string(1, c));
    }
  });
  int64_t took = 0;
  EXPECT_EQ(receive("out", &took), 1);
  trickle.join();
  EXPECT_GT(took, 3000);
  EXPECT_EQ(read_file(path("out")), "trickling");
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

// What may stand at the save path, each received through the real reception: what is
// replaced, what is written into, what is refused, and what is kept.
struct SaveCase {
  std::string what;
  bool needs_root;
  int32_t expected;
  // Makes what stands at the path; returns the save path. Sets the target's skip where
  // this machine cannot make it (a container that refuses device nodes, for instance).
  std::function<std::string(SaveTarget&)> prepare;
  std::function<void(SaveTarget&)> check;               // what the path holds afterwards
  std::vector<std::string> wire = {header(3) + "new"};  // sent one piece after the other
};
using Names = std::vector<std::string>;

TEST_F(TransferTest, EverySavePathKindIsReplacedWrittenIntoOrRefusedAsItMust) {
  const std::string content = pattern(300 * 1000);  // more than a pipe holds
  const std::string whole = header(static_cast<uint32_t>(content.size())) + content;
  const bool root = geteuid() == 0;
  const std::string tmpdir = std::filesystem::temp_directory_path().string();
  mode_t mask = 0;  // the process's own, while a row receives under another
  std::vector<SaveCase> cases = {
      {"a regular file keeps its mode, owner and group", false, 1,
       [&](SaveTarget& t) { return t.file("out", "old", 0751), t.give_to_nobody("out"); },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.holds("out"), "new");
         struct stat st = t.stat_of("out");
         EXPECT_EQ(st.st_mode & 07777, 0751u);
         EXPECT_EQ(std::pair(st.st_uid, st.st_gid), root ? std::pair(kNobody, kNobody) : std::pair(getuid(), getgid()));
       }},
      {"a file whose owner cannot be kept is replaced all the same", true, 1,
       [&](SaveTarget& t) {
         t.folder("open", 0777);
         t.receive_as_nobody = true;
         return t.file("open/out", "root's", 0640);
       },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.holds("open/out"), "new");
         struct stat st = t.stat_of("open/out");
         EXPECT_EQ(st.st_mode & 07777, 0640u);
         EXPECT_EQ(st.st_uid, kNobody);
       }},
      {"a FIFO nobody reads fails at once", false, 0, [&](SaveTarget& t) { return t.fifo("out", false); },
       [&](SaveTarget& t) { EXPECT_EQ(t.kind("out"), S_IFIFO); }},
      {"a device that takes everything is written into", true, 1, [&](SaveTarget& t) { return t.device("null", 3); },
       [&](SaveTarget& t) { EXPECT_EQ(t.kind("null"), S_IFCHR); }},
      {"a device that is full fails", true, 0, [&](SaveTarget& t) { return t.device("full", 7); },
       [&](SaveTarget& t) { EXPECT_EQ(t.kind("full"), S_IFCHR); }},
      {"another user's link in a sticky folder is not followed", true, 0,
       [&](SaveTarget& t) {
         t.folder("private", 0700);
         t.file("private/secret", "root only", 0600);
         t.folder("shared", 01777);
         t.protect_links();
         EXPECT_TRUE(as_nobody(
             [&] { return symlink(t.path("private/secret").c_str(), t.path("shared/link").c_str()) == 0; }));
         return t.path("shared/link");
       },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.holds("private/secret"), "root only");
         EXPECT_EQ(t.kind("shared/link"), S_IFLNK);
         EXPECT_EQ(t.entries("shared"), Names{"link"});
         EXPECT_EQ(t.entries("private"), Names{"secret"});
       }},
      {"a writable file in a folder that is not is written in place", false, 1,
       [&](SaveTarget& t) { return t.in_place("an older and longer content"); },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.holds("locked/out"), "new");
         EXPECT_EQ(t.entries("locked"), Names{"out"});
       }},
      {"a file in place stays whole when its transfer breaks off", false, 0,
       [&](SaveTarget& t) { return t.peer_end = SaveTarget::kEndsEarly, t.in_place(content); },
       [&](SaveTarget& t) { EXPECT_TRUE(t.holds("locked/out") == content); }, {header(1000000) + pattern(5000, 9)}},
      {"a sender that aborts after its last byte has nothing stored", false, 0,
       [&](SaveTarget& t) { return t.peer_end = SaveTarget::kAborts, t.file("out", "old"); },
       [&](SaveTarget& t) { EXPECT_EQ(t.holds("out"), "old"); }},
      {"another user's file in a shared sticky folder is refused", true, 0,
       [&](SaveTarget& t) { return t.folder("shared", 01777), t.plant("shared/out", "planted"); },
       [&](SaveTarget& t) { EXPECT_EQ(t.holds("shared/out"), "planted"); }, {header(6) + "secret"}},
      {"a file in a sticky folder only its group may write is refused when another user's", true, 0,
       [&](SaveTarget& t) { return t.folder("group", 01770, 0, kNobody), t.plant("group/out", "planted"); },
       [&](SaveTarget& t) { EXPECT_EQ(t.holds("group/out"), "planted"); }, {header(6) + "secret"}},
      {"a file of the shared sticky folder's owner is replaced", true, 1,
       [&](SaveTarget& t) { return t.folder("shared", 01777, kNobody, kNobody), t.plant("shared/out", "owner's"); },
       [&](SaveTarget& t) { EXPECT_EQ(t.holds("shared/out"), "new"); }},
      {"a file written in place through a named temporary file leaves nothing in TMPDIR", false, 1,
       [&](SaveTarget& t) {
         file_allow_unnamed(false);
         setenv("TMPDIR", t.folder("tmp", 01777).c_str(), 1);
         return t.in_place("old");
       },
       [&](SaveTarget& t) {
         file_allow_unnamed(true);
         setenv("TMPDIR", tmpdir.c_str(), 1);
         EXPECT_EQ(t.holds("locked/out"), "new");
         EXPECT_TRUE(t.entries("tmp").empty());
       }},
      {"a replaced file keeps its access-control list", false, 1,
       [&](SaveTarget& t) { return t.run_or_skip("setfacl -m u:nobody:- " + t.file("out", "old")), t.path("out"); },
       [&](SaveTarget& t) {
         char acl[256];
         EXPECT_GT(getxattr(t.path("out").c_str(), "system.posix_acl_access", acl, sizeof acl), 28)
             << "more than the mode's three entries";
       }},
      {"an append-only folder is written in place and keeps no other name", true, 1,
       [&](SaveTarget& t) {
         t.folder("ao", 0755), t.file("ao/out", "old");
         return t.run_or_skip("chattr +a " + t.path("ao")), t.path("ao/out");
       },
       [&](SaveTarget& t) {
         EXPECT_EQ(std::system(("chattr -a " + t.path("ao")).c_str()), 0);
         EXPECT_EQ(t.holds("ao/out"), "new");
         EXPECT_EQ(t.entries("ao"), Names{"out"});
       }},
      {"a folder moved away during the transfer fails: the path would not lead to the file", false, 0,
       [&](SaveTarget& t) {
         t.midway = [&t] { rename(t.path("here").c_str(), t.path("moved").c_str()); };
         return t.folder("here", 0755) + "/out";
       },
       [&](SaveTarget& t) { EXPECT_TRUE(t.entries("moved").empty()); }, {header(3) + "ne", "w"}},
      {"a folder fails and keeps what it holds", false, 0,
       [&](SaveTarget& t) { return t.folder("out", 0755), t.file("out/inside", "kept"), t.path("out"); },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.kind("out"), S_IFDIR);
         EXPECT_EQ(t.holds("out/inside"), "kept");
         EXPECT_EQ(t.entries("out"), Names{"inside"});
       }},
      {"a folder nobody may create files in (not even root) fails", false, 0,
       [&](SaveTarget&) { return std::string("/proc/kv-target.bin"); },
       [&](SaveTarget&) { EXPECT_FALSE(std::filesystem::exists("/proc/kv-target.bin")); }, {header(5) + "hello"}},
      {"a peer that resets in the middle of the content ends the reception at once", false, 0,
       [&](SaveTarget& t) { return t.peer_end = SaveTarget::kAbortsMidway, t.file("out", "before"); },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.holds("out"), "before");
         EXPECT_EQ(t.entries(""), Names{"out"});
       },
       {header(1 << 20) + pattern(100000)}},
      {"a stream without the magic is no transfer", false, 0, [&](SaveTarget& t) { return t.file("out", "old"); },
       [&](SaveTarget& t) { EXPECT_EQ(t.holds("out"), "old"); }, {header(6, "GARBAGE!") + "hacked"}},
      {"a stream without the magic is no transfer when it comes in pieces either", false, 0,
       [&](SaveTarget& t) { return t.file("out", "old"); }, [&](SaveTarget& t) { EXPECT_EQ(t.holds("out"), "old"); },
       {"QUORV", "AN", "X", std::string("\x06\0\0\0", 4) + "hacked"}},
      {"a link has its file replaced, which keeps its mode", false, 1,
       [&](SaveTarget& t) {
         std::filesystem::create_symlink(t.file("real", "an older and longer content", 0600), t.path("link"));
         return mask = umask(027), t.path("link");
       },
       [&](SaveTarget& t) {
         umask(mask);
         EXPECT_TRUE(std::filesystem::is_symlink(t.path("link")));
         EXPECT_EQ(t.holds("real"), "new");
         EXPECT_EQ(t.stat_of("real").st_mode & 0777, 0600u) << "the replaced file keeps its mode";
       }},
      {"a new file follows the umask", false, 1, [&](SaveTarget& t) { return mask = umask(027), t.path("fresh"); },
       [&](SaveTarget& t) {
         umask(mask);
         EXPECT_EQ(t.stat_of("fresh").st_mode & 0777, 0640u) << "a new file follows the umask";
       },
       {header(5) + "fresh"}},
      {"a reception takes the announced bytes only", false, 1, [&](SaveTarget& t) { return t.path("out"); },
       [&](SaveTarget& t) {
         EXPECT_EQ(t.holds("out"), "hello");
         EXPECT_EQ(bytes_waiting(accepted->socket), 5);  // left for whoever reads next
         EXPECT_EQ(net_server_poll(), NET_EVENT_DATA);
       },
       {header(5) + "hello" + "EXTRA"}},
  };
  // A reception that fails, before or after its last byte (a content the disk cannot
  // flush must not take the name), leaves the old file, also where the file system has no
  // unnamed files.
  for (bool unnamed : {true, false})
    for (bool at_flush : {false, true})
      cases.push_back({std::string(at_flush ? "a failing flush" : "a size of 2 GiB") + " keeps the old file" +
                           (unnamed ? "" : " without unnamed files"),
                       false, 0,
                       [&, unnamed, at_flush](SaveTarget& t) {
                         file_allow_unnamed(unnamed);
                         g_flush_fails = at_flush;
                         return t.file("out", "keep me");
                       },
                       [&](SaveTarget& t) {
                         g_flush_fails = false;
                         file_allow_unnamed(true);
                         EXPECT_EQ(t.holds("out"), "keep me");
                       },
                       {at_flush ? header(3) + "new" : header(0x80000000u) + "abc"}});
  for (bool fifo : {true, false})
    cases.push_back({fifo ? "a FIFO with a reader is written into" : "a local socket is written into", false,
                     1, [fifo](SaveTarget& t) { return fifo ? t.fifo("out", true) : t.socket_reader("out"); },
                     [&, fifo](SaveTarget& t) {
                       EXPECT_TRUE(t.finish_reader() == content);
                       EXPECT_EQ(t.kind("out"), fifo ? S_IFIFO : S_IFSOCK);
                     },
                     {whole}});
  // The header cut at every point once, each cut a read of its own.
  for (size_t split = 1; split < 12; ++split)
    cases.push_back({"a header cut after byte " + std::to_string(split) + " is taken whole", false, 1,
                     [&](SaveTarget& t) { return t.path("out"); },
                     [&](SaveTarget& t) { EXPECT_EQ(t.holds("out"), "abcd"); },
                     {header(4).substr(0, split), header(4).substr(split) + "abcd"}});
  for (const SaveCase& c : cases) {
    SCOPED_TRACE(c.what);
    SaveTarget target;
    const char* unmet = c.needs_root && !root ? "needs root" : nullptr;
    std::string save_path = unmet ? "" : c.prepare(target);
    if (unmet || target.skip) {
      std::cout << "[ SKIPPED  ] " << c.what << ": " << (unmet ? unmet : "cannot be set up here") << "\n";
      continue;
    }
    // Each piece but the last goes once the receiver took the one before: a read each.
    std::thread peer([&] {
      for (size_t i = 0; i < c.wire.size(); ++i) {
        put(c.wire[i]);
        if (i + 1 == c.wire.size()) break;
        wait_taken(accepted->socket);
        if (i == 0 && target.midway) target.midway();
      }
      if (target.peer_end == SaveTarget::kEndsEarly) shutdown(client->socket, SHUT_WR);
      if (target.peer_end == SaveTarget::kAbortsMidway) wait_taken(accepted->socket);
      if (target.peer_end < SaveTarget::kAborts) return;
      sock_set_abort_on_close(SockFd{client->socket}, true);
      net_connection_close(client);
      client = nullptr;
    });
    if (target.peer_end == SaveTarget::kAborts) peer.join();  // the reset is there before the reading
    // The first piece is there before the reading, as far as the socket holds it.
    ASSERT_TRUE(wait_bytes(accepted->socket, static_cast<int>(std::min<size_t>(c.wire[0].size(), 4096))));
    int64_t start = now_ms();
    int32_t r = target.receive_as_nobody
                    ? as_nobody([&] { return net_receive_file(accepted, save_path.c_str()) == 1; })
                    : net_receive_file(accepted, save_path.c_str());
    int64_t took = now_ms() - start;
    if (peer.joinable()) peer.join();
    EXPECT_EQ(r, c.expected);
    EXPECT_LT(took, 3000) << "ended by what it met, not by the idle time";
    c.check(target);
    EXPECT_TRUE(target.no_temporary_files());
    reconnect();  // what a failure left in the socket goes too
  }
}

// Signals that interrupt a blocked send make it return short; every byte must still go,
// whether the system copies the file to the socket or the sender sends it from a buffer
// (where the system cannot copy).
TEST_F(TransferTest, ShortSendsAreContinuedUntilEveryByteIsOnTheWire) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = on_signal;  // no SA_RESTART: an interrupted send returns what it sent
  sigaction(SIGUSR1, &sa, &old);
  for (bool copy : {true, false}) {
    SCOPED_TRACE(copy ? "copied by the system" : "sent from a buffer");
    sock_allow_file_copy(copy);
    set_buffer(client->socket, SO_SNDBUF, 16 * 1024);
    std::string content = pattern((copy ? 2048 : 512) * 1024 + 3);
    write_file(path("src"), content);
    ProgressLog log;
    net_set_progress(log_progress, &log);
    Sending sender(client, path("src"));
    std::string wire;
    for (int64_t end = now_ms() + 20000; !(sender.done && bytes_waiting(accepted->socket) <= 0) && now_ms() < end;) {
      if (!sender.done) pthread_kill(sender.thread.native_handle(), SIGUSR1);
      if (!wait_readable(accepted->socket, 5)) continue;
      recv_now(accepted->socket, wire, 16384);
    }
    if (!sender.done) shutdown(accepted->socket, SHUT_RDWR);  // a hung sender is released, and fails
    EXPECT_EQ(sender.result(), 1);
    net_set_progress(nullptr, nullptr);
    EXPECT_TRUE(wire == header(static_cast<uint32_t>(content.size())) + content) << wire.size();
    expect_progress_to(log, static_cast<int64_t>(content.size()));
    // More steps than 1 MiB pieces: the system's copies did come back short.
    EXPECT_GT(log.calls.size(), copy ? 3u : 0u);
  }
  sock_allow_file_copy(true);
  sigaction(SIGUSR1, &old, nullptr);
}

TEST_F(TransferTest, NonBlockingConnectionSendsEverythingToASlowReader) {
  set_buffer(accepted->socket, SO_SNDBUF, 16 * 1024);
  std::string content = pattern(1024 * 1024 + 1);
  write_file(path("src"), content);
  Sending sender(accepted, path("src"));  // the accepted socket does not block
  std::string wire = take(client->socket, content.size() + 12, 100);
  if (!sender.done) shutdown(client->socket, SHUT_RDWR);
  EXPECT_EQ(sender.result(), 1);
  EXPECT_TRUE(wire == header(static_cast<uint32_t>(content.size())) + content) << wire.size();
}

TEST_F(TransferTest, ReaderGoingAwayMidwayIsAFailureNotADeadProcess) {
  set_buffer(client->socket, SO_SNDBUF, 4096);
  write_file(path("src"), pattern(8 * 1024 * 1024));
  Sending sender(client, path("src"));
  char buf[4096];
  ASSERT_TRUE(wait_readable(accepted->socket));
  ASSERT_GT(recv(accepted->socket, buf, sizeof buf, 0), 0);
  net_connection_close(accepted);
  EXPECT_EQ(sender.result(), 0);
}

TEST_F(TransferTest, FilesOf2GiBOrMoreAreRefusedBeforeAnyByteIsSent) {
  // 2^32 + 10 would announce 10 bytes if the size were cut to 32 bits.
  for (int64_t size : {int64_t{1} << 31, (int64_t{1} << 32) + 10}) {
    make_sparse(path("big"), size);
    EXPECT_EQ(net_check_send_file(path("big").c_str()), NET_FILE_TOO_LARGE) << size;
    EXPECT_EQ(net_send_file(client, path("big").c_str()), 0) << size;
  }
  make_sparse(path("big"), INT32_MAX);  // the largest count a transfer can announce
  EXPECT_EQ(net_check_send_file(path("big").c_str()), NET_FILE_SENDABLE);
  net_connection_close(client);
  EXPECT_EQ(read_until_close(accepted->socket, 2000), "");
}

TEST_F(TransferTest, FileShrinkingDuringTheSendFails) {
  set_buffer(client->socket, SO_SNDBUF, 16 * 1024);
  make_sparse(path("src"), 64 << 20);
  // What was sent is all there is: the drain ends.
  Sending sender(client, path("src"), [this] { shutdown(client->socket, SHUT_WR); });
  std::string first = take(accepted->socket, 2u << 20, 0, 10000);
  ASSERT_EQ(truncate(path("src").c_str(), 1 << 20), 0);
  std::string rest = drain(accepted->socket, sender.done);
  EXPECT_EQ(sender.result(), 0);
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
      alarm(20);  // a reception that never ends fails the test instead of hanging it
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{64 * 1024, 64 * 1024};
      setrlimit(RLIMIT_FSIZE, &limit);
      int64_t start = now_ms();
      int32_t r = net_receive_file(on_accepted ? accepted : client, path("out").c_str());
      // Failing at once, not after the idle time: the write error itself ended it.
      _exit(r == 0 && now_ms() - start < 3000 ? 0 : 1);
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

// The close event ends the process from its own thread in the middle of a reception: the
// temporary file goes, the file at the path stays, and the reception, if it still runs,
// fails. Ctrl+C, SIGTERM and SIGQUIT, landing in the middle of a reception, remove it as
// well. Then the main flow's own shutdown. Only a named temporary file can outlive the
// process, so the reception is made to use one.
TEST_F(TransferTest, ShutdownByTheCloseEventRemovesAReceptionsTemporaryFile) {
  file_allow_unnamed(false);
  ScopeExit allow_again([] { file_allow_unnamed(true); });
  write_file(path("out"), "untouched");
  put(header(1000) + "0123456789");
  int32_t received = -1;
  std::thread receiver([&] { received = receive("out"); });
  ASSERT_TRUE(wait_until([&] { return !no_temporary_files(); }));
  struct stat temp {};
  EXPECT_EQ(stat(temporary_files(dir)[0].c_str(), &temp), 0);
  EXPECT_EQ(temp.st_mode & 0777, 0600u) << "private until it is complete";
  net_transfer_remove_temp_file();
  EXPECT_TRUE(no_temporary_files());
  put(std::string(990, 'x'));  // the reception completes, but its file is gone
  receiver.join();
  EXPECT_EQ(received, 0);
  EXPECT_EQ(read_file(path("out")), "untouched");
  EXPECT_TRUE(no_temporary_files());

  // A temporary file that holds the ten bytes sent so far, once the reception took them.
  auto temp_holds_them = [&] {
    std::vector<std::string> found = temporary_files(dir);
    return found.size() == 1 && std::filesystem::file_size(found[0]) == 10;
  };
  for (int signo : {SIGINT, SIGTERM, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signo));
    put(header(1000) + "0123456789");
    pid_t child = fork();
    if (child == 0) {
      rlimit no_core{0, 0};
      setrlimit(RLIMIT_CORE, &no_core);
      signal(SIGINT, SIG_DFL);  // a shell may start background tests with these ignored
      signal(SIGQUIT, SIG_DFL);
      signals_install([] {});
      _exit(receive("out"));
    }
    ASSERT_GT(child, 0);
    EXPECT_TRUE(wait_until(temp_holds_them));
    kill(child, signo);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signo) << status;
    EXPECT_TRUE(no_temporary_files());
    EXPECT_EQ(read_file(path("out")), "untouched");
  }
  net_shutdown();
  net_connection_close(accepted);  // went with the shutdown: ignored
  EXPECT_EQ(net_receive_file(accepted, path("out").c_str()), 0);
  EXPECT_EQ(net_send_file(client, path("out").c_str()), 0);
}

}  // namespace
