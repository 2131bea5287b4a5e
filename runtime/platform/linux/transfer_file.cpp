#include "platform/transfer_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/linux/sys_retry.h"
#include "platform/linux/test_helper.h"

// What a reception writes to and what it takes to store it.
constexpr int FILE_SAVE_REPLACE = 1;
constexpr int FILE_SAVE_IN_PLACE = 2;
constexpr int FILE_SAVE_STREAM = 3;

struct FileReplacement {
  int fd = -1;              // the bytes go here; non-blocking for FILE_SAVE_STREAM
  int kind = 0;             // one of FILE_SAVE_*
  int target_fd = -1;       // FILE_SAVE_IN_PLACE gathered elsewhere: the file copied into at the end
  int folder_fd = -1;       // the folder that holds the name
  std::string name;         // the name inside that folder
  std::string temp_name;    // the named temporary, where unnamed files are not supported
  std::string path_folder;  // the folder as the path names it, looked at again at the end
  uint64_t path_folder_id[2] = {};
  bool existed = false;  // a regular file was there to be replaced
  unsigned mode = 0;     // its permission bits, owner and group
  unsigned owner = 0;
  unsigned group = 0;
  std::string acl;  // its access-control list as the system stores it; empty: none
  bool flushed = false;
  SysOutcome failure = SysOutcome::ok;  // foreign_owner, incomplete, moved; ok: errno tells
  int told_fd = -1;  // a socket set to close in order in the same step that stores the file
};

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

// The steps that must not be cut in two (a named temporary file made and recorded, a
// complete file named or copied in place and the connection set to close in order) and
// the endings of the process meet here: an ending waits for a step that runs and keeps
// new ones from starting, so it always sees the file and the connection agree.
std::atomic<int> g_steps_running{0};
std::atomic<pid_t> g_ending{0};     // the process that is ending (not a child forked from it)
std::atomic<bool> g_stored{false};  // a replacement of this process stored its file
thread_local bool t_in_step = false;

// One such step on this thread, for as long as it lives. The signals that end the program
// are held back on this thread meanwhile and take their effect once it is over. A step
// that begins while the process is ending is refused: it must do nothing.
class EndingHeld {
 public:
  EndingHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
    nested_ = t_in_step;
    t_in_step = true;
    g_steps_running.fetch_add(1);
    refused_ = g_ending.load() == getpid();
  }
  ~EndingHeld() {
    g_steps_running.fetch_sub(1);
    t_in_step = nested_;
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  EndingHeld(const EndingHeld&) = delete;
  EndingHeld& operator=(const EndingHeld&) = delete;
  bool refused() const { return refused_; }

 private:
  sigset_t old_;
  bool nested_ = false;
  bool refused_ = false;
};

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

// True when names in the folder can be removed and replaced: it is neither append-only nor
// immutable. A folder whose flags cannot be read is taken to allow it; the rename tells.
bool folder_allows_replacing(int folder) {
  int fd = open(proc_fd_path(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  int flags = 0;
  bool fixed = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
  file_close(fd);
  return !fixed;
}

// An unnamed file in the folder. Returns -1 with errno EOPNOTSUPP where the file system
// has none (or the tests switched them off).
int open_unnamed(int folder, mode_t mode) {
  errno = EOPNOTSUPP;
  if (!g_unnamed_allowed.load(std::memory_order_relaxed)) return -1;
  int fd = sys_retry([&] { return openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode); });
  if (fd < 0 && (errno == EISDIR || errno == EINVAL)) errno = EOPNOTSUPP;
  return fd;
}

// Makes the file where the bytes are gathered before they take the name: an unnamed file
// in the folder, or a named one where the file system has none (never in a folder whose
// names cannot be removed again). A file that replaces another is private (0600) until it
// is complete; a new one follows the umask.
int make_temp(FileReplacement* r) {
  mode_t mode = r->existed ? 0600 : 0666;
  int fd = open_unnamed(r->folder_fd, mode);
  if (fd >= 0 || errno != EOPNOTSUPP) return fd;
  if (!folder_allows_replacing(r->folder_fd)) {
    errno = EPERM;  // a named temporary could never be removed: it would stay behind
    return -1;
  }
  EndingHeld step;  // an ending between making the name and recording it would leave it behind
  if (step.refused()) return -1;
  fd = make_named_temp(r->folder_fd, r->name, mode, &r->temp_name);
  if (fd >= 0) record_partial(*r);
  return fd;
}

// An unnamed file in dir where bytes wait until they are copied into a file written in
// place. Returns the descriptor or -1.
int make_staging_file_in(const char* dir) {
  int folder = open_folder(dir);
  if (folder < 0) return -1;
  int fd = open_unnamed(folder, 0600);
  std::string name;
  if (fd < 0 && errno == EOPNOTSUPP) {
    EndingHeld step;  // the name goes again at once: an ending must not come between
    if (!step.refused()) fd = make_named_temp(folder, "kelvane", 0600, &name);
    if (fd >= 0) unlinkat(folder, name.c_str(), 0);
  }
  file_close(folder);
  return fd;
}

// The staging file in the folder of TMPDIR, or in /tmp where TMPDIR names none or one that
// cannot take it.
int make_staging_file() {
  const char* dir = std::getenv("TMPDIR");
  int fd = dir && *dir ? make_staging_file_in(dir) : -1;
  return fd >= 0 ? fd : make_staging_file_in("/tmp");
}

constexpr char kAclName[] = "system.posix_acl_access";

// The access-control list of the file open as fd (also as a path only), as the system
// stores it; empty when it has none beyond its mode.
std::string read_acl(int fd) {
  std::string path = proc_fd_path(fd);
  ssize_t n = getxattr(path.c_str(), kAclName, nullptr, 0);
  if (n <= 0) return {};
  std::string acl(static_cast<size_t>(n), '\0');
  n = getxattr(path.c_str(), kAclName, acl.data(), acl.size());
  acl.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return acl;
}

// Gives the temporary file the replaced file's owner, group, permission bits and
// access-control list (or none, as it had none, whatever the folder would hand down). A
// file system that cannot hold them (FAT, some network mounts), or an owner this process
// may not give, leaves what it can: that alone does not fail the transfer. The owner goes
// first, since changing it may clear mode bits; the list last, as it sets the group bits.
void keep_mode_and_owner(const FileReplacement& r) {
  int saved = errno;
  if (fchown(r.fd, r.owner, r.group) != 0) (void)!fchown(r.fd, static_cast<uid_t>(-1), r.group);
  (void)!fchmod(r.fd, static_cast<mode_t>(r.mode & 0777));
  if (!r.acl.empty())
    (void)!fsetxattr(r.fd, kAclName, r.acl.data(), r.acl.size(), 0);
  else
    (void)!fremovexattr(r.fd, kAclName);
  errno = saved;
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
      file_close(fd);
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
        file_close(dir);
        dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
      }
      push_names(std::string(target, static_cast<size_t>(n)), &names);
      last_from_link = last_from_link || last;  // the last name now comes from a link
      if (names.empty()) names.push_back(".");  // a link to "/" or "."
      continue;
    }
    if (last) {
      file_close(fd);
      *name = part;
      return dir;
    }
    file_close(dir);
    dir = fd;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      break;
    }
  }
  file_close(dir);
  return -1;
}

// Copies the first length bytes of from into to, both from their start. Returns the
// count copied: length when all was.
int64_t copy_into(int from, int to, int64_t length) {
  constexpr size_t kPiece = size_t{1} << 20;
  std::vector<char> buffer;
  int64_t done = 0;
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<int64_t>(length - done, kPiece));
    loff_t in = done;
    loff_t out = done;
    ssize_t n = sys_retry([&] { return copy_file_range(from, &in, to, &out, want, 0); });
    if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      buffer.resize(kPiece);
      n = sys_retry([&] { return pread(from, buffer.data(), want, done); });
      if (n > 0) n = sys_retry([&] { return pwrite(to, buffer.data(), static_cast<size_t>(n), done); });
    }
    if (n <= 0) break;
    done += n;
  }
  return done;
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

// Gives the complete temporary file the path's name. Returns false on failure; a name the
// temporary file got on the way is left in temp_name for the caller to remove.
bool name_temp(FileReplacement* r) {
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

// Copies the gathered bytes into the file written in place, from its start, and cuts it
// to them. The file is emptied on the disk first and grows with the copy, so a copy that
// is cut short however it ends (killed, or the power gone) leaves it shorter than the
// new one, never at its old size with new bytes in it; one that fails is cut to what was
// copied.
bool copy_in_place(FileReplacement* r) {
  off_t size = lseek(r->fd, 0, SEEK_CUR);
  if (size < 0) return false;
  if (ftruncate(r->target_fd, 0) != 0 || fdatasync(r->target_fd) != 0) {
    r->failure = SysOutcome::incomplete;
    return false;
  }
  int64_t copied = copy_into(r->fd, r->target_fd, size);
  if (copied == size && ftruncate(r->target_fd, size) == 0) return fdatasync(r->target_fd) == 0;
  int saved = errno;
  (void)!ftruncate(r->target_fd, copied);
  r->failure = SysOutcome::incomplete;
  errno = saved;
  return false;
}

// True while the path still names the folder that was found at the beginning.
bool folder_still_there(const FileReplacement& r) {
  struct stat now {};
  return stat(r.path_folder.c_str(), &now) == 0 && now.st_dev == r.path_folder_id[0] &&
         now.st_ino == r.path_folder_id[1];
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

int file_open_scratch() { return make_staging_file(); }

int64_t file_read_at(int fd, void* buffer, size_t length, int64_t offset) {
  return sys_retry([&] { return pread(fd, buffer, length, static_cast<off_t>(offset)); });
}

void file_replacement_start_writeback(FileReplacement* replacement, int64_t offset, int64_t length) {
  if (replacement->kind == FILE_SAVE_STREAM) return;
  int fd = replacement->fd;
  int saved = errno;
  sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
  errno = saved;
}

void file_close(int fd) { sys_close(fd); }

int file_replacement_fd(const FileReplacement* replacement) { return replacement->fd; }

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
  file_close(walked);
  if (r.folder_fd < 0) return false;
  auto fail = [&] {
    abort_replacement(r);
    return false;
  };
  int entry = sys_retry([&] { return openat(r.folder_fd, r.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
  struct stat st {};
  if (entry < 0 && errno != ENOENT) return fail();
  if (entry >= 0 && (fstat(entry, &st) != 0 || S_ISLNK(st.st_mode))) {
    file_close(entry);
    errno = ESTALE;  // a link put there since the walk
    return fail();
  }
  if (entry >= 0 && foreign_in_shared_folder(r.folder_fd, st)) {
    file_close(entry);
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
        r.fd = make_staging_file();
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
  file_close(entry);
  return r.fd >= 0 || fail();
}

}  // namespace

FileReplacement* file_replacement_begin(const char* path, int told, SysOutcome* failure) {
  auto* r = new (std::nothrow) FileReplacement;
  if (!r) {
    *failure = SysOutcome::exhausted;
    return nullptr;
  }
  r->told_fd = told;
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
  if (ok) g_stored.store(true);
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
  record_partial(r);
  sys_close(r.folder_fd);
  r.folder_fd = -1;
  errno = saved;
}

}  // namespace

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

bool file_replacement_end_process() {
  g_ending.store(getpid());
  // A step on this very thread (a fatal stop inside it) cannot be waited for.
  while (!t_in_step && g_steps_running.load() > 0) {
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
  int folder = g_partial_folder.exchange(-1);
  if (folder >= 0) unlinkat(folder, g_partial_name, 0);
  return g_stored.load();
}
