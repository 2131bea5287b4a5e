// A private Xvfb display for tests that drive GTK windows with xdotool the way a user
// would. Each test starts its own X server on a free display and stops it afterwards; when
// a step misses its deadline, a screenshot of the display is left in the build folder.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "support/child_process.h"
#include "support/temp_dir.h"

class XSessionTest : public ::testing::Test {
 protected:
  static constexpr int kStepMs = 20000;

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

  // Runs xdotool (or another X tool); returns its output, or nullopt when it failed.
  std::optional<std::string> tool(std::vector<std::string> args) {
    ChildOptions options;
    options.args = std::move(args);
    options.args[0] = find_program(options.args[0]);
    options.env = environment();
    ChildProcess run;
    if (!run.start(options)) return std::nullopt;
    run.close_input();
    if (run.wait_exit(kStepMs) != 0) return std::nullopt;
    return run.output();
  }

  void screenshot() {
    if (find_program("import").empty()) return;
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    tool({"import", "-window", "root", std::string(KV_BUILD_DIR) + "/screenshot-" + name + "-timeout.png"});
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

  TempDir dir;
  std::string home;
  std::string display;
  pid_t xvfb_pid = -1;
};
