#include "platform/process.h"

#include <cstring>
#include <vector>

#include "platform/paths.h"
#include "platform/windows/win_util.h"

#include <shellapi.h>

namespace {
std::wstring module_file_name() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return std::wstring();
    if (n < name.size()) {
      name.resize(n);
      return name;
    }
    name.resize(name.size() * 2);
  }
}
}  // namespace

char** process_arguments(int* argc, char** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return argv;
  texts.clear();
  for (int i = 0; i < count; ++i) texts.push_back(win_utf8(wide[i], wcslen(wide[i])));
  LocalFree(wide);
  pointers.clear();
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  *argc = count;
  return pointers.data();
}

void process_exit_now(int code) { ExitProcess(static_cast<UINT>(code)); }

void process_report_error(const char* what) {
  std::string folder;
  std::string name;
  path_split(win_utf8(module_file_name()), &folder, &name);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
  std::string line = name + ": " + what + "\r\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

uint32_t process_id() { return GetCurrentProcessId(); }

uint32_t process_thread_id() { return GetCurrentThreadId(); }

const std::string& process_program_folder() {
  static const std::string folder = [] {
    std::string path = win_utf8(module_file_name());
    if (path.empty()) return path;
    std::string here;
    std::string name;
    path_split(path, &here, &name);
    return path_join(here, "");
  }();
  return folder;
}
