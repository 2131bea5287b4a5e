// The receiver on a desktop: its save dialog is a GTK window, answered with xdotool, while
// the rest of the dialogue stays on the terminal.
#include <utility>

#include "e2e_support.h"
#include "tests/support/x_session.h"

namespace {

using DesktopTest = XSessionTest;

TEST_F(DesktopTest, ReceiverTakesItsSavePathFromTheGtkDialog) {
  ChildOptions options = e2e::text_mode(e2e::kQuickReceiver);
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

// Copies the file with the given mode.
void copy_file(const std::string& from, const std::string& to, mode_t mode) {
  write_file(to, read_file(from));
  chmod(to.c_str(), mode);
}

// Where the program runs from and which GTK module lies where, and whether it is loaded.
// The module is taken only from beside the program or from the installation's lib/kelvane/
// folder beside its bin/, never from a file or folder that others or a group other than
// root's may write to: a copied program loads nothing from the build folder it came from.
// GTK is loaded only for a display that answers in time.
struct ModuleCase {
  const char* name;
  // none (empty), nothing there (":4242"), "answering", "silent" (drops packets), "never answering"
  const char* display;
  const char* program;  // empty: the built program; else its copy at this path in a fresh folder
  const char* module;   // where the copy's module is put (empty: none)
  mode_t folder_mode;   // of the folder the copy lies in, and of the module (group nogroup when root)
  mode_t module_mode;
  const char* loaded;  // the module mapped: "built" (the build folder's), a path in the fresh folder, or none
};

const ModuleCase kModuleCases[] = {
    {"built, no display", "", "", "", 0700, 0644, ""},
    {"built, nothing at the display", ":4242", "", "", 0700, 0644, ""},
    {"built, a display that answers", "answering", "", "", 0700, 0644, "built"},
    {"built, a display on a host that drops packets", "silent", "", "", 0700, 0644, ""},
    {"built, a display that takes connections and never answers", "never answering", "", "", 0700, 0644, ""},
    {"built, a display that stalls after one byte of its answer", "stalling", "", "", 0700, 0644, ""},
    {"copied alone, old build folder not used", "answering", "bin/Kelvane", "", 0755, 0644, ""},
    {"copied into an installation", "answering", "bin/Kelvane", "lib/kelvane/libkvgtk.so", 0755, 0644,
     "lib/kelvane/libkvgtk.so"},
    {"copied with the module beside", "answering", "Kelvane", "libkvgtk.so", 0755, 0644, "libkvgtk.so"},
    {"copied into a folder anyone may write", "answering", "Kelvane", "libkvgtk.so", 01777, 0644, ""},
    {"copied into a folder its group may write", "answering", "Kelvane", "libkvgtk.so", 0775, 0644, ""},
    {"copied with a module its group may write", "answering", "Kelvane", "libkvgtk.so", 0755, 0664, ""},
};

// The dialogs fall back to the terminal whenever GTK does not start, and in time. The
// cases run side by side: the silent displays cost their probe's two seconds once. Every
// program is copied before the first starts, so no probe waits on the copying.
TEST(DialogChoice, GtkIsLoadedOnlyForADisplayThatAnswersAndFromTrustedPlaces) {
  constexpr gid_t kNogroup = 65534;
  struct Run {
    TempDir dir;
    int listener = -1, filler = -1;
    ChildOptions options;
    std::unique_ptr<ChildProcess> receiver;
  };
  std::vector<std::unique_ptr<Run>> runs;
  for (const ModuleCase& c : kModuleCases) {
    runs.push_back(std::make_unique<Run>());
    Run& run = *runs.back();
    TempDir& dir = run.dir;
    std::string program = e2e::kReceiverProgram;
    if (*c.program) {
      program = dir / c.program;
      const std::string folder = std::filesystem::path(program).parent_path();
      std::filesystem::create_directories(folder);
      chmod(folder.c_str(), c.folder_mode);
      EXPECT_TRUE(geteuid() != 0 || chown(folder.c_str(), 0, kNogroup) == 0);
      copy_file(e2e::kReceiverProgram, program, 0755);
    }
    if (*c.module) {
      std::filesystem::create_directories(std::filesystem::path(dir / c.module).parent_path());
      copy_file(KV_BUILD_DIR "/libkvgtk.so", dir / c.module, c.module_mode);
      EXPECT_TRUE(geteuid() != 0 || chown((dir / c.module).c_str(), 0, kNogroup) == 0);
    }
    ChildOptions& options = run.options = e2e::text_mode(program);
    options.env["KV_DIALOGS"] = std::nullopt;
    int port = free_port();
    while (port < 6000) port = free_port();  // an X display's number is its port less 6000
    std::string kind = c.display;
    bool taking = kind == "answering" || kind == "never answering" || kind == "stalling";
    run.listener = kind == "silent" ? listen_silently(port, &run.filler) : taking ? listen_on(port) : -1;
    if (*c.display)
      options.env["DISPLAY"] = run.listener >= 0 ? "127.0.0.1:" + std::to_string(port - 6000) : kind;
  }
  for (auto& run : runs) run->receiver = std::make_unique<ChildProcess>(run->options);
  // Each probe is answered by an end as soon as it comes, whichever comes first; GTK,
  // which asks next, is refused.
  for (int round = 0; round < 500; ++round) {
    bool waiting = false;
    for (size_t i = 0; i < runs.size(); ++i) {
      std::string kind = kModuleCases[i].display;
      if ((kind != "answering" && kind != "stalling") || runs[i]->listener < 0) continue;
      int conn = accept_within(runs[i]->listener, 10);
      if (conn >= 0) close(std::exchange(runs[i]->listener, -1));
      if (conn >= 0 && kind == "stalling") send_all(conn, "\1"), runs[i]->filler = std::exchange(conn, -1);
      close(conn);
      waiting = waiting || conn < 0;
    }
    if (!waiting) break;
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const ModuleCase& c = kModuleCases[i];
    Run& run = *runs[i];
    SCOPED_TRACE(c.name);
    ChildProcess& receiver = *run.receiver;
    ASSERT_TRUE(receiver.wait_for("Bitte Ort zum speichern auswaehlen", 5000)) << receiver.output();
    EXPECT_TRUE(receiver.wait_for("Pfad: ")) << "the text dialog asks";
    std::string maps = read_file("/proc/" + std::to_string(receiver.pid()) + "/maps");  // one file a line
    bool expected = *c.loaded != 0;
    EXPECT_EQ(maps.find("libkvgtk") != std::string::npos, expected) << maps;
    EXPECT_EQ(maps.find("libgtk-3") != std::string::npos, expected);
    if (expected) {
      std::string module =
          std::strcmp(c.loaded, "built") == 0 ? KV_BUILD_DIR "/libkvgtk.so" : run.dir / c.loaded;
      EXPECT_NE(maps.find(module), std::string::npos) << maps;
    }
    for (int fd : {run.listener, run.filler}) close(fd);
  }
}

}  // namespace
