#include "platform/transfer_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/common/fd.h"
#include "platform/linux/replacement.h"
#include "platform/linux/sys_retry.h"

FileFd file_open_regular(const char* path, int64_t* size) {
  // Only a regular file is opened: opening a FIFO waits for a writer, and opening a device
  // can do things of its own. The path is looked at first, and the open neither waits nor
  // takes a terminal; what was opened is checked again, as the path may have changed.
  struct stat st {};
  if (stat(path, &st) == -1) return FILE_NONE;
  if (S_ISREG(st.st_mode)) {
    int fd = sys_retry([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
    if (fd < 0) return FILE_NONE;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      *size = st.st_size;
      return file_fd(fd);
    }
    sys_close(fd);
  }
  errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return FILE_NONE;
}

FileFd file_open_scratch() { return file_fd(make_temp_elsewhere()); }

int64_t file_read_at(FileFd fd, void* buffer, size_t length, int64_t offset) {
  return sys_retry([&] { return pread(sys_fd(fd), buffer, length, static_cast<off_t>(offset)); });
}

void file_close(FileFd fd) { sys_close(sys_fd(fd)); }

int64_t file_write_some(FileFd file, const void* buffer, size_t length, int wait_ms) {
  int fd = sys_fd(file);
  auto write_once = [&] { return sys_retry([&] { return write(fd, buffer, length); }); };
  ssize_t n = write_once();
  if (n < 0 && errno == EAGAIN && wait_ms != 0) {
    // A reader gone or an error shows as ready: the write then says which.
    pollfd p{fd, POLLOUT, 0};
    int ready = sys_poll(&p, 1, wait_ms);
    if (ready < 0) return -1;
    if (ready == 0) {
      errno = EAGAIN;
      return -1;
    }
    n = write_once();
  }
  if (n == 0 && length > 0) {
    errno = EIO;
    return -1;
  }
  return n;
}
