#include "platform/transfer_file.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <random>

#include "platform/common/fd.h"
#include "platform/paths.h"
#include "platform/windows/win_util.h"

// The bytes of a reception go into a temporary file beside the target, marked to be
// deleted when it is closed, so no ending of the process leaves it behind. Once complete
// it is flushed, unmarked, and takes the target's name: ReplaceFileW over an existing
// file (which keeps that file's security descriptor; its attributes are handed on before),
// MoveFileExW for a new one. The old file stays whole until then. A device or pipe is written into.

// A reception's file: the bytes go to fd; for a file, a temporary beside the target.
struct FileReplacement {
  int fd = -1;
  bool stream = false;    // a device or a pipe, written into
  bool existed = false;   // a file was there to be replaced
  bool flushed = false;
  std::wstring target;    // the whole path of the file the bytes are for
  std::wstring temp;      // the temporary file beside it; empty: none
};

namespace {

// What a replaced file hands on to the file that takes its place.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

std::mutex g_temp_lock;
std::wstring g_temp;  // the temporary file of the replacement in progress

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

int descriptor_for(HANDLE h, int flags) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    sys_set_outcome(SysOutcome::exhausted);
  }
  return fd;
}

// Leaves the last system error as the outcome; returns -1 (for counts) or false (for
// outcomes).
int fail() {
  win_set_outcome(GetLastError());
  return -1;
}
bool failed() { return fail() == 0; }

bool set_delete_on_close(HANDLE h, bool on) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = on;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info) != 0;
}

std::wstring temp_beside(const std::wstring& target) {
  static const wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 mix(std::random_device{}() ^ GetCurrentProcessId() ^ GetTickCount());
  std::wstring out = target + L".part";
  for (int i = 0; i < 6; ++i) out += kLetters[mix() % (sizeof kLetters / sizeof kLetters[0] - 1)];
  return out;
}

void record_temp(const std::wstring& temp) {
  std::lock_guard<std::mutex> hold(g_temp_lock);
  g_temp = temp;
}

}  // namespace

FileFd file_open_regular(const char* path, int64_t* size) {
  std::wstring wide = win_file_path(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return file_fd(fail());
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    sys_set_outcome(SysOutcome::folder);
    return FILE_NONE;
  }
  HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return file_fd(fail());
  LARGE_INTEGER length{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &length)) {
    CloseHandle(h);
    sys_set_outcome(SysOutcome::not_regular);
    return FILE_NONE;
  }
  if (size) *size = length.QuadPart;
  return file_fd(descriptor_for(h, _O_RDONLY));
}

int64_t file_read_at(FileFd fd, void* buffer, size_t length, int64_t offset) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
  if (!ReadFile(handle_of(sys_fd(fd)), buffer, want, &got, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    return fail();
  }
  return got;
}

void file_close(FileFd fd) {
  if (sys_fd(fd) < 0) return;
  _close(sys_fd(fd));
}

FileFd file_open_scratch() {
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"kv", 0, name) == 0) return file_fd(fail());
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    fail();
    DeleteFileW(name);
    return FILE_NONE;
  }
  return file_fd(descriptor_for(h, _O_RDWR));
}

namespace {

bool begin_replacement(FileReplacement& r, const char* path) {
  r.target = win_file_path(path);
  DWORD attributes = GetFileAttributesW(r.target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    sys_set_outcome(SysOutcome::folder);
    return false;
  }
  // A device or a pipe ("NUL", "\\.\pipe\...") is written into, never replaced.
  HANDLE probe = CreateFileW(r.target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  if (probe != INVALID_HANDLE_VALUE) {
    if (GetFileType(probe) != FILE_TYPE_DISK) {
      r.fd = descriptor_for(probe, _O_WRONLY);
      r.stream = true;
      return r.fd >= 0;
    }
    CloseHandle(probe);
  }
  r.existed = attributes != INVALID_FILE_ATTRIBUTES;
  HANDLE h = INVALID_HANDLE_VALUE;
  std::wstring temp;
  for (int attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = temp_beside(r.target);
    h = CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) return failed();
  }
  if (h == INVALID_HANDLE_VALUE) return failed();
  if (!set_delete_on_close(h, true)) record_temp(temp);
  r.fd = descriptor_for(h, _O_WRONLY);
  if (r.fd < 0) {
    DeleteFileW(temp.c_str());
    return false;
  }
  r.temp = temp;
  return true;
}

// Closes the file and removes a temporary one; the outcome is kept.
void abort_replacement(FileReplacement& r) {
  if (r.fd >= 0) _close(r.fd);  // a temporary file marked for deletion goes with its handle
  r.fd = -1;
  if (!r.temp.empty()) DeleteFileW(r.temp.c_str());
  r.temp.clear();
  record_temp(std::wstring());
}

bool commit_replacement(FileReplacement& r) {
  if (r.fd < 0) return false;
  if (r.stream) {
    bool ok = _close(r.fd) == 0;
    if (!ok) win_set_outcome(GetLastError());  // the C library's close fails where the system's does
    r.fd = -1;
    return ok;
  }
  HANDLE h = handle_of(r.fd);
  if (!file_replacement_flush(&r) || !set_delete_on_close(h, false)) {
    win_set_outcome(GetLastError());
    abort_replacement(r);
    return false;
  }
  _close(r.fd);
  r.fd = -1;
  bool ok = false;
  // The old file's attributes go to the new one first: the plain move keeps none, and not
  // every ReplaceFileW (wine's) does.
  DWORD kept = r.existed ? GetFileAttributesW(r.target.c_str()) : INVALID_FILE_ATTRIBUTES;
  if (kept != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(r.temp.c_str(), kept & kKeptAttributes);
  if (r.existed)
    ok = ReplaceFileW(r.target.c_str(), r.temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                      nullptr);
  // A file that is gone by now, or a system without ReplaceFileW, takes the plain move.
  if (!ok) ok = MoveFileExW(r.temp.c_str(), r.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) {
    win_set_outcome(GetLastError());
    DeleteFileW(r.temp.c_str());
  }
  record_temp(std::wstring());
  r.temp.clear();
  return ok;
}

}  // namespace

FileReplacement* file_replacement_begin(const char* path, SockFd, SysOutcome* failure) {
  auto* r = new (std::nothrow) FileReplacement;
  if (!r) {
    *failure = SysOutcome::exhausted;
    return nullptr;
  }
  if (begin_replacement(*r, path)) return r;
  *failure = sys_outcome();
  delete r;
  return nullptr;
}

FileFd file_replacement_fd(const FileReplacement* replacement) { return file_fd(replacement->fd); }

bool file_replacement_is_stream(const FileReplacement* replacement) { return replacement->stream; }

// The bytes always go to the file beside the target.
bool file_replacement_gathers_elsewhere(const FileReplacement*) { return false; }

bool file_replacement_flush(FileReplacement* replacement) {
  FileReplacement& r = *replacement;
  if (r.fd < 0) return false;
  if (r.stream || r.flushed) return true;
  r.flushed = FlushFileBuffers(handle_of(r.fd)) != 0;
  if (!r.flushed) win_set_outcome(GetLastError());
  return r.flushed;
}

SysOutcome file_replacement_commit(FileReplacement* replacement) {
  bool ok = commit_replacement(*replacement);
  SysOutcome outcome = ok ? SysOutcome::ok : sys_outcome();
  abort_replacement(*replacement);
  delete replacement;
  return outcome;
}

SysOutcome file_replacement_abort(FileReplacement* replacement) {
  if (!replacement) return SysOutcome::ok;
  abort_replacement(*replacement);
  delete replacement;
  return SysOutcome::ok;
}

bool file_replacement_end_process() {
  std::unique_lock<std::mutex> hold(g_temp_lock, std::try_to_lock);
  if (hold.owns_lock() && !g_temp.empty()) DeleteFileW(g_temp.c_str());
  return false;  // the status told is the main flow's
}

// The system's writes wait until the target takes the bytes: there is nothing to wait for
// beyond them.
int64_t file_write_some(FileFd fd, const void* buffer, size_t length, int) {
  DWORD written = 0;
  DWORD want = static_cast<DWORD>(std::min<size_t>(length, 1u << 30));
  if (!WriteFile(handle_of(sys_fd(fd)), buffer, want, &written, nullptr)) return fail();
  return written;
}
