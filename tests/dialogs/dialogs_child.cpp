// Shows dialogs one after the other as the receiver and sender do and reports each
// outcome on standard output, for tests that drive it from outside (pipes, a
// pseudo-terminal, GTK under Xvfb). Steps: save|open|multi TITLE INITIAL, box CAPTION
// TEXT [FLAGS] or cd FOLDER; at the end [raw] [hold]. "raw" opens the console in raw mode
// first, as the programs do. After each dialog it prints RESULT[text], TOP+n (how far the
// area's top moved), the back end, the current directory, the locale and whether a GL
// library is loaded. "hold" then waits for the end of standard input, so a test can look
// at the screen.
#include <unistd.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "console/console.h"
#include "app/lifecycle.h"
#include "dialogs/file_dialog.h"
#include "dialogs/gui.h"
#include "dialogs/message_box.h"
#include "strings/area.h"

namespace {

bool gl_loaded() {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);)
    for (const char* lib : {"libGL.so", "libGLX", "libEGL", "_dri.so", "libgallium"})
      if (line.find(lib) != std::string::npos) return true;
  return false;
}

void report(const std::string& result, int32_t moved) {
  char here[4096];
  std::printf("\nRESULT[%s]\nTOP+%d\nBACKEND %s\nCWD %s\nLOCALE %s\nGL %s\n", result.c_str(), moved,
              gui_backend()->name, getcwd(here, sizeof here) ? here : "?", std::setlocale(LC_ALL, nullptr),
              gl_loaded() ? "loaded" : "none");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  alarm(120);  // never outlives a test that lost track of it
  auto last_is = [&](const char* word) { return std::strcmp(argv[argc - 1], word) == 0 && argc--; };
  bool hold = last_is("hold"), raw = last_is("raw");
  runtime_start();
  if (raw) {
    console_open();
    console_set_raw_mode(1);
  }
  for (int i = 1; i + 1 < argc;) {
    std::string command = argv[i];
    if (command == "cd") {
      if (chdir(argv[i + 1]) != 0) return 2;
      i += 2;
      continue;
    }
    if (i + 2 >= argc) return 2;
    int32_t mark = str_area_top();
    if (command == "box") {
      bool flagged = i + 3 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 3][0]));
      uint32_t flags = flagged ? static_cast<uint32_t>(std::strtoul(argv[i + 3], nullptr, 0)) : 0;
      int32_t id = flags ? message_box(argv[i + 1], argv[i + 2], flags) : message_box_ok(argv[i + 1], argv[i + 2]);
      report(std::to_string(id), 0);
      i += flagged ? 4 : 3;
    } else {
      const char* initial = argv[i + 2];
      const char* filter = "Alle Dateien (*.*)|*.*";
      char* text = command == "save"   ? file_dialog_save(argv[i + 1], initial, filter, 0, mark)
                   : command == "open" ? file_dialog_open(argv[i + 1], initial, filter, 0, mark)
                                       : file_dialog(argv[i + 1], initial, filter, 0, 0, 1, mark);
      report(text, str_area_top() - mark);
      str_area_reset(mark);
      i += 3;
    }
  }
  for (char byte; hold && read(STDIN_FILENO, &byte, 1) > 0;) {}
  runtime_exit();
}
