#include "platform/linux/module.h"

#include <climits>
#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/process.h"

namespace {
// The path without links when only root or this user can have put the file there: the
// file and the folder it really lies in belong to one of them and no other user and no
// group but root's may write to them. Returns the empty text otherwise, or when there is
// no such file.
std::string trusted_path(const std::string& path) {
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return std::string();
  std::string file(real);
  std::string folder;
  std::string name;
  path_split(file, &folder, &name);
  for (const std::string& p : {file, folder}) {
    struct stat st {};
    if (stat(p.c_str(), &st) != 0) return std::string();
    if (st.st_uid != 0 && st.st_uid != geteuid()) return std::string();
    // Write access of a group other than root's is write access of others too.
    if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0)) return std::string();
  }
  return file;
}
}  // namespace

void* module_load_symbol(const char* file_name, const char* relative_folder, const char* symbol) {
  const std::string& folder = process_program_folder();
  if (folder.empty()) return nullptr;
  for (const std::string& place : {folder + file_name, folder + relative_folder + "/" + file_name}) {
    std::string path = trusted_path(place);
    if (path.empty()) continue;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) continue;
    if (void* found = dlsym(module, symbol)) return found;
    dlclose(module);
  }
  return nullptr;
}
