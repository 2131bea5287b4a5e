#include "platform/signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/linux/signal_events.h"
#include "platform/linux/sys_retry.h"
#include "platform/terminal.h"
#include "platform/transfer_file.h"

namespace {
// What the handlers need: the pipe that wakes the close thread and what it runs, and the
// pipe and the set of the events reported.
struct SignalState {
  int close_pipe[2] = {-1, -1};
  void (*on_close)() = nullptr;
  std::atomic<bool> installed{false};
  int event_pipe[2] = {-1, -1};
  std::atomic<int> events{0};
};
static_assert(std::atomic<int>::is_always_lock_free, "used in signal handlers");
SignalState g_signals;

void post_event(int event) {
  int saved_errno = errno;
  g_signals.events.fetch_or(event);
  char byte = 'e';
  (void)!write(g_signals.event_pipe[1], &byte, 1);  // a full pipe already wakes the reader
  errno = saved_errno;
}

void on_resize(int) { post_event(SIGNAL_EVENT_RESIZE); }

void on_hangup(int) {
  int saved_errno = errno;
  char byte = 'h';
  (void)!write(g_signals.close_pipe[1], &byte, 1);
  errno = saved_errno;
}

// SA_RESETHAND has put the default action back: the signal raised again stays pending
// until this handler returns, then ends the process. A reception's named temporary file
// goes first; an unnamed one goes with the process.
void on_terminate(int sig) {
  file_replacement_end_process();
  term_restore();
  raise(sig);
}

void install(int sig, void (*handler)(int), int flags) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = flags;
  sigaction(sig, &sa, nullptr);
}

void on_stop(int) {
  int saved_errno = errno;
  term_restore();
  signal(SIGTSTP, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(SIGTSTP);  // stops here; continues on SIGCONT
  install(SIGTSTP, on_stop, SA_RESTART);
  term_reapply();
  errno = saved_errno;
  post_event(SIGNAL_EVENT_RESUME);
}

void on_continue(int) {
  term_reapply();
  post_event(SIGNAL_EVENT_RESUME);
}

bool ignored_at_start(int sig) {
  struct sigaction old {};
  return sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN;
}

void* close_thread(void*) {
  char byte;
  if (sys_retry([&] { return read(g_signals.close_pipe[0], &byte, 1); }) != 1) return nullptr;
  g_signals.on_close();
  return nullptr;
}
}  // namespace

bool signals_install(void (*on_close)()) {
  if (g_signals.installed.exchange(true)) return true;
  g_signals.on_close = on_close;
  if (pipe2(g_signals.close_pipe, O_CLOEXEC) != 0) return false;
  fcntl(g_signals.close_pipe[1], F_SETFL, O_NONBLOCK);
  if (pipe2(g_signals.event_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;

  // The close thread takes no signal itself.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, close_thread, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) return false;
  pthread_detach(thread);

  if (!ignored_at_start(SIGHUP)) install(SIGHUP, on_hangup, SA_RESTART);
  if (!ignored_at_start(SIGINT)) install(SIGINT, on_terminate, SA_RESETHAND);
  if (!ignored_at_start(SIGQUIT)) install(SIGQUIT, on_terminate, SA_RESETHAND);
  install(SIGTERM, on_terminate, SA_RESETHAND);
  install(SIGTSTP, on_stop, SA_RESTART);
  install(SIGCONT, on_continue, SA_RESTART);
  install(SIGWINCH, on_resize, SA_RESTART);
  return true;
}

int signals_event_fd() { return g_signals.event_pipe[0]; }

int signals_take_events() {
  if (g_signals.event_pipe[0] < 0) return 0;
  char bytes[64];
  while (sys_retry([&] { return read(g_signals.event_pipe[0], bytes, sizeof bytes); }) > 0) {
  }
  return g_signals.events.exchange(0);
}
