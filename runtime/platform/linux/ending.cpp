#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/linux/replacement.h"

namespace {

// What an ending of the process reads, also in a signal handler.
struct EndingRecord {
  // The named temporary file of the replacement in progress: the descriptor of its folder
  // (-1: none) and its name there. The name is written only while the descriptor says
  // none. A program receives one file at a time: a second replacement running meanwhile
  // on another thread is not recorded.
  std::atomic<int> temp_folder{-1};
  char temp_name[NAME_MAX + 1];
  // The steps and the endings of the process meet here: an ending waits for a step that
  // runs and keeps new ones from starting, so it always sees the file and the connection
  // agree.
  std::atomic<int> steps_running{0};
  std::atomic<pid_t> ending{0};     // the process that is ending (not a child forked from it)
  std::atomic<bool> stored{false};  // a replacement of this process stored its file
};
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");
EndingRecord g_record;
thread_local bool t_in_step = false;

}  // namespace

// Records r's named temporary file, or that it has none, as the one in progress.

void record_temp(const FileReplacement& r) {
  int mine = r.folder_fd;
  g_record.temp_folder.compare_exchange_strong(mine, -1);
  if (r.folder_fd < 0 || r.temp_name.empty() || r.temp_name.size() > NAME_MAX) return;
  if (g_record.temp_folder.load() != -1) return;
  std::memcpy(g_record.temp_name, r.temp_name.c_str(), r.temp_name.size() + 1);
  g_record.temp_folder.store(r.folder_fd);
}

EndingHeld::EndingHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, &old_);
  nested_ = t_in_step;
  t_in_step = true;
  g_record.steps_running.fetch_add(1);
  refused_ = g_record.ending.load() == getpid();
}

EndingHeld::~EndingHeld() {
  g_record.steps_running.fetch_sub(1);
  t_in_step = nested_;
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

void note_stored() { g_record.stored.store(true); }

bool file_replacement_end_process() {
  g_record.ending.store(getpid());
  // A step on this very thread (a fatal stop inside it) cannot be waited for.
  while (!t_in_step && g_record.steps_running.load() > 0) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  int folder = g_record.temp_folder.exchange(-1);
  if (folder >= 0) unlinkat(folder, g_record.temp_name, 0);
  return g_record.stored.load();
}
