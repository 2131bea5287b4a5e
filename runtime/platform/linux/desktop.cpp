#include "platform/desktop.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/linux/display.h"
#include "platform/linux/module.h"

// Linux has no dialogs of its own: a desktop library's module brings them where a display is.
DesktopOffer desktop_offer(const DesktopLibrary& library, int limit_ms, bool without_display) {
  const char* x_display = std::getenv("DISPLAY");
  bool display = std::getenv("WAYLAND_DISPLAY") || (x_display && display_answers(x_display, limit_ms));
  DesktopOffer offer;
  if (display || without_display)
    offer.library_entry = module_load_symbol(library.file_name, library.relative_folder, library.entry);
  return offer;
}

struct DesktopQuiet {
  int saved_stderr = -1;
  sigset_t saved_mask;
};

DesktopQuiet* desktop_quiet_begin() {
  int saved_errno = errno;
  auto* quiet = new DesktopQuiet;
  if (isatty(STDERR_FILENO)) {
    quiet->saved_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet->saved_stderr >= 0 && null_fd >= 0) dup2(null_fd, STDERR_FILENO);
    if (null_fd >= 0) close(null_fd);
  }
  sigset_t hangup;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hangup, &quiet->saved_mask);
  errno = saved_errno;
  return quiet;
}

void desktop_quiet_end(DesktopQuiet* quiet) {
  if (!quiet) return;
  int saved_errno = errno;
  if (quiet->saved_stderr >= 0) {
    dup2(quiet->saved_stderr, STDERR_FILENO);
    close(quiet->saved_stderr);
  }
  pthread_sigmask(SIG_SETMASK, &quiet->saved_mask, nullptr);
  delete quiet;
  errno = saved_errno;
}
