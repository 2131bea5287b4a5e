#include "platform/std_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/sys_retry.h"

bool std_streams_fill() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one: those below it are open by now.
    int opened = sys_retry([] { return open("/dev/null", O_RDWR); });
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}
