// A private Xvfb display for tests that drive GTK windows with xdotool the way a user
// would, on a free display of its own, stopped at the end; when a step misses its
// deadline, a screenshot of the display is left in the build folder. Each XSessionTest
// has one; a test may start more, for several displays at once.
#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/x_client.h"

class XSession {
 public:
  static constexpr int kStepMs = 20000;
  // How long GTK's file name entry may still change after it has taken the last key: it
  // reads the typed folder in the background, and its completion looks at the text again
  // 100 ms after the last change.
  static constexpr int kSettleMs = 200;

  // Starts the server; its programs get a home and a runtime folder below the folder.
  void start(const std::string& in) {
    folder = in;
    for (const char* sub : {"", "/home", "/run"}) mkdir((folder + sub).c_str(), 0700);
    ASSERT_TRUE(start_xvfb(find_program("Xvfb"))) << "Xvfb did not start";
    ASSERT_TRUE(x.open(display)) << "no connection to Xvfb";
  }

  // The server is asked to end: a killed one would leave its lock and socket behind.
  ~XSession() {
    x.close();
    if (xvfb.pid() >= 0) xvfb.signal(SIGTERM), xvfb.wait_exit(2000);
  }

  // -displayfd lets the server pick a free display number and tell it once it is ready.
  // GLX is left out: setting it up takes half of the server's start, and a dialog never
  // uses GL (a GTK that went for it would still load the GL library, which the tests see).
  bool start_xvfb(const std::string& path) {
    ChildOptions options;
    options.args = {path, "-displayfd", "1", "-screen", "0", "1280x1024x24", "-extension", "GLX"};
    options.args.insert(options.args.end(), {"-nolisten", "tcp", "-noreset"});
    if (!xvfb.start(options)) return false;
    xvfb.close_input();
    static const std::regex number("(^|\n)([0-9]+)\n");  // among the server's warnings
    std::smatch found;
    if (!xvfb.wait_until([&] { return std::regex_search(xvfb.output(), found, number); }, 15000)) return false;
    display = ":" + found[2].str();
    return true;
  }

  std::map<std::string, std::optional<std::string>> environment() {
    return {{"DISPLAY", display}, {"HOME", folder + "/home"}, {"XDG_RUNTIME_DIR", folder + "/run"},
            {"XDG_CONFIG_HOME", std::nullopt}, {"XDG_DATA_HOME", std::nullopt}, {"XDG_CACHE_HOME", std::nullopt},
            {"GSETTINGS_BACKEND", "memory"}, {"NO_AT_BRIDGE", "1"}, {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
            {"WAYLAND_DISPLAY", std::nullopt}, {"KV_DIALOGS", std::nullopt}, {"LC_ALL", "C.UTF-8"}};
  }

  // Runs xdotool (or another X tool); returns its output, or nullopt when it failed.
  std::optional<std::string> tool(std::vector<std::string> args) {
    ChildOptions options;
    options.args = std::move(args);
    options.args[0] = find_program(options.args[0]);
    options.env = environment();
    ChildProcess run;
    if (!run.start(options)) return std::nullopt;
    run.close_input();
    return run.wait_exit(kStepMs) == 0 ? std::optional(run.output()) : std::nullopt;
  }

  void screenshot() {
    if (find_program("import").empty()) return;
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    tool({"import", "-window", "root", std::string(KV_BUILD_DIR) + "/screenshot-" + name + display + "-timeout.png"});
  }

  // Waits for a visible window whose name matches; returns its id or empty.
  std::string find_window(const std::string& name) {
    for (int64_t end = now_ms() + kStepMs; now_ms() < end;) {
      auto found = tool({"xdotool", "search", "--onlyvisible", "--name", name});
      if (found && !found->empty()) return found->substr(0, found->find('\n'));
      x.wait_for_map(50);  // looks again as soon as a window comes up
    }
    screenshot();
    return std::string();
  }

  bool window_visible(const std::string& name) {
    auto found = tool({"xdotool", "search", "--onlyvisible", "--name", name});
    return found && !found->empty();
  }

  // Focuses the window, types the text, then presses the key once the window has settled.
  // A key pressed while GTK's entry completion is still to come is lost (its list pops up
  // or goes and takes the key from the dialog), so after typing this waits until GTK took
  // every key and its completion had its turn.
  void type_into(const std::string& window, const std::vector<std::string>& keys_first,
                 const std::string& text, const std::string& final_key) {
    std::vector<std::string> args = {"xdotool", "windowfocus", "--sync", window};
    for (const auto& key : keys_first) args.insert(args.end(), {"key", key});
    if (!text.empty()) args.insert(args.end(), {"type", "--delay", "0", text});  // takes the rest
    ASSERT_TRUE(tool(args));
    if (!keys_first.empty() || !text.empty()) {
      ASSERT_TRUE(x.ping(window, kStepMs)) << "every key was taken";
      usleep(kSettleMs * 1000);
      // The second answer is to a ping that came after a turn in which all that was due
      // had run.
      ASSERT_TRUE(x.ping(window, kStepMs) && x.ping(window, kStepMs)) << "the window settled";
    }
    ASSERT_TRUE(tool({"xdotool", "key", final_key}));
  }

  std::string folder, display;
  ChildProcess xvfb;
  XClient x;
};

class XSessionTest : public ::testing::Test, public XSession {
 protected:
  void SetUp() override {
    if (find_program("Xvfb").empty() || find_program("xdotool").empty()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
    ASSERT_FALSE(dir.path().empty());
    ASSERT_NO_FATAL_FAILURE(start(dir.path()));
  }

  TempDir dir;
};
