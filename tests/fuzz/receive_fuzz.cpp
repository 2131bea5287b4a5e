// Receiving a transfer from any byte stream: the result is 0 or 1; on 1 the file holds
// exactly the announced bytes, on 0 the file that was there is untouched; no temporary
// file is ever left behind.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fuzz_support.h"
#include "net/net.h"
#include "net/transfer.h"

namespace {

std::string folder() {
  static std::string path = [] {
    char name[] = "/tmp/kv-fuzz-receive-XXXXXX";
    return std::string(mkdtemp(name));
  }();
  return path;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_runtime_once();
  static bool started = net_init() != 0;
  fuzz_check(started, "network started");
  if (size > 100000) return 0;
  std::string target = folder() + "/target.bin";
  {
    std::ofstream(target, std::ios::binary) << "precious";
  }
  int pair[2];
  fuzz_check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  std::thread writer([&] {
    size_t at = 0;
    while (at < size) {
      ssize_t n = write(pair[1], data + at, size - at);
      if (n <= 0) break;
      at += static_cast<size_t>(n);
    }
    shutdown(pair[1], SHUT_WR);
  });
  NetConnection connection{};
  connection.kind = NET_KIND_TCP;
  connection.socket = pair[0];
  int32_t result = net_receive_file(&connection, target.c_str());
  shutdown(pair[0], SHUT_RD);  // lets a writer blocked on a full socket go
  writer.join();
  close(pair[0]);
  close(pair[1]);

  fuzz_check(result == 0 || result == 1, "0 or 1");
  std::string now = read_all(target);
  if (result == 1) {
    fuzz_check(size >= 12, "a whole header came");
    fuzz_check(std::memcmp(data, "QUORVANT", 8) == 0, "only a stream that opens with the magic is stored");
    int32_t announced = static_cast<int32_t>(static_cast<uint32_t>(data[8]) | static_cast<uint32_t>(data[9]) << 8 |
                                             static_cast<uint32_t>(data[10]) << 16 |
                                             static_cast<uint32_t>(data[11]) << 24);
    fuzz_check(announced >= 0 && size - 12 >= static_cast<size_t>(announced), "every announced byte came");
    fuzz_check(now == std::string(reinterpret_cast<const char*>(data) + 12, static_cast<size_t>(announced)),
               "the file holds exactly the announced bytes");
  } else {
    fuzz_check(now == "precious", "a failure leaves the file as it was");
  }
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder())) {
    (void)entry;
    ++entries;
  }
  fuzz_check(entries == 1, "no temporary file left behind");
  return 0;
}
