#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/linux/replacement.h"
#include "platform/linux/sys_retry.h"
#include "platform/linux/test_helper.h"

namespace {
std::atomic<bool> g_unnamed_allowed{true};
}  // namespace


// A name for a temporary file beside name: name.partXXXXXX, or .partXXXXXX when name is
// too long to carry the suffix.
static std::string temp_name_for(const std::string& name) {
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
static int make_named_temp(int folder, const std::string& name, mode_t mode, std::string* temp) {
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
  sys_close(fd);
  return !fixed;
}

// An unnamed file in the folder. Returns -1 with errno EOPNOTSUPP where the file system
// has none (or the tests switched them off).
static int open_unnamed(int folder, mode_t mode) {
  errno = EOPNOTSUPP;
  if (!g_unnamed_allowed.load(std::memory_order_relaxed)) return -1;
  int fd = sys_retry([&] { return openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode); });
  if (fd < 0 && (errno == EISDIR || errno == EINVAL)) errno = EOPNOTSUPP;
  return fd;
}

// Makes the temporary file where the bytes wait before they take the name: one without a name
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
  if (fd >= 0) record_temp(*r);
  return fd;
}

// An unnamed file in dir where bytes wait until they are copied into a file written in
// place. Returns the descriptor or -1.
static int make_temp_elsewhere_in(const char* dir) {
  int folder = open_folder(dir);
  if (folder < 0) return -1;
  int fd = open_unnamed(folder, 0600);
  std::string name;
  if (fd < 0 && errno == EOPNOTSUPP) {
    EndingHeld step;  // the name goes again at once: an ending must not come between
    if (!step.refused()) fd = make_named_temp(folder, "kelvane", 0600, &name);
    if (fd >= 0) unlinkat(folder, name.c_str(), 0);
  }
  sys_close(folder);
  return fd;
}

// The temporary file in the folder of TMPDIR, or in /tmp where TMPDIR names none or one that
// cannot take it.
int make_temp_elsewhere() {
  const char* dir = std::getenv("TMPDIR");
  int fd = dir && *dir ? make_temp_elsewhere_in(dir) : -1;
  return fd >= 0 ? fd : make_temp_elsewhere_in("/tmp");
}

// Copies the first length bytes of from into to, both from their start. Returns the
// count copied: length when all was.
static int64_t copy_into(int from, int to, int64_t length) {
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
static bool name_unnamed(int fd, int folder, const std::string& link_name) {
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
  if (fd != folder) sys_close(fd);
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
        record_temp(*r);
      } else if (errno != EEXIST) {
        return false;
      }
    }
    if (r->temp_name.empty()) return false;
  }
  if (renameat(r->folder_fd, r->temp_name.c_str(), r->folder_fd, r->name.c_str()) != 0) return false;
  r->temp_name.clear();
  record_temp(*r);
  return true;
}

// Copies the temporary file's bytes into the file written in place, from its start, and cuts it
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

void file_allow_unnamed(bool allowed) { g_unnamed_allowed.store(allowed, std::memory_order_relaxed); }
