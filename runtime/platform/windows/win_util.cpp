#include "platform/windows/win_util.h"

#include <io.h>

#include <cerrno>

std::wstring win_wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string win_utf8(const wchar_t* text, size_t length) {
  if (length == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring win_file_path(const std::string& path) {
  std::wstring wide = win_wide(path);
  if (wide.rfind(L"\\\\", 0) == 0) return wide;  // a "\\?\" or network path as it stands
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  if (full.size() < MAX_PATH - 12) return full;
  return L"\\\\?\\" + full;
}

void win_set_errno(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_NAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: errno = EACCES; break;
    case ERROR_WRITE_PROTECT: errno = EROFS; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_TOO_MANY_OPEN_FILES: errno = EMFILE; break;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA: errno = EPIPE; break;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: errno = ENOSYS; break;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_HANDLE: errno = EINVAL; break;
    default: errno = EIO;
  }
}

void win_set_errno_socket(int error) {
  switch (error) {
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS:
    case WSAEALREADY: errno = EAGAIN; break;
    case WSAEINTR: errno = EINTR; break;
    case WSAECONNABORTED: errno = ECONNABORTED; break;
    case WSAECONNRESET:
    case WSAENETRESET: errno = ECONNRESET; break;
    case WSAENOTCONN: errno = ENOTCONN; break;
    case WSAESHUTDOWN: errno = EPIPE; break;
    case WSAECONNREFUSED: errno = ECONNREFUSED; break;
    case WSAETIMEDOUT: errno = ETIMEDOUT; break;
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH: errno = EHOSTUNREACH; break;
    case WSAEADDRINUSE: errno = EADDRINUSE; break;
    case WSAEADDRNOTAVAIL: errno = EADDRNOTAVAIL; break;
    case WSAEAFNOSUPPORT: errno = EAFNOSUPPORT; break;
    case WSAEPROTONOSUPPORT: errno = EPROTONOSUPPORT; break;
    case WSAENOPROTOOPT: errno = ENOPROTOOPT; break;
    case WSAEMFILE: errno = EMFILE; break;
    case WSAENOBUFS: errno = ENOBUFS; break;
    case WSAEMSGSIZE: errno = EMSGSIZE; break;
    case WSAEACCES: errno = EACCES; break;
    case WSAEINVAL:
    case WSAENOTSOCK:
    case WSAEOPNOTSUPP: errno = EINVAL; break;
    default: errno = EIO;
  }
}

HANDLE win_handle(StdStream stream) {
  switch (stream) {
    case StdStream::input: return GetStdHandle(STD_INPUT_HANDLE);
    case StdStream::output: return GetStdHandle(STD_OUTPUT_HANDLE);
    case StdStream::error: return GetStdHandle(STD_ERROR_HANDLE);
  }
  return INVALID_HANDLE_VALUE;
}
