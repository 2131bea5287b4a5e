// Redirected input: the lines read must not depend on how the bytes arrive. The input is
// delivered once in pieces the fuzzer chooses and once in even 512-byte pieces, through a
// packet socket so that every read sees exactly one piece; both must give the same lines,
// a CR LF split between two pieces included.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "console/console.h"
#include "fuzz_support.h"
#include "strings/area.h"

namespace {

std::vector<std::string> read_lines(const std::string& text, const std::vector<size_t>& pieces) {
  int pair[2];
  fuzz_check(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
  std::thread writer([&] {
    size_t at = 0;
    for (size_t i = 0; at < text.size(); ++i) {
      size_t n = std::min(pieces[i % pieces.size()], text.size() - at);
      fuzz_check(write(pair[1], text.data() + at, n) == static_cast<ssize_t>(n), "write");
      at += n;
    }
    close(pair[1]);
  });
  int saved = dup(0);
  dup2(pair[0], 0);
  std::vector<std::string> lines;
  for (int guard = 0; guard <= static_cast<int>(text.size()) + 1; ++guard) {
    int32_t mark = str_area_top();
    std::string line = console_input_line_plain(mark);
    str_area_reset(mark);
    if (line == std::string(1, CONSOLE_END_OF_INPUT)) break;
    lines.push_back(line);
  }
  writer.join();
  dup2(saved, 0);
  close(saved);
  close(pair[0]);
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_runtime_once();
  if (size < 1 || size > 12000) return 0;
  // The first byte says how many next bytes give piece sizes (1 to 256 each: a packet
  // never exceeds a read).
  size_t count = data[0] % 16 + 1;
  if (size < 1 + count) return 0;
  std::vector<size_t> pieces;
  for (size_t i = 0; i < count; ++i) pieces.push_back(data[1 + i] + 1u);
  std::string text(reinterpret_cast<const char*>(data + 1 + count), size - 1 - count);
  // Zero bytes are not supported on redirected input (what is held past a line ends at
  // the first one), and a line of the one byte 0x04 reads as the end of input: both are
  // left out of the property.
  for (char& c : text)
    if (c == '\0' || c == CONSOLE_END_OF_INPUT) c = 'z';
  std::vector<std::string> chosen = read_lines(text, pieces);
  std::vector<std::string> even = read_lines(text, {512});
  fuzz_check(chosen == even, "lines do not depend on how the bytes were split");
  return 0;
}
