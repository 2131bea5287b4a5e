#include "platform/outcome.h"

#include <cerrno>

// The system leaves its own code of a failure in errno, per thread: the outcome is read
// from there, so no call pays for it unless a caller asks.
SysOutcome sys_outcome() {
  switch (errno) {
    case 0: return SysOutcome::ok;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return SysOutcome::would_block;
    case ETIMEDOUT: return SysOutcome::timed_out;
    case ECONNRESET: return SysOutcome::reset;
    case ECONNABORTED:
    case ENOTCONN:
#ifdef ESHUTDOWN
    case ESHUTDOWN:
#endif
    case EPIPE: return SysOutcome::closed;
    case ECONNREFUSED: return SysOutcome::refused;
#ifdef EHOSTDOWN
    case EHOSTDOWN:
#endif
    case EHOSTUNREACH: return SysOutcome::host_unreachable;
#ifdef ENETDOWN
    case ENETDOWN:
#endif
    case ENETUNREACH: return SysOutcome::network_unreachable;
    case EADDRINUSE: return SysOutcome::address_in_use;
    case EAFNOSUPPORT:
    case EADDRNOTAVAIL:
    case EPROTONOSUPPORT:
    case ENOPROTOOPT: return SysOutcome::no_family;
    case EMFILE:
#ifdef ENFILE
    case ENFILE:
#endif
    case ENOBUFS:
    case ENOMEM: return SysOutcome::exhausted;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return SysOutcome::disk_full;
    case EROFS: return SysOutcome::read_only;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return SysOutcome::not_found;
    case EACCES:
    case EPERM: return SysOutcome::no_permission;
    case EISDIR: return SysOutcome::folder;
    case EINVAL: return SysOutcome::not_regular;
    case ENOSYS: return SysOutcome::unsupported;
    default: return SysOutcome::other;
  }
}

void sys_set_outcome(SysOutcome outcome) {
  switch (outcome) {
    case SysOutcome::ok: errno = 0; break;
    case SysOutcome::would_block: errno = EAGAIN; break;
    case SysOutcome::timed_out: errno = ETIMEDOUT; break;
    case SysOutcome::reset: errno = ECONNRESET; break;
    case SysOutcome::closed: errno = ENOTCONN; break;
    default: errno = EIO; break;
  }
}
