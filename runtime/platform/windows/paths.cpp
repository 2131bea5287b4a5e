#include "platform/paths.h"

#include <cstdlib>

#include "platform/windows/win_util.h"

namespace {
bool is_separator(char c) { return c == '\\' || c == '/'; }

// The length of the root a path starts with: "C:\", "\\server\share\", "\" or "".
size_t root_length(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return path.size() >= 3 && is_separator(path[2]) ? 3 : 2;
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    size_t end = path.find_first_of("\\/", 2);
    end = end == std::string::npos ? path.size() : path.find_first_of("\\/", end + 1);
    return end == std::string::npos ? path.size() : end + 1;
  }
  return !path.empty() && is_separator(path[0]) ? 1 : 0;
}

DWORD attributes(const std::string& path) { return GetFileAttributesW(win_file_path(path).c_str()); }
}  // namespace

std::string path_absolute(const std::string& typed) {
  std::string path = typed;
  if (typed == "~" || typed.rfind("~/", 0) == 0 || typed.rfind("~\\", 0) == 0) {
    const char* home = std::getenv("USERPROFILE");
    if (home && *home) path = std::string(home) + typed.substr(1);
  }
  std::wstring wide = win_wide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return std::string();
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  // The system drops a trailing dot or space; the typed name stays as typed.
  std::string result = win_utf8(full);
  if (!typed.empty() && is_separator(typed.back()) && !result.empty() && !is_separator(result.back()))
    result += '\\';
  return result;
}

bool path_resolve_folder(const std::string& folder, std::string* resolved) {
  std::string full = path_absolute(folder);
  if (full.empty() || !path_is_folder(full)) return false;
  while (full.size() > root_length(full) && is_separator(full.back())) full.pop_back();
  *resolved = full;
  return true;
}

// Far above the classic 260: the wide calls take long paths through "\\?\".
size_t path_max_bytes() { return 4096; }

bool path_is_folder(const std::string& path) {
  DWORD a = attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool path_exists(const std::string& path) { return attributes(path) != INVALID_FILE_ATTRIBUTES; }

void path_split(const std::string& path, std::string* folder, std::string* name) {
  size_t root = root_length(path);
  size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos || slash < root) {
    *folder = root > 0 ? path.substr(0, root) : ".";
    *name = path.substr(root);
  } else {
    *folder = path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

std::string path_join(const std::string& folder, const std::string& name) {
  return !folder.empty() && (is_separator(folder.back()) || folder.back() == ':') ? folder + name
                                                                                  : folder + "\\" + name;
}
