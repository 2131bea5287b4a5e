#include "platform/outcome.h"

#include "platform/windows/win_util.h"

// Each thread keeps the outcome of its last failed call here; the system's codes are told
// in the layers' terms as they fail.

namespace {
thread_local SysOutcome t_outcome = SysOutcome::ok;

SysOutcome win_outcome(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS: return SysOutcome::ok;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_DIRECTORY: return SysOutcome::not_found;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return SysOutcome::no_permission;
    case ERROR_WRITE_PROTECT: return SysOutcome::read_only;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return SysOutcome::disk_full;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES: return SysOutcome::exhausted;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: return SysOutcome::closed;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: return SysOutcome::unsupported;
    // What a file call says of a name or handle that is no disk file.
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE: return SysOutcome::not_regular;
    default: return SysOutcome::other;
  }
}

SysOutcome win_socket_outcome(int error) {
  switch (error) {
    case 0: return SysOutcome::ok;
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEALREADY: return SysOutcome::would_block;
    case WSAETIMEDOUT: return SysOutcome::timed_out;
    case WSAECONNRESET:
    case WSAENETRESET: return SysOutcome::reset;
    case WSAECONNABORTED:
    case WSAENOTCONN:
    case WSAESHUTDOWN: return SysOutcome::closed;
    case WSAECONNREFUSED: return SysOutcome::refused;
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH: return SysOutcome::host_unreachable;
    case WSAENETDOWN:
    case WSAENETUNREACH: return SysOutcome::network_unreachable;
    case WSAEADDRINUSE: return SysOutcome::address_in_use;
    case WSAEADDRNOTAVAIL:
    case WSAEAFNOSUPPORT:
    case WSAEPROTONOSUPPORT:
    case WSAENOPROTOOPT: return SysOutcome::no_family;
    case WSAEMFILE:
    case WSAENOBUFS: return SysOutcome::exhausted;
    case WSAEACCES: return SysOutcome::no_permission;
    case WSAEOPNOTSUPP: return SysOutcome::unsupported;
    default: return SysOutcome::other;
  }
}

}  // namespace

SysOutcome sys_outcome() { return t_outcome; }

void sys_set_outcome(SysOutcome outcome) { t_outcome = outcome; }

void win_set_outcome(DWORD error) { sys_set_outcome(win_outcome(error)); }

void win_set_socket_outcome(int error) { sys_set_outcome(win_socket_outcome(error)); }
