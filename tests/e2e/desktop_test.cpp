// The receiver on a desktop: its save dialog is a GTK window, answered with xdotool, while
// the rest of the dialogue stays on the terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <thread>

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

// A local X display whose socket (in the abstract namespace, where X clients look first)
// the test holds: one that closes every connection at once, as a server refusing a client
// does, or one that takes connections and never answers.
struct FakeDisplay {
  explicit FakeDisplay(bool answers) {
    for (int n = 3000 + getpid() % 3000; listener < 0 && n < 9000; ++n) {
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un sa{};
      sa.sun_family = AF_UNIX;
      std::string path = "/tmp/.X11-unix/X" + std::to_string(n);
      std::memcpy(sa.sun_path + 1, path.data(), path.size());
      auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + path.size());
      if (bind(fd, reinterpret_cast<sockaddr*>(&sa), length) == 0 && listen(fd, 8) == 0) {
        listener = fd;
        name = ":" + std::to_string(n);
      } else {
        close(fd);
      }
    }
    if (answers)
      closer = std::thread([this] {
        for (pollfd p{listener, POLLIN, 0}; !stop; p.revents = 0)
          if (poll(&p, 1, 20) > 0) close(accept(listener, nullptr, nullptr));
      });
  }
  ~FakeDisplay() {
    stop = true;
    if (closer.joinable()) closer.join();
    close(listener);
  }
  std::string name;
  int listener = -1;
  std::atomic<bool> stop{false};
  std::thread closer;
};

enum class Display { kNone, kRefusing, kAnswering, kSilentLocal, kSilentHost };

// Where the program runs from and which GTK module lies where, and whether it is loaded.
// The module is taken only from beside the program or from the installation's lib/kelvane/
// folder beside its bin/, never from a file or folder that another user or a group other
// than root's may write to (a group write bit counts for the tests' own group when they do
// not run as root): a copied program loads nothing from the build folder it came from. GTK
// is loaded only for a display that answers within two seconds.
struct ModuleCase {
  const char* name;
  Display display;
  const char* program;  // empty: the built program; else its copy at this path in a fresh folder
  const char* module;   // where the copy's module is put (empty: none)
  mode_t folder_mode;   // of the folder the copy lies in; its group is nogroup when root runs the tests
  mode_t module_mode;   // of the module put there, its group likewise
  const char* loaded;   // the module mapped: "built" (the build folder's), a path in the
                        // fresh folder, or empty: none
};

const ModuleCase kModuleCases[] = {
    {"built, no display", Display::kNone, "", "", 0700, 0644, ""},
    {"built, nothing at the display", Display::kRefusing, "", "", 0700, 0644, ""},
    {"built, a display that answers", Display::kAnswering, "", "", 0700, 0644, "built"},
    {"built, a local display that never answers", Display::kSilentLocal, "", "", 0700, 0644, ""},
    {"built, a display on a host that drops packets", Display::kSilentHost, "", "", 0700, 0644, ""},
    {"copied alone, old build folder not used", Display::kAnswering, "bin/Kelvane", "", 0755, 0644, ""},
    {"copied into an installation", Display::kAnswering, "bin/Kelvane", "lib/kelvane/libkvgtk.so", 0755, 0644,
     "lib/kelvane/libkvgtk.so"},
    {"copied with the module beside", Display::kAnswering, "Kelvane", "libkvgtk.so", 0755, 0644,
     "libkvgtk.so"},
    {"copied into a folder anyone may write", Display::kAnswering, "Kelvane", "libkvgtk.so", 01777, 0644, ""},
    {"copied into a folder its group may write", Display::kAnswering, "Kelvane", "libkvgtk.so", 0775, 0644,
     ""},
    {"copied with a module its group may write", Display::kAnswering, "Kelvane", "libkvgtk.so", 0755, 0664,
     ""},
};

// The dialogs fall back to the terminal whenever GTK does not start, and in time.
TEST(DialogChoice, GtkIsLoadedOnlyForADisplayThatAnswersAndFromTrustedPlaces) {
  constexpr gid_t kNogroup = 65534;
  for (const ModuleCase& c : kModuleCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string program = e2e::kReceiverProgram;
    if (*c.program) {
      program = dir / c.program;
      std::string folder = std::filesystem::path(program).parent_path();
      std::filesystem::create_directories(folder);
      chmod(folder.c_str(), c.folder_mode);
      if (geteuid() == 0) {
        EXPECT_EQ(chown(folder.c_str(), 0, kNogroup), 0);
      }
      copy_file(e2e::kReceiverProgram, program, 0755);
    }
    if (*c.module) {
      std::filesystem::create_directories(std::filesystem::path(dir / c.module).parent_path());
      copy_file(KV_BUILD_DIR "/libkvgtk.so", dir / c.module, c.module_mode);
      if (geteuid() == 0) {
        EXPECT_EQ(chown((dir / c.module).c_str(), 0, c.module_mode & S_IWGRP ? kNogroup : 0), 0);
      }
    }
    ChildOptions options = e2e::text_mode(program);
    options.env["KV_DIALOGS"] = std::nullopt;
    FakeDisplay local(c.display == Display::kAnswering);
    int silent_port = free_port(), filler = -1, host = -1;
    while (silent_port < 6000) silent_port = free_port();
    if (c.display == Display::kRefusing) options.env["DISPLAY"] = ":4242";
    if (c.display == Display::kAnswering || c.display == Display::kSilentLocal)
      options.env["DISPLAY"] = local.name;
    if (c.display == Display::kSilentHost) {
      host = listen_silently(silent_port, &filler);
      ASSERT_GE(host, 0);
      options.env["DISPLAY"] = "127.0.0.1:" + std::to_string(silent_port - 6000);
    }
    ChildProcess receiver(options);
    ASSERT_TRUE(receiver.wait_for("Bitte Ort zum speichern auswaehlen", 5000)) << receiver.output();
    EXPECT_TRUE(receiver.wait_for("Pfad: ")) << "the text dialog asks";
    std::string maps = mapped(receiver.pid());
    bool expected = *c.loaded != 0;
    EXPECT_EQ(maps.find("libkvgtk") != std::string::npos, expected) << maps;
    EXPECT_EQ(maps.find("libgtk-3") != std::string::npos, expected);
    if (expected) {
      std::string module = std::strcmp(c.loaded, "built") == 0 ? KV_BUILD_DIR "/libkvgtk.so" : dir / c.loaded;
      EXPECT_NE(maps.find(module), std::string::npos) << maps;
    }
    if (host >= 0) close(host);
    if (filler >= 0) close(filler);
  }
}

}  // namespace
