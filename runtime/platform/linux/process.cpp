#include "platform/process.h"

#include <climits>
#include <cstring>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/linux/sys_retry.h"

char** process_arguments(int*, char** argv) { return argv; }

void process_exit_now(int code) { _exit(code); }

void process_report_error(const char* what) {
  for (const char* part : {static_cast<const char*>(program_invocation_short_name), ": ", what, "\n"})
    sys_write_all(STDERR_FILENO, part, std::strlen(part));
}

uint32_t process_id() { return static_cast<uint32_t>(getpid()); }

uint32_t process_thread_id() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

const std::string& process_program_folder() {
  static const std::string folder = [] {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return std::string();
    std::string path(self, static_cast<size_t>(n));
    std::string here;
    std::string name;
    path_split(path, &here, &name);
    return path_join(here, "");
  }();
  return folder;
}
