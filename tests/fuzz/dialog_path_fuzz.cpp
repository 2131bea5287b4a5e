// The file dialog's handling of its arguments: any initial path, title and filter, and any
// answer the back end gives, leave a result of at most PATH_MAX - 1 bytes with the area's top at
// its end; the proposed name is valid or empty, and it is the initial path's last part.
#include <cstring>
#include <string>

#include "dialogs/file_dialog.h"
#include "dialogs/gui.h"
#include "fuzz_support.h"
#include "strings/area.h"

namespace {

std::string g_answer, g_seen_name, g_seen_directory;
bool g_had_directory = false;

int32_t answer_box(WindowHandle, const char*, const char*, uint32_t) { return 1; }

int32_t answer_dialog(FileDialogRequest* request) {
  g_seen_name = request->file;
  g_had_directory = request->initial_directory != nullptr;
  g_seen_directory = request->initial_directory ? request->initial_directory : "";
  fuzz_check(std::strlen(request->file) < static_cast<size_t>(request->file_size), "proposed name fits");
  if (g_answer.size() + 1 > static_cast<size_t>(request->file_size)) return 0;
  std::memcpy(request->file, g_answer.c_str(), g_answer.size() + 1);
  return 1;
}

const GuiBackend kBackend = {"fuzz", nullptr, answer_box, answer_dialog};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_runtime_once();
  gui_set_backend(&kBackend);
  // Four texts separated by zero bytes: initial path, filter, title, answer.
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string parts[4];
  size_t at = 0;
  for (std::string& part : parts) {
    size_t end = input.find('\0', at);
    part = input.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? input.size() : end + 1;
  }
  g_answer = parts[3];
  const std::string& initial = parts[0];

  int32_t mark = str_area_top();
  char* result = file_dialog(parts[2].c_str(), initial.c_str(), parts[1].c_str(),
                             static_cast<int32_t>(size % 7), static_cast<int32_t>(size & 1), 0, mark);
  size_t length = std::strlen(result);
  fuzz_check(length < static_cast<size_t>(FILE_DIALOG_BUFFER_SIZE), "at most PATH_MAX - 1 bytes");
  fuzz_check(str_area_top() == mark + static_cast<int32_t>(length), "top at the result's end");
  fuzz_check(
      std::string(result) == (g_answer.size() < static_cast<size_t>(FILE_DIALOG_BUFFER_SIZE) ? g_answer : ""),
      "the answer, or empty");
  str_area_reset(mark);

  fuzz_check(g_seen_name.empty() || is_valid_file_name(g_seen_name.c_str()), "proposed name valid or empty");
  fuzz_check(g_had_directory, "an initial path gives an initial folder (maybe empty)");
  size_t cut = initial.rfind('\\');
  if (cut != std::string::npos && cut > 0) {
    fuzz_check(g_seen_directory == initial.substr(0, cut),
               "the folder is what stands before the last backslash");
    std::string name = initial.substr(cut + 1).substr(0, FILE_DIALOG_BUFFER_SIZE - 1);
    fuzz_check(g_seen_name.empty() || g_seen_name == name, "the name is what stands behind it");
  } else {
    fuzz_check(g_seen_directory.empty(), "no backslash: no folder");
  }
  gui_set_backend(nullptr);
  return 0;
}
