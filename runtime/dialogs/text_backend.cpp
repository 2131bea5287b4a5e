#include "dialogs/text_backend.h"

#include <cctype>
#include <climits>
#include <cstring>

#include "console/console.h"
#include "console/display.h"
#include "dialogs/file_dialog.h"
#include "dialogs/message_box.h"
#include "platform/paths.h"
#include "strings/area.h"

namespace {

// True when the answer is the label's beginning, upper or lower case alike.
bool starts_label(const std::string& answer, const char* label) {
  if (answer.size() > std::strlen(label)) return false;
  for (size_t i = 0; i < answer.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(answer[i])) !=
        std::tolower(static_cast<unsigned char>(label[i])))
      return false;
  return true;
}

void print_line(const std::string& text) { console_print_line(text.c_str()); }

// Reads one line through the console; false at the end of input. A line longer than the
// screen is wide scrolls sideways as it is typed.
bool read_line(std::string* line) {
  int32_t mark = str_area_top();
  char* text = console_input_line(mark);
  bool ended = console_input_ended(text);
  line->assign(str_area_base() + mark);
  str_area_reset(mark);
  return !ended;
}

// Prints every line of the text on a line of its own; a final line feed ends the last
// line, it does not add an empty one.
void print_lines(const char* text) {
  const char* p = text ? text : "";
  do {
    const char* end = std::strchr(p, '\n');
    std::string line = end ? std::string(p, static_cast<size_t>(end - p)) : std::string(p);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    print_line(console_visible(line.data(), line.size()));
    p = end ? end + 1 : nullptr;
  } while (p && *p);
}

const char* button_label(int32_t id) {
  switch (id) {
    case IDCANCEL: return "Cancel";
    case IDABORT: return "Abort";
    case IDRETRY: return "Retry";
    case IDIGNORE: return "Ignore";
    case IDYES: return "Yes";
    case IDNO: return "No";
    default: return "OK";
  }
}

int32_t text_message_box(WindowHandle, const char* caption, const char* text, uint32_t flags) {
  int32_t ids[3];
  int32_t count = message_box_buttons(flags, ids);
  int32_t preset = ids[message_box_default_index(flags)];
  std::string prompt;
  for (int32_t i = 0; i < count; ++i) {
    if (i) prompt += " / ";
    prompt += button_label(ids[i]);
  }
  prompt = count == 1 ? "(Enter) " : prompt + " (Enter = " + button_label(preset) + "): ";

  print_line("");
  print_lines(caption ? caption : "Error");
  print_lines(text);
  for (;;) {
    console_print(prompt.c_str());
    std::string answer;
    if (!read_line(&answer)) {
      int32_t closed = message_box_close_result(flags);
      return closed ? closed : preset;
    }
    if (count == 1 || answer.empty()) return preset;
    for (int32_t i = 0; i < count; ++i) {
      const char* label = button_label(ids[i]);
      if (answer == std::to_string(i + 1) || starts_label(answer, label)) return ids[i];
    }
  }
}

const size_t kPathMax = path_max_bytes();

// Where a typed path leads: the absolute path to return, or why it is asked again.
enum class Verdict { Taken, AskAgain, Cancel };

Verdict judge(const std::string& typed, uint32_t flags, std::string* result, std::string* why) {
  std::string full = path_absolute(typed);
  if (full.empty()) return Verdict::Cancel;
  if (full.size() >= kPathMax) {  // the system takes no longer path
    *why = FILE_DIALOG_TOO_LONG;
    return Verdict::AskAgain;
  }
  if (path_is_folder(full)) {
    *why = "Das ist ein Ordner: " + console_visible(full.data(), full.size());
    return Verdict::AskAgain;
  }
  std::string folder;
  std::string name;
  path_split(full, &folder, &name);
  std::string resolved;
  if (path_resolve_folder(folder, &resolved)) {
    folder = resolved;
  } else if (flags & OFN_PATHMUSTEXIST) {
    *why = "Der Ordner existiert nicht: " + console_visible(folder.data(), folder.size());
    return Verdict::AskAgain;
  }
  if (name.empty()) {
    *why = "Kein Dateiname: " + console_visible(full.data(), full.size());
    return Verdict::AskAgain;
  }
  *result = path_join(folder, name);
  if (result->size() >= kPathMax) {  // the folder's links made it longer
    *why = FILE_DIALOG_TOO_LONG;
    return Verdict::AskAgain;
  }
  if ((flags & OFN_FILEMUSTEXIST) && !path_exists(*result)) {
    *why = "Die Datei existiert nicht: " + console_visible(result->data(), result->size());
    return Verdict::AskAgain;
  }
  return Verdict::Taken;
}

int32_t text_file_dialog(FileDialogRequest* request) {
  const char* title = request->title ? request->title : request->kind == 1 ? "Speichern unter" : "Oeffnen";
  print_line("");
  print_line(console_visible(title, std::strlen(title)));
  for (;;) {
    console_print("Pfad: ");
    std::string typed;
    if (!read_line(&typed) || typed.empty()) return 0;
    std::string result;
    std::string why;
    Verdict verdict = judge(typed, request->flags, &result, &why);
    if (verdict == Verdict::Taken && result.size() >= static_cast<size_t>(request->file_size)) {
      verdict = Verdict::AskAgain;  // the caller's buffer cannot hold it
      why = FILE_DIALOG_TOO_LONG;
    }
    if (verdict == Verdict::Cancel) return 0;
    if (verdict == Verdict::AskAgain) {
      print_line(why);
      continue;
    }
    std::memcpy(request->file, result.c_str(), result.size() + 1);
    // A folder-and-names list ends in two zero bytes; one path has nothing behind it.
    if (result.size() + 1 < static_cast<size_t>(request->file_size)) request->file[result.size() + 1] = 0;
    return 1;
  }
}

}  // namespace

const GuiBackend text_backend = {"text", nullptr, text_message_box, text_file_dialog};

std::string text_save_path_refusal(const char* path) {
  std::string result;
  std::string why;
  if (judge(path ? path : "", OFN_PATHMUSTEXIST, &result, &why) == Verdict::Cancel)
    why = "Kein Dateiname: " + console_visible(path ? path : "", path ? std::strlen(path) : 0);
  return why;
}

