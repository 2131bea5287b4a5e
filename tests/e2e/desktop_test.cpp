// The receiver on a desktop: its save dialog is a GTK window, answered with xdotool, while
// the rest of the dialogue stays on the terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "e2e_support.h"
#include "tests/support/x_session.h"

namespace {

using DesktopTest = XSessionTest;

TEST_F(DesktopTest, ReceiverTakesItsSavePathFromTheGtkDialog) {
  ChildOptions options;
  options.args = {e2e::kQuickReceiver};
  options.terminal = true;
  options.env = environment();
  options.cwd = dir.path();
  ChildProcess receiver(options);

  std::string window = find_window("Bitte Ort zum speichern auswaehlen");
  ASSERT_FALSE(window.empty()) << receiver.output();
  std::string target = dir.path() + "/empfangen.bin";
  type_into(window, {}, target, "Return");

  int port = free_port();
  ASSERT_TRUE(receiver.wait_for("Bitte den Port eingeben (1-9999): ", kStepMs)) << receiver.output();
  EXPECT_FALSE(window_visible("Bitte Ort zum speichern auswaehlen"));
  receiver.type(std::to_string(port) + "\r");
  ASSERT_TRUE(e2e::receiver_ready(receiver)) << receiver.screen_text();
  EXPECT_TRUE(receiver.wait_for("Speicherort: " + target));

  std::string content = pattern(200000);
  int fd = connect_to(port);
  ASSERT_TRUE(send_all(fd, header(static_cast<uint32_t>(content.size())) + content));
  ASSERT_TRUE(receiver.wait_for("Datei wurde hier gespeichert:")) << receiver.screen_text();
  close(fd);
  EXPECT_TRUE(read_file(target) == content);
  EXPECT_EQ(receiver.output().find("Gtk"), std::string::npos) << "nothing of GTK on the terminal";
}

}  // namespace

namespace {

// The libraries the program has mapped, one path a line.
std::string mapped(pid_t pid) { return read_file("/proc/" + std::to_string(pid) + "/maps"); }

// Copies the file with the given mode.
void copy_file(const std::string& from, const std::string& to, mode_t mode) {
  write_file(to, read_file(from));
  chmod(to.c_str(), mode);
}

// Where the program runs from and which GTK module lies where, and whether it is loaded.
// The module is taken only from beside the program or from the installation's lib/kelvane/
// folder beside its bin/, and never from a folder others may write to: a copied program
// loads nothing from the build folder it came from.
struct ModuleCase {
  const char* name;
  bool display;         // an unreachable display is set
  const char* program;  // empty: the built program; else its copy at this path in a fresh folder
  const char* module;   // where the copy's module is put (empty: none)
  mode_t folder_mode;   // of the folder the copy lies in
  const char* loaded;   // the module mapped: "built" (the build folder's), a path in the
                        // fresh folder, or empty: none
};

const ModuleCase kModuleCases[] = {
    {"built, no display", false, "", "", 0700, ""},
    {"built, unreachable display", true, "", "", 0700, "built"},
    {"copied alone, old build folder not used", true, "bin/Kelvane", "", 0755, ""},
    {"copied into an installation", true, "bin/Kelvane", "lib/kelvane/libkvgtk.so", 0755,
     "lib/kelvane/libkvgtk.so"},
    {"copied with the module beside", true, "Kelvane", "libkvgtk.so", 0755, "libkvgtk.so"},
    {"copied into a folder anyone may write", true, "Kelvane", "libkvgtk.so", 01777, ""},
};

// Without a display GTK is not even loaded; with one that cannot be opened it is loaded,
// and the dialogs still fall back to the terminal.
TEST(DialogChoice, GtkIsLoadedOnlyWhenADisplayMayBeThere) {
  for (const ModuleCase& c : kModuleCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string program = e2e::kReceiverProgram;
    if (*c.program) {
      program = dir / c.program;
      std::filesystem::create_directories(std::filesystem::path(program).parent_path());
      chmod(std::filesystem::path(program).parent_path().c_str(), c.folder_mode);
      copy_file(e2e::kReceiverProgram, program, 0755);
    }
    if (*c.module) {
      std::filesystem::create_directories(std::filesystem::path(dir / c.module).parent_path());
      copy_file(KV_BUILD_DIR "/libkvgtk.so", dir / c.module, 0644);
    }
    ChildOptions options = e2e::text_mode(program);
    options.env["KV_DIALOGS"] = std::nullopt;
    if (c.display) options.env["DISPLAY"] = ":4242";
    ChildProcess receiver(options);
    ASSERT_TRUE(receiver.wait_for("Bitte Ort zum speichern auswaehlen")) << receiver.output();
    EXPECT_TRUE(receiver.wait_for("Pfad: ")) << "the text dialog asks";
    std::string maps = mapped(receiver.pid());
    bool expected = *c.loaded != 0;
    EXPECT_EQ(maps.find("libkvgtk") != std::string::npos, expected) << maps;
    EXPECT_EQ(maps.find("libgtk-3") != std::string::npos, expected);
    if (expected) {
      std::string module = std::strcmp(c.loaded, "built") == 0 ? KV_BUILD_DIR "/libkvgtk.so" : dir / c.loaded;
      EXPECT_NE(maps.find(module), std::string::npos) << maps;
    }
  }
}

}  // namespace
