// What the Windows back end's files share: text between UTF-8 and UTF-16, paths in the
// form the wide calls take, and the system's error codes told as the outcomes the layers
// above read.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "platform/descriptors.h"
#include "platform/outcome.h"

// UTF-16 of UTF-8 text and back; invalid sequences become U+FFFD.
std::wstring win_wide(const std::string& text);
std::string win_utf8(const wchar_t* text, size_t length);
inline std::string win_utf8(const std::wstring& text) { return win_utf8(text.data(), text.size()); }

// The wide path for a file call: absolute, with "\\?\" in front where it is longer than
// the classic limit, so long paths work.
std::wstring win_file_path(const std::string& path);

// Leaves the outcome a Win32 error (GetLastError) or a Winsock error (WSAGetLastError)
// stands for as the calling thread's (sys_outcome).
void win_set_outcome(DWORD error);
void win_set_socket_outcome(int error);

// The handle behind a standard stream; INVALID_HANDLE_VALUE or null when there is none.
HANDLE win_handle(StdStream stream);
