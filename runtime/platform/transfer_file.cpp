#include "platform/transfer_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/sys_retry.h"

namespace {

// The process's file mode creation mask, read without changing it where the system tells
// it; otherwise set and put back at once.
mode_t current_umask() {
  if (FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    unsigned mask = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status)) found = std::sscanf(line, "Umask: %o", &mask) == 1;
    std::fclose(status);
    if (found) return static_cast<mode_t>(mask);
  }
  mode_t mask = umask(022);
  umask(mask);
  return mask;
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int make_temp(std::string* temp) {
  std::string name = *temp + "XXXXXX";
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) *temp = name;
  return fd;
}

}  // namespace

int file_open_regular(const char* path, int64_t* size) {
  int fd = sys_retry([&] { return open(path, O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) == -1) {
    file_close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  *size = st.st_size;
  return fd;
}

int64_t file_read_at(int fd, void* buffer, size_t length, int64_t offset) {
  return sys_retry([&] { return pread(fd, buffer, length, static_cast<off_t>(offset)); });
}

bool file_write_all(int fd, const void* buffer, size_t length) { return sys_write_all(fd, buffer, length); }

void file_start_writeback(int fd, int64_t offset, int64_t length) {
  int saved = errno;
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
  errno = saved;
}

void file_close(int fd) {
  if (fd < 0) return;
  int saved = errno;
  close(fd);
  errno = saved;
}

bool file_replacement_begin(FileReplacement* replacement, const char* path) {
  if (!path || !*path) {
    errno = ENOENT;
    return false;
  }
  std::string target = path;
  struct stat st {};
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = realpath(path, nullptr)) {
      target = real;
      std::free(real);
    }
  }
  std::string temp = target + ".part";
  int fd = make_temp(&temp);
  if (fd < 0 && errno == ENAMETOOLONG) {
    temp = folder_of(target) + "/.part";
    fd = make_temp(&temp);
  }
  if (fd < 0) return false;
  replacement->fd = fd;
  replacement->temp_path = temp;
  replacement->target_path = target;
  return true;
}

bool file_replacement_commit(FileReplacement* replacement) {
  int fd = replacement->fd;
  mode_t mode = static_cast<mode_t>(0666 & ~current_umask());
  bool ok = fdatasync(fd) == 0 && fchmod(fd, mode) == 0;
  ok = close(fd) == 0 && ok;
  replacement->fd = -1;
  ok = ok && rename(replacement->temp_path.c_str(), replacement->target_path.c_str()) == 0;
  if (!ok) file_replacement_abort(replacement);
  return ok;
}

void file_replacement_abort(FileReplacement* replacement) {
  int saved = errno;
  if (replacement->fd >= 0) close(replacement->fd);
  replacement->fd = -1;
  if (!replacement->temp_path.empty()) unlink(replacement->temp_path.c_str());
  replacement->temp_path.clear();
  errno = saved;
}
