// Receiving a transfer from any byte stream, cut into reads anywhere: the result is 0 or
// 1; on 1 the file holds exactly the announced bytes, on 0 the file that was there is
// untouched; a stream that holds a whole transfer is received; no temporary file is ever
// left behind.
//
// Input: a count n (the first byte, modulo 16), then n piece lengths of one byte each,
// then the stream. The first n pieces of the stream are written one at a time, each only
// once the receiver has taken the one before, so every cut is a read of its own; the rest
// follows at once.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "fuzz_support.h"
#include "net/net.h"
#include "net/transfer.h"

namespace {

// The folder the receptions write into, removed with all in it when the process ends.
std::string folder() {
  static struct Folder {
    std::string path = (std::filesystem::temp_directory_path() / "kv-fuzz-receive-XXXXXX").string();
    Folder() { fuzz_check(mkdtemp(path.data()) != nullptr, "a scratch folder"); }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
  } folder;
  return folder.path;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_runtime_once();
  static bool started = net_init() != 0;
  fuzz_check(started, "network started");
  if (size > 100000 || size == 0) return 0;
  size_t cuts = std::min<size_t>(data[0] % 16, size - 1);
  const uint8_t* lengths = data + 1;
  data += 1 + cuts;
  size -= 1 + cuts;
  std::string target = folder() + "/target.bin";
  { std::ofstream(target, std::ios::binary) << "precious"; }
  int pair[2];
  fuzz_check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  std::atomic<bool> received{false};
  // Writes size bytes from data + at on; false when the socket failed.
  auto write_all = [&](size_t& at, size_t end) {
    while (at < end) {
      ssize_t n = write(pair[1], data + at, end - at);
      if (n <= 0) return false;
      at += static_cast<size_t>(n);
    }
    return true;
  };
  std::thread writer([&] {
    size_t at = 0;
    for (size_t i = 0; i < cuts && at < size; ++i) {
      if (!write_all(at, std::min(size, at + lengths[i]))) break;
      auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      int waiting = 1;
      while (!received && ioctl(pair[0], FIONREAD, &waiting) == 0 && waiting > 0 &&
             std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    write_all(at, size);
    shutdown(pair[1], SHUT_WR);
  });
  NetConnection connection{};
  connection.kind = NET_KIND_TCP;
  connection.socket = pair[0];
  int32_t result = net_receive_file(&connection, target.c_str());
  received = true;
  shutdown(pair[0], SHUT_RD);  // lets a writer blocked on a full socket go
  writer.join();
  close(pair[0]);
  close(pair[1]);

  fuzz_check(result == 0 || result == 1, "0 or 1");
  std::string now = read_all(target);
  bool magic = size >= 12 && std::memcmp(data, "QUORVANT", 8) == 0;
  uint32_t announced = size < 12 ? 0
                                 : static_cast<uint32_t>(data[8]) | static_cast<uint32_t>(data[9]) << 8 |
                                       static_cast<uint32_t>(data[10]) << 16 | static_cast<uint32_t>(data[11]) << 24;
  bool whole = magic && announced <= INT32_MAX && size - 12 >= announced;
  if (result == 1) {
    fuzz_check(size >= 12, "a whole header came");
    fuzz_check(magic, "only a stream that opens with the magic is stored");
    fuzz_check(whole, "every announced byte came");
    fuzz_check(now == std::string(reinterpret_cast<const char*>(data) + 12, announced),
               "the file holds exactly the announced bytes");
  } else {
    fuzz_check(now == "precious", "a failure leaves the file as it was");
    fuzz_check(!whole, "a whole transfer is received");
  }
  auto entries = std::distance(std::filesystem::directory_iterator(folder()), std::filesystem::directory_iterator());
  fuzz_check(entries == 1, "no temporary file left behind");
  return 0;
}
