#include "platform/transfer_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "platform/paths.h"
#include "platform/sys_retry.h"

namespace {

std::atomic<bool> g_unnamed_allowed{true};

// The named temporary file of the replacement in progress, where a signal handler can read
// it: the descriptor of its folder (-1: none) and its name there. The name is written only
// while the descriptor says none. A program receives one file at a time: a second
// replacement running meanwhile on another thread is not recorded.
std::atomic<int> g_partial_folder{-1};
char g_partial_name[NAME_MAX + 1];
static_assert(std::atomic<int>::is_always_lock_free, "read in signal handlers");

// Records r's named temporary file, or that it has none, as the one in progress.
void record_partial(const FileReplacement& r) {
  int mine = r.folder_fd;
  g_partial_folder.compare_exchange_strong(mine, -1);
  if (r.folder_fd < 0 || r.temp_name.empty() || r.temp_name.size() > NAME_MAX) return;
  if (g_partial_folder.load() != -1) return;
  std::memcpy(g_partial_name, r.temp_name.c_str(), r.temp_name.size() + 1);
  g_partial_folder.store(r.folder_fd);
}

std::string proc_fd_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens a folder for the *at calls. Read access lets the folder be flushed to the disk
// later; a folder that may be searched but not read is opened as a path only.
int open_folder(const char* folder) {
  int fd = sys_retry([&] { return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0 && errno == EACCES) fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

// Opens the entry name of folder again with flags, without following a link, and checks
// that it is still the file seen before. Returns the descriptor or -1.
int reopen_entry(int folder, const std::string& name, int flags, const struct stat& seen) {
  int fd = sys_retry([&] { return openat(folder, name.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC); });
  if (fd < 0) return -1;
  struct stat now {};
  if (fstat(fd, &now) != 0 || !same_file(now, seen)) {
    file_close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

// A file the kernel reached through a link: finds the folder that holds it and its name
// there. The kernel names the file it opened; that name is walked again by the kernel
// (its protection applies once more) and must lead to the very same file, so the file is
// replaced in its own folder, never at a place a link was read into by hand.
bool locate_linked(int target, const struct stat& seen, int* folder_fd, std::string* name) {
  char buffer[PATH_MAX + 1];
  ssize_t n = readlink(proc_fd_path(target).c_str(), buffer, PATH_MAX);
  if (n <= 0 || buffer[0] != '/') {
    errno = ENOENT;
    return false;
  }
  std::string path(buffer, static_cast<size_t>(n));
  std::string folder;
  path_split(path, &folder, name);
  int fd = open_folder(folder.c_str());
  if (fd < 0) return false;
  struct stat there {};
  if (fstatat(fd, name->c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(there, seen)) {
    file_close(fd);
    errno = ESTALE;
    return false;
  }
  file_close(*folder_fd);
  *folder_fd = fd;
  return true;
}

// Connects to a listening local socket reached by the kernel's walk (through the O_PATH
// descriptor, so the name is not walked again). Returns a non-blocking descriptor or -1.
int connect_socket(int path_fd) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string name = proc_fd_path(path_fd);
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (sys_retry([&] { return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address); }) != 0) {
    file_close(fd);
    return -1;
  }
  return fd;
}

// A name for a temporary file beside name: name.partXXXXXX, or .partXXXXXX when name is
// too long to carry the suffix.
std::string temp_name_for(const std::string& name) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char random[6] = {};
  if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    // Without the system's random bytes, a count of the names made keeps them apart.
    static std::atomic<uint64_t> made{0};
    uint64_t mix = (made.fetch_add(1) + 1) * 0x9E3779B97F4A7C15u ^ static_cast<uint64_t>(getpid()) << 20 ^
                   static_cast<uint64_t>(clock());
    for (auto& r : random) r = static_cast<unsigned char>(mix >>= 5);
  }
  std::string out = name.size() + 11 > NAME_MAX ? std::string() : name;
  out += ".part";
  for (unsigned char r : random) out += kLetters[r % (sizeof kLetters - 1)];
  return out;
}

// Creates a new named file beside name. Returns the descriptor, with its name in *temp.
int make_named_temp(int folder, const std::string& name, mode_t mode, std::string* temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = temp_name_for(name);
    int fd = sys_retry([&] {
      return openat(folder, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    });
    if (fd >= 0) *temp = candidate;
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Makes the file where the bytes are gathered before they take the name: an unnamed file
// in the folder, or a named one where the file system has none. A file that replaces
// another is private (0600) until it is complete; a new one follows the umask.
int make_temp(FileReplacement* r) {
  mode_t mode = r->existed ? 0600 : 0666;
  int fd = -1;
  errno = EOPNOTSUPP;
  if (g_unnamed_allowed.load(std::memory_order_relaxed))
    fd = sys_retry([&] { return openat(r->folder_fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode); });
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  fd = make_named_temp(r->folder_fd, r->name, mode, &r->temp_name);
  if (fd >= 0) record_partial(*r);
  return fd;
}

// Gives the temporary file the replaced file's owner, group and permission bits. A file
// system that cannot hold them (FAT, some network mounts), or an owner this process may
// not give, leaves what it can: that alone does not fail the transfer. The owner goes
// first, since changing it may clear mode bits.
void keep_mode_and_owner(const FileReplacement& r) {
  int saved = errno;
  if (fchown(r.fd, r.owner, r.group) != 0) (void)!fchown(r.fd, static_cast<uid_t>(-1), r.group);
  (void)!fchmod(r.fd, static_cast<mode_t>(r.mode & 0777));
  errno = saved;
}

// Gives the unnamed file the name link_name in the folder. Returns false on failure
// (EEXIST when the name is taken).
bool name_unnamed(int fd, int folder, const std::string& link_name) {
  if (linkat(fd, "", folder, link_name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno == EEXIST) return false;
  // Without the right to link by descriptor, the process links its own open file by name.
  return linkat(AT_FDCWD, proc_fd_path(fd).c_str(), folder, link_name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// Flushes the folder, so a name made or changed in it survives a power loss. File systems
// that cannot flush a folder say so with EINVAL; that is not a failure.
bool sync_folder(int folder) {
  int flags = fcntl(folder, F_GETFL);
  int fd = folder;
  if (flags == -1 || (flags & O_PATH)) {
    fd = open(proc_fd_path(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;  // a folder this process may not read cannot be flushed by it
  }
  bool ok = fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  if (fd != folder) file_close(fd);
  return ok;
}

// Holds back, on this thread, the signals that end the program, for as long as it lives:
// a replacement is not stopped between naming the complete file and renaming it.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Gives the complete temporary file the path's name. Returns false on failure; a name the
// temporary file got on the way is left in temp_name for the caller to remove.
bool name_temp(FileReplacement* r) {
  EndingSignalsHeld held;
  if (r->temp_name.empty()) {
    if (!r->existed) return name_unnamed(r->fd, r->folder_fd, r->name);
    // A name cannot be taken over by a link: the complete file gets a name of its own
    // and is renamed over the old one at once.
    for (int attempt = 0; attempt < 100 && r->temp_name.empty(); ++attempt) {
      std::string candidate = temp_name_for(r->name);
      if (name_unnamed(r->fd, r->folder_fd, candidate)) {
        r->temp_name = candidate;
        record_partial(*r);
      } else if (errno != EEXIST) {
        return false;
      }
    }
    if (r->temp_name.empty()) return false;
  }
  if (renameat(r->folder_fd, r->temp_name.c_str(), r->folder_fd, r->name.c_str()) != 0) return false;
  r->temp_name.clear();
  record_partial(*r);
  return true;
}

bool commit_temp(FileReplacement* r) {
  if (r->existed) keep_mode_and_owner(*r);
  return fdatasync(r->fd) == 0 && name_temp(r) && sync_folder(r->folder_fd);
}

}  // namespace

int file_open_regular(const char* path, int64_t* size) {
  // Only a regular file is opened: opening a FIFO waits for a writer, and opening a device
  // can do things of its own. The path is looked at first, and the open neither waits nor
  // takes a terminal; what was opened is checked again, as the path may have changed.
  struct stat st {};
  if (stat(path, &st) == -1) return -1;
  if (S_ISREG(st.st_mode)) {
    int fd = sys_retry([&] { return open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY); });
    if (fd < 0) return -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      *size = st.st_size;
      return fd;
    }
    file_close(fd);
  }
  errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  return -1;
}

int64_t file_read_at(int fd, void* buffer, size_t length, int64_t offset) {
  return sys_retry([&] { return pread(fd, buffer, length, static_cast<off_t>(offset)); });
}

void file_start_writeback(int fd, int64_t offset, int64_t length) {
  int saved = errno;
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
  errno = saved;
}

void file_close(int fd) { sys_close(fd); }

bool file_replacement_begin(FileReplacement* replacement, const char* path) {
  FileReplacement& r = *replacement;
  if (!path || !*path) {
    errno = ENOENT;
    return false;
  }
  std::string folder;
  path_split(path, &folder, &r.name);
  if (r.name.empty()) {
    errno = EISDIR;
    return false;
  }
  r.folder_fd = open_folder(folder.c_str());
  if (r.folder_fd < 0) return false;
  auto fail = [&] {
    file_replacement_abort(&r);
    return false;
  };
  int entry = sys_retry([&] { return openat(r.folder_fd, r.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
  struct stat st {};
  if (entry < 0 && errno != ENOENT) return fail();
  if (entry >= 0 && fstat(entry, &st) == 0 && S_ISLNK(st.st_mode)) {
    // The kernel follows the link, or refuses to, as it would for any open by this process.
    file_close(entry);
    entry = sys_retry([&] { return openat(r.folder_fd, r.name.c_str(), O_PATH | O_CLOEXEC); });
    if (entry < 0 || fstat(entry, &st) != 0) return fail();
    if (S_ISREG(st.st_mode) && !locate_linked(entry, st, &r.folder_fd, &r.name)) {
      file_close(entry);
      return fail();
    }
  }
  if (entry < 0) {
    r.kind = FILE_SAVE_REPLACE;
    r.fd = make_temp(&r);
    return r.fd >= 0 || fail();
  }
  if (S_ISREG(st.st_mode)) {
    r.kind = FILE_SAVE_REPLACE;
    r.existed = true;
    r.mode = st.st_mode & 07777;
    r.owner = st.st_uid;
    r.group = st.st_gid;
    r.fd = make_temp(&r);
    if (r.fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
      // No file can be made beside it, but the file itself may be writable.
      int saved = errno;
      r.fd = reopen_entry(r.folder_fd, r.name, O_WRONLY, st);
      if (r.fd >= 0)
        r.kind = FILE_SAVE_IN_PLACE;
      else
        errno = saved;
    }
  } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
    // Opened without waiting: a FIFO with no reader fails here (ENXIO) instead of hanging.
    r.kind = FILE_SAVE_STREAM;
    r.fd = sys_retry(
        [&] { return open(proc_fd_path(entry).c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC); });
  } else if (S_ISSOCK(st.st_mode)) {
    r.kind = FILE_SAVE_STREAM;
    r.fd = connect_socket(entry);
  } else {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  file_close(entry);
  return r.fd >= 0 || fail();
}

bool file_replacement_commit(FileReplacement* replacement) {
  FileReplacement& r = *replacement;
  bool ok = r.fd >= 0;
  if (ok && r.kind == FILE_SAVE_REPLACE) {
    ok = commit_temp(&r);
  } else if (ok && r.kind == FILE_SAVE_IN_PLACE) {
    off_t end = lseek(r.fd, 0, SEEK_CUR);
    ok = end >= 0 && ftruncate(r.fd, end) == 0 && fdatasync(r.fd) == 0;
  }
  if (ok) {
    ok = close(r.fd) == 0 || errno == EINTR;
    r.fd = -1;
  }
  file_replacement_abort(&r);
  return ok;
}

void file_replacement_abort(FileReplacement* replacement) {
  FileReplacement& r = *replacement;
  int saved = errno;
  sys_close(r.fd);
  r.fd = -1;
  if (!r.temp_name.empty() && r.folder_fd >= 0) unlinkat(r.folder_fd, r.temp_name.c_str(), 0);
  r.temp_name.clear();
  record_partial(r);
  sys_close(r.folder_fd);
  r.folder_fd = -1;
  errno = saved;
}

int64_t file_write_some(int fd, const void* buffer, size_t length) {
  ssize_t n = sys_retry([&] { return write(fd, buffer, length); });
  if (n == 0 && length > 0) {
    errno = EIO;
    return -1;
  }
  return n;
}

int file_wait_writable(int fd, int timeout_ms) {
  pollfd p{fd, POLLOUT, 0};
  int ready = sys_poll(&p, 1, timeout_ms);
  if (ready <= 0) return ready;
  return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) ? -1 : 1;
}

void file_allow_unnamed(bool allowed) { g_unnamed_allowed.store(allowed, std::memory_order_relaxed); }

void file_replacement_remove_partial() {
  int folder = g_partial_folder.exchange(-1);
  if (folder >= 0) unlinkat(folder, g_partial_name, 0);
}
