#include "platform/transfer_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/common/fd.h"
#include "platform/linux/replacement.h"
#include "platform/linux/sys_retry.h"
#include "platform/paths.h"

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

namespace {

// Opens the entry name of folder again with flags, without following a link, and checks
// that it is still the file seen before. Returns the descriptor or -1.
int reopen_entry(int folder, const std::string& name, int flags, const struct stat& seen) {
  int fd = sys_retry([&] { return openat(folder, name.c_str(), flags | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC); });
  if (fd < 0) return -1;
  struct stat now {};
  if (fstat(fd, &now) != 0 || !same_file(now, seen)) {
    sys_close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
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
    sys_close(fd);
    return -1;
  }
  return fd;
}

// True when the entry st of a folder dir may not be used by this process: the folder is
// sticky and others or the group may write to it, and the entry belongs neither to this
// process's user nor to the folder's owner. Whoever planted it there could read what is
// written into it, or lead it to where this process may write and its planter may not.
bool foreign_entry(const struct stat& dir, const struct stat& st) {
  bool shared = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & (S_IWOTH | S_IWGRP)) != 0;
  return shared && st.st_uid != geteuid() && st.st_uid != dir.st_uid;
}

// The rule above for what a transfer would go into: a regular file, FIFO or socket.
bool foreign_in_shared_folder(int folder, const struct stat& st) {
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode)) return false;
  struct stat dir {};
  return fstat(folder, &dir) == 0 && foreign_entry(dir, st);
}

// Splits text at its slashes into the names it walks, in order; empty names and "." go.
void push_names(const std::string& text, std::vector<std::string>* names) {
  std::vector<std::string> found;
  for (size_t at = 0; at <= text.size();) {
    size_t end = std::min(text.find('/', at), text.size());
    std::string part = text.substr(at, end - at);
    if (!part.empty() && part != ".") found.push_back(part);
    at = end + 1;
  }
  names->insert(names->end(), found.rbegin(), found.rend());  // the next name is at the back
}

// Walks path one name at a time, as the kernel would for this process, and applies the
// rule of foreign_entry to every link on the way, whatever the system's own protection of
// links says: another user's link in a shared sticky folder is never followed. Returns a
// path-only descriptor of the folder that holds the last name, with that name (where a
// link there led) in *name, or -1 with errno set (EACCES with *foreign true for a link
// refused; ENOENT for a last link that leads nowhere).
int walk_path(const std::string& path, std::string* name, bool* foreign) {
  constexpr int kMostLinks = 40;  // as many as the kernel follows
  std::vector<std::string> names;
  push_names(path, &names);
  int dir = open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  bool last_from_link = false;
  int links = 0;
  while (dir >= 0 && !names.empty()) {
    std::string part = names.back();
    names.pop_back();
    bool last = names.empty();
    int fd = sys_retry([&] { return openat(dir, part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
    struct stat st {};
    if (fd < 0 && last && errno == ENOENT && !last_from_link) {
      *name = part;
      return dir;  // a new file
    }
    if (fd < 0 || fstat(fd, &st) != 0) break;
    if (S_ISLNK(st.st_mode)) {
      struct stat folder {};
      char target[PATH_MAX + 1];
      ssize_t n = fstat(dir, &folder) == 0 ? readlinkat(fd, "", target, PATH_MAX) : -1;
      sys_close(fd);
      if (n > 0 && foreign_entry(folder, st)) {
        *foreign = true;
        errno = EACCES;
        break;
      }
      if (n <= 0 || ++links > kMostLinks) {
        if (n > 0) errno = ELOOP;
        break;
      }
      if (target[0] == '/') {
        sys_close(dir);
        dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      push_names(std::string(target, static_cast<size_t>(n)), &names);
      last_from_link = last_from_link || last;  // the last name now comes from a link
      if (names.empty()) names.push_back(".");  // a link to "/" or "."
      continue;
    }
    if (last) {
      sys_close(fd);
      *name = part;
      return dir;
    }
    sys_close(dir);
    dir = fd;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      break;
    }
  }
  sys_close(dir);
  return -1;
}

// True while the path still names the folder that was found at the beginning.
bool folder_still_there(const FileReplacement& r) {
  struct stat now {};
  return stat(r.path_folder.c_str(), &now) == 0 && now.st_dev == r.path_folder_id[0] &&
         now.st_ino == r.path_folder_id[1];
}


}  // namespace

FileFd file_replacement_fd(const FileReplacement* replacement) { return file_fd(replacement->fd); }

bool file_replacement_is_stream(const FileReplacement* replacement) { return replacement->kind == FILE_SAVE_STREAM; }

bool file_replacement_gathers_elsewhere(const FileReplacement* replacement) {
  return replacement->kind == FILE_SAVE_IN_PLACE && replacement->target_fd >= 0;
}

namespace {

// The outcome a failed step of r gives: its own reason, else the system's.
SysOutcome failure_of(const FileReplacement& r) {
  return r.failure != SysOutcome::ok ? r.failure : sys_outcome();
}

// Closes everything of r and removes a temporary file; errno is kept.
void abort_replacement(FileReplacement& r);

bool begin_replacement(FileReplacement& r, const char* path) {
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
  struct stat found {};
  if (stat(folder.c_str(), &found) == 0) {
    r.path_folder = folder;
    r.path_folder_id[0] = found.st_dev;
    r.path_folder_id[1] = found.st_ino;
  }
  bool foreign = false;
  int walked = walk_path(path, &r.name, &foreign);
  if (walked < 0) {
    if (foreign) r.failure = SysOutcome::foreign_owner;
    return false;
  }
  r.folder_fd = open_folder(proc_fd_path(walked).c_str());
  sys_close(walked);
  if (r.folder_fd < 0) return false;
  auto fail = [&] {
    abort_replacement(r);
    return false;
  };
  int entry = sys_retry([&] { return openat(r.folder_fd, r.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
  struct stat st {};
  if (entry < 0 && errno != ENOENT) return fail();
  if (entry >= 0 && (fstat(entry, &st) != 0 || S_ISLNK(st.st_mode))) {
    sys_close(entry);
    errno = ESTALE;  // a link put there since the walk
    return fail();
  }
  if (entry >= 0 && foreign_in_shared_folder(r.folder_fd, st)) {
    sys_close(entry);
    r.failure = SysOutcome::foreign_owner;
    errno = EACCES;
    return fail();
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
    r.acl = read_acl(entry);
    if (folder_allows_replacing(r.folder_fd))
      r.fd = make_temp(&r);
    else
      errno = EPERM;
    if (r.fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
      // It cannot be replaced, but the file itself may be writable: the bytes wait
      // elsewhere until they are complete, or where they cannot, go into it directly.
      int saved = errno;
      int target = reopen_entry(r.folder_fd, r.name, O_WRONLY, st);
      if (target >= 0) {
        r.kind = FILE_SAVE_IN_PLACE;
        r.fd = make_temp_elsewhere();
        if (r.fd >= 0)
          r.target_fd = target;
        else
          r.fd = target;
      } else {
        errno = saved;
      }
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
  sys_close(entry);
  return r.fd >= 0 || fail();
}

}  // namespace

FileReplacement* file_replacement_begin(const char* path, SockFd told, SysOutcome* failure) {
  auto* r = new (std::nothrow) FileReplacement;
  if (!r) {
    *failure = SysOutcome::exhausted;
    return nullptr;
  }
  r->told_fd = sys_fd(told);
  if (begin_replacement(*r, path)) return r;
  *failure = failure_of(*r);
  delete r;
  return nullptr;
}

bool file_replacement_flush(FileReplacement* replacement) {
  FileReplacement& r = *replacement;
  if (r.fd < 0) return false;
  if (r.kind != FILE_SAVE_REPLACE || r.flushed) return true;
  if (r.existed) keep_mode_and_owner(r);
  r.flushed = fdatasync(r.fd) == 0;
  return r.flushed;
}

SysOutcome file_replacement_commit(FileReplacement* replacement) {
  FileReplacement& r = *replacement;
  bool ok = file_replacement_flush(&r);
  // From here the file's fate and the connection's close are decided together: an ending
  // waits for both, and one that came first leaves the path as it was.
  EndingHeld step;
  if (step.refused()) ok = false;
  if (ok && r.kind != FILE_SAVE_STREAM && !r.path_folder.empty() && !folder_still_there(r)) {
    r.failure = SysOutcome::moved;
    errno = ENOENT;
    ok = false;
  }
  if (ok && r.kind == FILE_SAVE_REPLACE) {
    ok = name_temp(&r) && sync_folder(r.folder_fd);
  } else if (ok && r.kind == FILE_SAVE_IN_PLACE && r.target_fd >= 0) {
    ok = copy_in_place(&r);
  } else if (ok && r.kind == FILE_SAVE_IN_PLACE) {
    off_t end = lseek(r.fd, 0, SEEK_CUR);
    ok = end >= 0 && ftruncate(r.fd, end) == 0 && fdatasync(r.fd) == 0;
  }
  if (ok) {
    ok = close(r.fd) == 0 || errno == EINTR;
    r.fd = -1;
  }
  if (ok && r.told_fd >= 0) {
    linger in_order{0, 0};
    ok = setsockopt(r.told_fd, SOL_SOCKET, SO_LINGER, &in_order, sizeof in_order) == 0;
  }
  if (ok) note_stored();
  SysOutcome outcome = ok ? SysOutcome::ok : failure_of(r);
  abort_replacement(r);
  delete replacement;
  return outcome;
}

SysOutcome file_replacement_abort(FileReplacement* replacement) {
  if (!replacement) return SysOutcome::ok;
  abort_replacement(*replacement);
  SysOutcome outcome = replacement->failure == SysOutcome::incomplete ? SysOutcome::incomplete : SysOutcome::ok;
  delete replacement;
  return outcome;
}

namespace {

void abort_replacement(FileReplacement& r) {
  int saved = errno;
  if (r.kind == FILE_SAVE_IN_PLACE && r.target_fd < 0 && r.fd >= 0) {
    // Written into directly: what was written stays, but never under the old size.
    off_t end = lseek(r.fd, 0, SEEK_CUR);
    if (end > 0 && ftruncate(r.fd, end) == 0) r.failure = SysOutcome::incomplete;
  }
  sys_close(r.fd);
  r.fd = -1;
  sys_close(r.target_fd);
  r.target_fd = -1;
  if (!r.temp_name.empty() && r.folder_fd >= 0) unlinkat(r.folder_fd, r.temp_name.c_str(), 0);
  r.temp_name.clear();
  record_temp(r);
  sys_close(r.folder_fd);
  r.folder_fd = -1;
  errno = saved;
}

}  // namespace
