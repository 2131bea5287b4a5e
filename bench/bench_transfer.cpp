// Moves one file over loopback through the library (net_send_file -> poll ->
// net_receive_file) and, in the same run, through a plain copy of 16 KiB reads and writes
// on both ends (what netcat does). Prints both throughputs, their ratio, and the peak
// memory of each receiving process, for several file sizes.
//
//   bench_transfer [folder] [rounds] [sizes in MiB ...]   (defaults: $TMPDIR or /tmp, 3, 64 256)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/heaps.h"
#include "net/net.h"
#include "platform/linux/sys_retry.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kReferenceChunk = 16 * 1024;

struct Outcome {
  int ok = 0;
  long peak_kib = 0;  // VmHWM of the receiving process
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

long peak_memory_kib() {
  long kib = 0;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(f);
  }
  return kib;
}

bool read_all(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void make_source(const std::string& path, size_t bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<uint32_t> block(kMiB / 4);
  uint32_t x = 2463534242u;
  for (size_t done = 0; done < bytes; done += kMiB) {
    for (auto& v : block) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      v = x;
    }
    sys_write_all(fd, block.data(), std::min(kMiB, bytes - done));
  }
  fsync(fd);
  close(fd);
}

bool same_files(const std::string& a, const std::string& b) {
  int fa = open(a.c_str(), O_RDONLY), fb = open(b.c_str(), O_RDONLY);
  std::vector<char> ba(kMiB), bb(kMiB);
  bool same = fa >= 0 && fb >= 0;
  while (same) {
    ssize_t ra = read(fa, ba.data(), kMiB), rb = read(fb, bb.data(), kMiB);
    if (ra != rb || ra < 0)
      same = false;
    else if (ra == 0)
      break;
    else
      same = std::memcmp(ba.data(), bb.data(), static_cast<size_t>(ra)) == 0;
  }
  close(fa);
  close(fb);
  return same;
}

// The receiving child of the library run: a server, the poll loop, one reception.
[[noreturn]] void library_receiver(int report, const std::string& out) {
  runtime_heap_create();
  mem_init();
  net_init();
  net_server_create_tcp(0, 0);
  auto* server = static_cast<NetServer*>(registry_find(net_server_registry(), 0));
  uint16_t port = server ? ntohs(server->address.port) : 0;
  sys_write_all(report, &port, sizeof port);
  Outcome outcome;
  for (;;) {
    int32_t event = net_server_poll();
    if (event == NET_EVENT_NONE) {
      net_server_wait(100);
      continue;
    }
    if (event == NET_EVENT_FILE || event == NET_EVENT_DATA) {
      outcome.ok = net_receive_file(net_event_connection(), out.c_str());
      break;
    }
    if (event == NET_EVENT_DISCONNECT) break;
  }
  outcome.peak_kib = peak_memory_kib();
  sys_write_all(report, &outcome, sizeof outcome);
  _exit(0);
}

// The receiving child of the reference run: accept, then 16 KiB reads and writes.
[[noreturn]] void reference_receiver(int report, const std::string& out) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  listen(listener, 1);
  socklen_t len = sizeof sa;
  getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
  uint16_t port = ntohs(sa.sin_port);
  sys_write_all(report, &port, sizeof port);
  int conn = accept(listener, nullptr, nullptr);
  int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  char buf[kReferenceChunk];
  Outcome outcome{1, 0};
  for (;;) {
    ssize_t n = read(conn, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) outcome.ok = 0;
    if (n <= 0) break;
    if (!sys_write_all(file, buf, static_cast<size_t>(n))) outcome.ok = 0;
  }
  close(file);
  outcome.peak_kib = peak_memory_kib();
  sys_write_all(report, &outcome, sizeof outcome);
  _exit(0);
}

void reference_send(uint16_t port, const std::string& src) {
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int file = open(src.c_str(), O_RDONLY);
  char buf[kReferenceChunk];
  for (;;) {
    ssize_t n = read(file, buf, sizeof buf);
    if (n <= 0) break;
    sys_write_all(sock, buf, static_cast<size_t>(n));
  }
  close(file);
  close(sock);
}

// Runs one transfer with the receiver in a child process. Returns the seconds from the
// connection to the receiver's end; fills outcome.
double run(bool library, const std::string& src, const std::string& out, Outcome* outcome) {
  int pipefd[2];
  if (pipe(pipefd) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    // A fresh program image, so its peak memory is its own and not what this process
    // had grown to.
    close(pipefd[0]);
    std::string fd = std::to_string(pipefd[1]);
    execl("/proc/self/exe", "bench_transfer", "--receive", library ? "library" : "reference", out.c_str(),
          fd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipefd[1]);
  uint16_t port = 0;
  read_all(pipefd[0], &port, sizeof port);
  auto start = std::chrono::steady_clock::now();
  if (library) {
    NetConnection* c = net_connect_tcp("127.0.0.1", port);
    if (c) {
      net_send_file(c, src.c_str());
      net_connection_close(c);
    }
  } else {
    reference_send(port, src);
  }
  *outcome = Outcome{};
  read_all(pipefd[0], outcome, sizeof *outcome);
  int status = 0;
  waitpid(child, &status, 0);
  double took = seconds_since(start);
  close(pipefd[0]);
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "--receive") == 0) {
    int report = std::atoi(argv[4]);
    if (std::strcmp(argv[2], "library") == 0) library_receiver(report, argv[3]);
    reference_receiver(report, argv[3]);
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = argc > 1 ? argv[1] : (tmp ? tmp : "/tmp");
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  std::vector<size_t> sizes;
  for (int i = 3; i < argc; ++i) sizes.push_back(static_cast<size_t>(std::atol(argv[i])));
  if (sizes.empty()) sizes = {64, 256};

  runtime_heap_create();
  mem_init();
  net_init();
  std::string src = folder + "/bench_transfer.src", out = folder + "/bench_transfer.out";
  std::printf("folder %s, %d rounds each, best round shown\n", folder.c_str(), rounds);
  std::printf("%8s %14s %14s %7s %16s %16s\n", "MiB", "library MiB/s", "16K copy MiB/s", "ratio",
              "library peak KiB", "16K copy peak KiB");
  int failures = 0;
  for (size_t mib : sizes) {
    make_source(src, mib * kMiB);
    double best_lib = 1e30, best_ref = 1e30;
    long peak_lib = 0, peak_ref = 0;
    for (int r = 0; r < rounds; ++r) {
      Outcome o;
      double t = run(true, src, out, &o);
      if (!o.ok || !same_files(src, out)) ++failures;
      best_lib = std::min(best_lib, t);
      peak_lib = std::max(peak_lib, o.peak_kib);
      unlink(out.c_str());
      t = run(false, src, out, &o);
      if (!o.ok || !same_files(src, out)) ++failures;
      best_ref = std::min(best_ref, t);
      peak_ref = std::max(peak_ref, o.peak_kib);
      unlink(out.c_str());
    }
    double lib = static_cast<double>(mib) / best_lib, ref = static_cast<double>(mib) / best_ref;
    std::printf("%8zu %14.0f %14.0f %7.2f %16ld %16ld\n", mib, lib, ref, lib / ref, peak_lib, peak_ref);
  }
  unlink(src.c_str());
  if (failures) std::printf("%d transfers did not arrive intact\n", failures);
  return failures ? 1 : 0;
}
