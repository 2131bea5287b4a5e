#include "platform/windows/win_util.h"

#include <io.h>

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

HANDLE win_handle(StdStream stream) {
  switch (stream) {
    case StdStream::input: return GetStdHandle(STD_INPUT_HANDLE);
    case StdStream::output: return GetStdHandle(STD_OUTPUT_HANDLE);
    case StdStream::error: return GetStdHandle(STD_ERROR_HANDLE);
  }
  return INVALID_HANDLE_VALUE;
}
