#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/linux/replacement.h"

namespace {

// The named temporary file of the replacement in progress, where a signal handler can read
// it: the descriptor of its folder (-1: none) and its name there. The name is written only
// while the descriptor says none. A program receives one file at a time: a second
// replacement running meanwhile on another thread is not recorded.
std::atomic<int> g_temp_folder{-1};
char g_temp_path_name[NAME_MAX + 1];
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

// Records r's named temporary file, or that it has none, as the one in progress.
}  // namespace

void record_temp(const FileReplacement& r) {
  int mine = r.folder_fd;
  g_temp_folder.compare_exchange_strong(mine, -1);
  if (r.folder_fd < 0 || r.temp_name.empty() || r.temp_name.size() > NAME_MAX) return;
  if (g_temp_folder.load() != -1) return;
  std::memcpy(g_temp_path_name, r.temp_name.c_str(), r.temp_name.size() + 1);
  g_temp_folder.store(r.folder_fd);
}

namespace {

// The steps and the endings of the process meet here: an ending waits for a step that
// runs and keeps new ones from starting, so it always sees the file and the connection
// agree.
std::atomic<int> g_steps_running{0};
std::atomic<pid_t> g_ending{0};     // the process that is ending (not a child forked from it)
std::atomic<bool> g_stored{false};  // a replacement of this process stored its file
thread_local bool t_in_step = false;

}  // namespace

EndingHeld::EndingHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, &old_);
  nested_ = t_in_step;
  t_in_step = true;
  g_steps_running.fetch_add(1);
  refused_ = g_ending.load() == getpid();
}

EndingHeld::~EndingHeld() {
  g_steps_running.fetch_sub(1);
  t_in_step = nested_;
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

void note_stored() { g_stored.store(true); }

bool file_replacement_end_process() {
  g_ending.store(getpid());
  // A step on this very thread (a fatal stop inside it) cannot be waited for.
  while (!t_in_step && g_steps_running.load() > 0) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  int folder = g_temp_folder.exchange(-1);
  if (folder >= 0) unlinkat(folder, g_temp_path_name, 0);
  return g_stored.load();
}
