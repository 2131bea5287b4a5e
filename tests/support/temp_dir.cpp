#include "support/temp_dir.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path name = fs::temp_directory_path() / ("kv-test-" + std::to_string(random()));
    std::error_code error;
    if (!fs::create_directory(name, error)) continue;
    fs::permissions(name, fs::perms::owner_all, error);  // for this user alone
    path_ = fs::canonical(name).string();
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> temporary_files(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    if (entry.path().filename().string().find(".part") != std::string::npos) found.push_back(entry.path().string());
  return found;
}

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool wait_until(const std::function<bool()>& done, int timeout_ms, int step_ms) {
  for (int64_t end = now_ms() + timeout_ms; now_ms() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
  return done();
}
