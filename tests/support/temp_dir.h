// A fresh folder for one test, removed with everything in it at the end of the scope,
// whole-file reads and writes, and the one way the tests wait: for a condition, with a
// deadline.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder's full path without symbolic links; empty when it could not be made.
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The file's bytes; empty when it cannot be read.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The names of the named temporary files (".part") in the folder and below it.
std::vector<std::string> temporary_files(const std::string& folder);

// Milliseconds on the steady clock.
int64_t now_ms();
// Asks done() about every step_ms until it holds or timeout_ms have passed. Returns its
// last answer.
bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000, int step_ms = 1);
