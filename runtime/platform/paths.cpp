#include "platform/paths.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

std::string path_absolute(const std::string& typed) {
  if (typed == "~" || typed.rfind("~/", 0) == 0) {
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + typed.substr(1);
  }
  if (!typed.empty() && typed[0] == '/') return typed;
  char here[PATH_MAX];
  if (!getcwd(here, sizeof here)) return std::string();
  std::string result(here);
  if (result.back() != '/') result += '/';
  return result + typed;
}

bool path_resolve_folder(const std::string& folder, std::string* resolved) {
  char buffer[PATH_MAX];
  if (!realpath(folder.c_str(), buffer) || !path_is_folder(buffer)) return false;
  *resolved = buffer;
  return true;
}

bool path_is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}
