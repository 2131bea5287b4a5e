// The GTK dialogs on a private Xvfb display, driven with xdotool the way a user would.
// Each test starts its own X server on a free display and stops it afterwards. When a
// step misses its deadline, a screenshot of the display is left in the build folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "tests/dialogs/child_process.h"

namespace {

constexpr int kStepMs = 20000;

class GtkDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string xvfb = find_program("Xvfb");
    if (xvfb.empty() || find_program("xdotool").empty()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    ASSERT_FALSE(dir.path().empty());
    home = dir.path() + "/home";
    mkdir(home.c_str(), 0700);
    mkdir((dir.path() + "/run").c_str(), 0700);
    ASSERT_TRUE(start_xvfb(xvfb)) << "Xvfb did not start";
  }

  void TearDown() override {
    if (xvfb_pid > 0) {
      kill(xvfb_pid, SIGTERM);
      for (int i = 0; i < 100 && waitpid(xvfb_pid, nullptr, WNOHANG) == 0; ++i) usleep(20000);
      if (waitpid(xvfb_pid, nullptr, WNOHANG) == 0) {
        kill(xvfb_pid, SIGKILL);
        waitpid(xvfb_pid, nullptr, 0);
      }
    }
  }

  // -displayfd lets the server pick a free display number and tell it once it is ready.
  bool start_xvfb(const std::string& xvfb) {
    int ready[2];
    if (pipe(ready) != 0) return false;
    xvfb_pid = fork();
    if (xvfb_pid == 0) {
      int null_fd = open("/dev/null", O_RDWR);
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(null_fd, 2);
      if (ready[1] != 3) dup2(ready[1], 3);
      execl(xvfb.c_str(), "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
            "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(ready[1]);
    std::string number;
    struct pollfd p{ready[0], POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (number.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (poll(&p, 1, 100) <= 0) continue;
      char buffer[32];
      ssize_t n = read(ready[0], buffer, sizeof buffer);
      if (n <= 0) break;
      number.append(buffer, static_cast<size_t>(n));
    }
    close(ready[0]);
    if (number.find('\n') == std::string::npos) return false;
    display = ":" + number.substr(0, number.find('\n'));
    return true;
  }

  std::map<std::string, std::optional<std::string>> environment() {
    return {{"DISPLAY", display},
            {"HOME", home},
            {"XDG_RUNTIME_DIR", dir.path() + "/run"},
            {"XDG_CONFIG_HOME", std::nullopt},
            {"XDG_DATA_HOME", std::nullopt},
            {"XDG_CACHE_HOME", std::nullopt},
            {"GSETTINGS_BACKEND", "memory"},
            {"NO_AT_BRIDGE", "1"},
            {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"KV_DIALOGS", std::nullopt},
            {"LC_ALL", "C.UTF-8"}};
  }

  // Starts the dialog program; it holds after the dialog until its input ends.
  void start_dialog(std::vector<std::string> args, bool terminal = false,
                    std::map<std::string, std::optional<std::string>> extra = {}) {
    ChildSetup setup;
    setup.args = {child_program("dialogs_child")};
    setup.args.insert(setup.args.end(), args.begin(), args.end());
    setup.args.push_back("hold");
    setup.env = environment();
    for (auto& [k, v] : extra) setup.env[k] = v;
    setup.cwd = dir.path();
    setup.terminal = terminal;
    ASSERT_TRUE(dialog.start(setup));
  }

  // Runs xdotool (or another X tool); returns its output, or nullopt when it failed.
  std::optional<std::string> tool(std::vector<std::string> args) {
    Child run;
    ChildSetup setup;
    setup.args = std::move(args);
    setup.args[0] = find_program(setup.args[0]);
    setup.env = environment();
    if (!run.start(setup)) return std::nullopt;
    run.close_input();
    if (run.wait(kStepMs) != 0) return std::nullopt;
    return run.output();
  }

  void screenshot() {
    if (find_program("import").empty()) return;
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    tool({"import", "-window", "root", std::string(KV_BUILD_DIR) + "/dialogs-" + name + "-timeout.png"});
  }

  // Waits for a visible window whose name matches; returns its id or empty.
  std::string find_window(const std::string& name) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepMs);
    while (std::chrono::steady_clock::now() < deadline) {
      auto found = tool({"xdotool", "search", "--onlyvisible", "--name", name});
      if (found && !found->empty()) return found->substr(0, found->find('\n'));
      usleep(100000);
    }
    screenshot();
    return std::string();
  }

  bool window_visible(const std::string& name) {
    auto found = tool({"xdotool", "search", "--onlyvisible", "--name", name});
    return found && !found->empty();
  }

  // Focuses the window, types the text, then presses the key once the typing settled
  // (a key pressed too soon after typing is dropped).
  void type_into(const std::string& window, const std::vector<std::string>& keys_first, const std::string& text,
                 const std::string& final_key) {
    ASSERT_TRUE(tool({"xdotool", "windowfocus", "--sync", window}));
    usleep(300000);
    for (const auto& key : keys_first) {
      ASSERT_TRUE(tool({"xdotool", "key", key}));
      usleep(300000);
    }
    if (!text.empty()) {
      ASSERT_TRUE(tool({"xdotool", "type", "--delay", "10", text}));
    }
    usleep(400000);
    ASSERT_TRUE(tool({"xdotool", "key", final_key}));
  }

  // Waits for the dialog's report, checks the window is gone meanwhile, and ends it.
  void finish(const std::string& window_name) {
    bool reported = dialog.read_until("GL ", kStepMs) && dialog.read_until("\n", 1000);
    if (!reported) screenshot();
    ASSERT_TRUE(reported) << dialog.output();
    EXPECT_FALSE(window_visible(window_name)) << "the dialog is off the screen before the call returns";
    dialog.close_input();
    EXPECT_EQ(dialog.wait(kStepMs), 0) << dialog.output();
  }

  TempDir dir;
  std::string home;
  std::string display;
  pid_t xvfb_pid = -1;
  Child dialog;
};

// The file exists already: the dialog takes it without asking before replacing it.
TEST_F(GtkDialogTest, SaveDialogReturnsATypedFullPath) {
  std::string path = dir.path() + "/alt.bin";
  std::ofstream(path) << "alt";
  start_dialog({"save", "KvSpeichern", "C:\\"});
  std::string window = find_window("KvSpeichern");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {}, path, "Return");
  finish("KvSpeichern");
  EXPECT_EQ(dialog.result(), path);
  EXPECT_EQ(dialog.reported("TOP"), "+" + std::to_string(path.size()));
  EXPECT_EQ(dialog.reported("BACKEND"), "gtk");
  EXPECT_EQ(dialog.reported("LOCALE"), "C") << "GTK left the locale as it was";
  EXPECT_EQ(dialog.reported("GL"), "none");
  EXPECT_EQ(dialog.reported("CWD"), dir.path());
}

TEST_F(GtkDialogTest, APathOf259BytesFits) {
  std::string path = dir.path() + "/" + std::string(259 - dir.path().size() - 1, 'x');
  start_dialog({"save", "KvLang", "C:"});
  std::string window = find_window("KvLang");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {}, path, "Return");
  finish("KvLang");
  EXPECT_EQ(dialog.result(), path);
}

TEST_F(GtkDialogTest, SaveDialogStartsInTheInitialFolderWithTheProposedName) {
  start_dialog({"save", "KvVorschlag", dir.path() + "\\vorschlag.txt"});
  std::string window = find_window("KvVorschlag");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {}, "", "Return");
  finish("KvVorschlag");
  EXPECT_EQ(dialog.result(), dir.path() + "/vorschlag.txt");
}

TEST_F(GtkDialogTest, OpenDialogReturnsAPathTypedAfterCtrlL) {
  std::string path = dir.path() + "/senden.txt";
  std::ofstream(path) << "inhalt";
  start_dialog({"open", "KvOeffnen", "C:"});
  std::string window = find_window("KvOeffnen");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {"ctrl+l"}, path, "Return");
  finish("KvOeffnen");
  EXPECT_EQ(dialog.result(), path);
}

TEST_F(GtkDialogTest, EscapeCancels) {
  start_dialog({"save", "KvAbbruch", "C:\\"});
  std::string window = find_window("KvAbbruch");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {}, "", "Escape");
  finish("KvAbbruch");
  EXPECT_EQ(dialog.result(), "");
  EXPECT_EQ(dialog.reported("TOP"), "+0");
}

TEST_F(GtkDialogTest, MessageBoxTitleIsTheCaptionAndReturnGivesOk) {
  start_dialog({"box", "KvFehler!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!"});
  std::string window = find_window("KvFehler!");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {}, "", "Return");
  finish("KvFehler!");
  EXPECT_EQ(dialog.result(), "1");
}

// On a terminal none of GTK's messages may appear, even when GLib is asked for all of
// its debug output.
TEST_F(GtkDialogTest, NothingOfGtkReachesTheTerminal) {
  start_dialog({"box", "KvLeise", "Text"}, true, {{"G_MESSAGES_DEBUG", "all"}});
  std::string window = find_window("KvLeise");
  ASSERT_FALSE(window.empty()) << dialog.output();
  type_into(window, {}, "", "Return");
  ASSERT_TRUE(dialog.read_until("GL ", kStepMs)) << dialog.output();
  dialog.write_input("\x04");  // end of input on the terminal ends the hold
  EXPECT_EQ(dialog.wait(kStepMs), 0);
  EXPECT_EQ(dialog.lines().rfind("\nRESULT[1]\n", 0), 0u) << "only the program's own lines:\n" << dialog.output();
}

}  // namespace
