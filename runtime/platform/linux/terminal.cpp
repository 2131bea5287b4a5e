#include "platform/terminal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "platform/common/fd.h"
#include "platform/linux/signal_events.h"
#include "platform/linux/sys_retry.h"

namespace {
// Up to two terminals: standard input's and, when it is another device, standard output's.
struct SavedTty {
  int fd;
  bool is_input;
  bool is_output;
  termios found;
};
// The terminal(s) as found and the modes wanted. Read and written by signal handlers and
// by the close thread too: lock-free atomics serve both.
struct TerminalState {
  SavedTty ttys[2];
  std::atomic<int> tty_count{0};
  std::atomic<int> opened{0};
  std::atomic<int> want_raw_input{0};
  std::atomic<int> want_raw_output{0};
  // Set once auto-wrap was switched off: only then does the restore write its sequence.
  std::atomic<int> wrap_touched{0};
  int out_fd = -1;
  const char* (*volatile line_hook)() = nullptr;
};
static_assert(std::atomic<int>::is_always_lock_free);
TerminalState g_term;

constexpr char kWrapOff[] = "\x1b[?7l";
constexpr char kWrapOnCursorOn[] = "\x1b[?25h\x1b[?7h";

bool same_device(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  if (fstat(a, &sa) != 0 || fstat(b, &sb) != 0) return false;
  return sa.st_rdev == sb.st_rdev && sa.st_ino == sb.st_ino && sa.st_dev == sb.st_dev;
}

bool set_attr(int fd, const termios& t) {
  return sys_retry([&] { return tcsetattr(fd, TCSADRAIN, &t); }) == 0;
}

void write_raw(int fd, const char* text, size_t n) { sys_write_all(fd, text, n); }

// Async-signal-safe: tcsetattr and write only.
bool apply(bool raw_input, bool raw_output) {
  bool ok = true;
  for (int i = 0; i < g_term.tty_count; ++i) {
    termios t = g_term.ttys[i].found;
    // The terminal's own line editing keeps everything but its end-of-file key: a typed
    // Ctrl+D is a character, as in raw input; only a terminal that went away ends input.
    if (g_term.ttys[i].is_input && !raw_input) t.c_cc[VEOF] = _POSIX_VDISABLE;
    if (g_term.ttys[i].is_input && raw_input) {
      // Keys arrive one by one, unechoed; CR stays CR; Ctrl+S/Ctrl+V are keys; ISIG kept
      // so that Ctrl+C, Ctrl+\ and Ctrl+Z still reach the process as signals.
      t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
      t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR | IXON);
      t.c_cc[VMIN] = 1;
      t.c_cc[VTIME] = 0;
    }
    if (g_term.ttys[i].is_output && raw_output) t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (!set_attr(g_term.ttys[i].fd, t)) ok = false;
  }
  if (g_term.out_fd >= 0) {
    if (raw_output) {
      write_raw(g_term.out_fd, kWrapOff, sizeof kWrapOff - 1);
      g_term.wrap_touched = 1;
    } else if (g_term.wrap_touched) {
      write_raw(g_term.out_fd, kWrapOnCursorOn, sizeof kWrapOnCursorOn - 1);
    }
  }
  return ok;
}
}  // namespace

bool term_is_tty(StdStream stream) { return isatty(sys_fd(stream)) == 1; }

int term_columns(StdStream stream) {
  winsize ws{};
  if (ioctl(sys_fd(stream), TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_col;
}

bool term_open(StdStream input, StdStream output) {
  if (g_term.opened) return g_term.tty_count > 0;
  int in_fd = sys_fd(input);
  int out_fd = sys_fd(output);
  int count = 0;
  if (term_is_tty(input) && tcgetattr(in_fd, &g_term.ttys[count].found) == 0) {
    g_term.ttys[count].fd = in_fd;
    g_term.ttys[count].is_input = true;
    g_term.ttys[count].is_output = false;
    ++count;
  }
  if (term_is_tty(output)) {
    g_term.out_fd = out_fd;
    if (count == 1 && same_device(in_fd, out_fd)) {
      g_term.ttys[0].is_output = true;
    } else if (tcgetattr(out_fd, &g_term.ttys[count].found) == 0) {
      g_term.ttys[count].fd = out_fd;
      g_term.ttys[count].is_input = false;
      g_term.ttys[count].is_output = true;
      ++count;
    }
  }
  g_term.tty_count = count;
  g_term.opened = 1;
  return count > 0;
}

bool term_set_mode(bool raw_input, bool raw_output) {
  g_term.want_raw_input = raw_input;
  g_term.want_raw_output = raw_output && g_term.out_fd >= 0;
  return apply(raw_input, raw_output && g_term.out_fd >= 0);
}

bool term_input_raw() { return g_term.want_raw_input != 0; }
bool term_output_raw() { return g_term.want_raw_output != 0; }

void term_set_line_hook(const char* (*hook)()) { g_term.line_hook = hook; }

void term_restore() {
  int saved_errno = errno;
  if (g_term.out_fd >= 0 && g_term.line_hook) {
    const char* end = g_term.line_hook();
    size_t n = 0;
    while (end && end[n]) ++n;
    if (n > 0) write_raw(g_term.out_fd, end, n);
  }
  for (int i = 0; i < g_term.tty_count; ++i) set_attr(g_term.ttys[i].fd, g_term.ttys[i].found);
  if (g_term.out_fd >= 0 && g_term.wrap_touched) write_raw(g_term.out_fd, kWrapOnCursorOn, sizeof kWrapOnCursorOn - 1);
  errno = saved_errno;
}

void term_reapply() {
  int saved_errno = errno;
  if (g_term.want_raw_input || g_term.want_raw_output) apply(g_term.want_raw_input, g_term.want_raw_output);
  errno = saved_errno;
}

ssize_t term_read(StdStream stream, void* bytes, size_t n) {
  int fd = sys_fd(stream);
  for (;;) {
    ssize_t r = sys_retry([&] { return read(fd, bytes, n); });
    if (r < 0 && errno == EAGAIN) {  // a descriptor left non-blocking by whoever shares it
      pollfd pfd{fd, POLLIN, 0};
      sys_poll(&pfd, 1, -1);
      continue;
    }
    return r;
  }
}

bool term_write_all(StdStream stream, const void* bytes, size_t n) {
  return sys_write_all(sys_fd(stream), bytes, n);
}

int term_wait_input(StdStream stream, int timeout_ms, int* events) {
  int other = signals_event_fd();
  pollfd pfds[2] = {{sys_fd(stream), POLLIN, 0}, {other, POLLIN, 0}};
  int ready = sys_poll(pfds, other >= 0 ? 2 : 1, timeout_ms);
  if (ready <= 0) return ready;
  if (pfds[0].revents) return 1;
  if (!pfds[1].revents) return -1;
  *events = signals_take_events();
  return 2;
}

bool term_wait_readable(StdStream stream, int ms) {
  pollfd pfd{sys_fd(stream), POLLIN, 0};
  return sys_poll(&pfd, 1, ms) > 0;
}
