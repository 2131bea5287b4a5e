#include "dialogs/file_dialog.h"

#include <cstring>

#include "core/heaps.h"
#include "dialogs/gui.h"
#include "dialogs/modal_guard.h"
#include "strings/area.h"

char* file_dialog_buffer = nullptr;
char* file_dialog_multi_buffer = nullptr;
char file_dialog_directory[FILE_DIALOG_BUFFER_SIZE];

namespace {

constexpr int32_t kResultMax = FILE_DIALOG_BUFFER_SIZE - 1;

void release(char** block) {
  rt_free(*block);
  *block = nullptr;
}

int32_t length_of(const char* text) { return static_cast<int32_t>(std::strlen(text)); }

// Copies at most size - 1 bytes of text into buffer and terminates it.
void copy_bounded(char* buffer, int32_t size, const char* text) {
  int32_t n = static_cast<int32_t>(strnlen(text, static_cast<size_t>(size - 1)));
  str_copy(buffer, text, n);
}

// The result of a confirmed multiple selection: one path as it stands, or the folder
// joined with the first name. Empty when it would not fit the result.
void take_multiple(const char* buffer, int32_t size, char* result) {
  int32_t first = static_cast<int32_t>(strnlen(buffer, static_cast<size_t>(size)));
  if (first >= size - 1 || buffer[first + 1] == 0) {
    if (first <= kResultMax) str_copy(result, buffer, first);
    return;
  }
  if (first == 0 || first > kResultMax - 1) return;
  str_copy(file_dialog_directory, buffer, first);
  if (file_dialog_directory[first - 1] != '/') {
    file_dialog_directory[first] = '/';
    file_dialog_directory[first + 1] = 0;
  }
  const char* name = buffer + first + 1;
  size_t name_length = strnlen(name, static_cast<size_t>(size - first - 1));
  size_t directory_length = std::strlen(file_dialog_directory);
  if (directory_length + name_length > static_cast<size_t>(kResultMax)) return;
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result): str_copy below ends the text.
  std::memcpy(result, file_dialog_directory, directory_length);
  str_copy(result + directory_length, name, static_cast<int32_t>(name_length));
}

// Steps up to the dialog itself. Returns true when the user confirmed a choice; false
// when the dialog was cancelled, failed, or could not be shown for want of memory.
bool show(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
          int32_t kind, bool multiple, char* buffer, int32_t size) {
  if (!filter) filter = "";
  int32_t filter_length = length_of(filter);
  char* filter_block = static_cast<char*>(rt_alloc(static_cast<size_t>(filter_length) + 3));
  if (!filter_block) return false;
  std::memcpy(filter_block, filter, static_cast<size_t>(filter_length));
  for (int32_t i = 0; i < filter_length; ++i)
    if (filter_block[i] == '|') filter_block[i] = 0;

  char* directory_copy = nullptr;
  const char* initial_directory = nullptr;
  if (initial_path) {
    int32_t path_length = length_of(initial_path);
    directory_copy = static_cast<char*>(rt_alloc(static_cast<size_t>(path_length) + 2));
    if (!directory_copy) {
      rt_free(filter_block);
      return false;
    }
    std::memcpy(directory_copy, initial_path, static_cast<size_t>(path_length));
    int32_t cut = 0;
    for (int32_t i = path_length - 1; i >= 1; --i) {
      if (directory_copy[i] == '\\') {
        cut = i;
        break;
      }
    }
    if (cut > 0) {
      directory_copy[cut] = 0;
      initial_directory = directory_copy;
      copy_bounded(buffer, size, directory_copy + cut + 1);
    } else {
      initial_directory = "";
      copy_bounded(buffer, size, initial_path);
    }
    if (!is_valid_file_name(buffer)) buffer[0] = 0;
  }

  FileDialogRequest request{};
  request.owner = owner_window();
  request.kind = kind;
  request.title = title;
  request.initial_directory = initial_directory;
  request.file = buffer;
  request.file_size = size;
  request.filter = filter_block;
  request.filter_index = pattern_index + 1;
  request.flags = multiple ? FILE_DIALOG_MULTI_FLAGS : FILE_DIALOG_FLAGS;

  modal_guard_enter();
  bool confirmed = gui_backend()->file_dialog(&request) != 0;
  modal_guard_leave();

  rt_free(filter_block);
  rt_free(directory_copy);
  return confirmed;
}

}  // namespace

char* file_dialog(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
                  int32_t kind, uint32_t options, int32_t position) {
  release(&file_dialog_buffer);
  bool multiple = (options & 1) != 0;
  // An open dialog releases the multiple-selection buffer of an earlier call; a save
  // dialog keeps it, unless it needs a new one itself.
  if (kind == 0 || multiple) release(&file_dialog_multi_buffer);

  char* buffer;
  int32_t size;
  if (multiple) {
    file_dialog_multi_buffer = static_cast<char*>(rt_alloc(FILE_DIALOG_MULTI_BUFFER_SIZE));
    buffer = file_dialog_multi_buffer;
    size = FILE_DIALOG_MULTI_BUFFER_SIZE;
  } else {
    file_dialog_buffer = static_cast<char*>(rt_alloc(FILE_DIALOG_BUFFER_SIZE));
    buffer = file_dialog_buffer;
    size = FILE_DIALOG_BUFFER_SIZE;
  }
  bool confirmed = buffer && show(title, initial_path, filter, pattern_index, kind, multiple, buffer, size);

  char* result = str_area_reserve(FILE_DIALOG_BUFFER_SIZE, position);
  result[0] = 0;
  if (confirmed) {
    if (multiple)
      take_multiple(buffer, size, result);
    else
      copy_bounded(result, FILE_DIALOG_BUFFER_SIZE, buffer);
  }
  str_area_release(FILE_DIALOG_BUFFER_SIZE - length_of(result));
  return result;
}

char* file_dialog_save(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
                       int32_t position) {
  return file_dialog(title, initial_path, filter, pattern_index, 1, 0, position);
}

char* file_dialog_open(const char* title, const char* initial_path, const char* filter, int32_t pattern_index,
                       int32_t position) {
  return file_dialog(title, initial_path, filter, pattern_index, 0, 0, position);
}

bool is_valid_file_name(const char* text) {
  if (!text || !*text) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    if (*p < 32) return false;
    if (std::strchr("\"*/:<>?\\|", *p)) return false;
  }
  return true;
}

void file_dialog_forget_buffers() {
  file_dialog_buffer = nullptr;
  file_dialog_multi_buffer = nullptr;
}
