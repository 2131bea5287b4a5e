#include "platform/desktop.h"

#include <cstring>
#include <string>

#include "platform/windows/win_util.h"

#include <commdlg.h>

namespace {
// The text of a list of zero-terminated texts that ends in an extra zero, whole.
size_t list_length(const char* list) {
  size_t n = 0;
  while (list[n]) n += std::strlen(list + n) + 1;
  return n + 1;
}
}  // namespace


namespace {
bool desktop_available() {
  // A window station the user sees (not a service's), and one where a window can be made:
  // wine without a display makes none, and its dialogs would return as if cancelled.
  static const bool available = [] {
    USEROBJECTFLAGS flags{};
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, nullptr) ||
        !(flags.dwFlags & WSF_VISIBLE))
      return false;
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!probe) return false;
    DestroyWindow(probe);
    return GetDesktopWindow() != nullptr && GetSystemMetrics(SM_CXSCREEN) > 0;
  }();
  return available;
}

int32_t message_box(void* owner, const char* caption, const char* text, uint32_t flags) {
  if (!desktop_available()) return -1;
  int result = MessageBoxW(static_cast<HWND>(owner), win_wide(text ? text : "").c_str(),
                           win_wide(caption ? caption : "Error").c_str(), flags);
  return result > 0 ? result : 0;
}

int32_t file_dialog(void* owner, bool save, const char* title, const char* initial_folder, char* file,
                    int32_t file_size, const char* filter, int32_t filter_index, uint32_t flags) {
  if (!desktop_available()) return -1;
  std::wstring filters = win_wide(std::string(filter, list_length(filter)));
  std::wstring wide_title = win_wide(title ? title : "");
  std::wstring folder = win_wide(initial_folder ? initial_folder : "");
  // Room for the longest path and, with several files, for many names.
  std::wstring names = win_wide(file);
  names.resize(std::max<size_t>(static_cast<size_t>(file_size), 32768), L'\0');

  OPENFILENAMEW request{};
  request.lStructSize = sizeof request;
  request.hwndOwner = static_cast<HWND>(owner);
  request.lpstrFilter = filters.c_str();
  request.nFilterIndex = static_cast<DWORD>(filter_index);
  request.lpstrFile = names.data();
  request.nMaxFile = static_cast<DWORD>(names.size());
  request.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  request.lpstrTitle = title ? wide_title.c_str() : nullptr;
  request.Flags = flags;
  if (!(save ? GetSaveFileNameW(&request) : GetOpenFileNameW(&request))) return 0;

  // One path, or the folder and the names: zero-terminated texts up to an empty one.
  std::string result;
  for (size_t at = 0; at < names.size() && names[at];) {
    size_t end = names.find(L'\0', at);
    result += win_utf8(names.data() + at, end - at);
    result += '\0';
    at = end + 1;
  }
  if (result.size() + 1 > static_cast<size_t>(file_size)) return 0;
  std::memcpy(file, result.data(), result.size());
  file[result.size()] = '\0';
  return 1;
}

}  // namespace

// The system's own dialogs are always there; no module is ever loaded.
DesktopOffer desktop_offer(const DesktopLibrary&, int, bool) {
  static const DesktopDialogs dialogs = {message_box, file_dialog};
  DesktopOffer offer;
  offer.system = &dialogs;
  return offer;
}
