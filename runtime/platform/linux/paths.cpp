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

size_t path_max_bytes() { return PATH_MAX; }

bool path_is_folder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void path_split(const std::string& path, std::string* folder, std::string* name) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    *folder = ".";
    *name = path;
  } else {
    *folder = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

std::string path_join(const std::string& folder, const std::string& name) {
  return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}
