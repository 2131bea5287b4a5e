#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/replacement.h"

namespace {
constexpr char kAclName[] = "system.posix_acl_access";

// The access-control list of the file open as fd (also as a path only), as the system
// stores it; empty when it has none beyond its mode.
}  // namespace

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
