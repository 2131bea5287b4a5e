// Reads redirected input line by line through the console's plain line input and reports
// lines and bytes per second. Usage: bench_console_input [lines] [line-length]
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console/console.h"
#include "app/lifecycle.h"
#include "strings/area.h"

int main(int argc, char** argv) {
  long lines = argc > 1 ? std::atol(argv[1]) : 1000000;
  long length = argc > 2 ? std::atol(argv[2]) : 60;
  int fds[2];
  if (pipe(fds) != 0) return 1;
  pid_t writer = fork();
  if (writer == 0) {
    close(fds[0]);
    std::string block;
    std::string line(static_cast<size_t>(length), 'x');
    line += "\r\n";
    for (long i = 0; i < lines; ++i) {
      block += line;
      if (block.size() >= 65536 || i + 1 == lines) {
        if (write(fds[1], block.data(), block.size()) < 0) _exit(1);
        block.clear();
      }
    }
    _exit(0);
  }
  close(fds[1]);
  dup2(fds[0], STDIN_FILENO);
  runtime_start();
  console_open();
  auto start = std::chrono::steady_clock::now();
  long count = 0;
  long long bytes = 0;
  for (;;) {
    int32_t mark = str_area_top();
    char* text = console_input_line(mark);
    if (text[0] == CONSOLE_END_OF_INPUT && text[1] == 0) break;
    bytes += str_area_top() - mark;
    ++count;
    str_area_reset(mark);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  waitpid(writer, nullptr, 0);
  std::fprintf(stderr, "%ld lines of %ld bytes in %.3f s: %.0f lines/s, %.1f MB/s\n", count, length, seconds,
               static_cast<double>(count) / seconds, static_cast<double>(bytes) / seconds / 1e6);
  runtime_exit();
}
