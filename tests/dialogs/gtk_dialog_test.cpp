// The GTK dialogs on private Xvfb displays, driven with xdotool as a user would: a few
// programs, each on a terminal and display of its own, side by side; a step past its
// deadline leaves a screenshot.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "tests/dialogs/dialog_run.h"
#include "tests/support/x_session.h"

namespace {

struct Row { std::vector<std::string> dialog, keys_first; std::string text, final_key, result; };

// One program on a terminal and display of its own shows the dialogs in turn: GTK once.
class DialogDriver : public XSession {
 public:
  // Each dialog answered as a row says; checked: its result, and that it is off the
  // screen before the call returns. With a folder named, all its files are then chosen at
  // once, up to three times: the folder is listed in the background, and a choice made
  // before the list is complete is less, and taken. None of GTK's messages may reach the
  // terminal, even with all of GLib's debug output.
  void run(const std::string& d, const std::vector<Row>& rows, const std::string& many) {
    std::vector<std::string> args;
    for (const Row& row : rows) args.insert(args.end(), row.dialog.begin(), row.dialog.end());
    if (!many.empty())
      args.insert(args.end(), {"cd", many, "multi", "KvViele", "C:", "multi", "KvViele", "C:", "multi", "KvViele", "C:"});
    args.push_back("hold");
    ChildOptions options = dialog_options(args, environment(), d);
    options.env["G_MESSAGES_DEBUG"] = "all";
    options.terminal = true;
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_TRUE(many.empty() || inotify_add_watch(watch, many.c_str(), IN_OPEN | IN_CLOSE_NOWRITE) >= 0);
    DialogChild dialog;
    ASSERT_TRUE(dialog.start(options));
    // Waits for the nth report, whole.
    auto reported = [&](size_t n) {
      bool done = dialog.wait_until([&] {
        const std::string& out = dialog.output();
        size_t gl = out.find("\nGL ", out.rfind("RESULT["));
        return dialog.reports() >= n && gl != std::string::npos && out.find('\n', gl + 1) != std::string::npos;
      }, kStepMs);
      if (!done) screenshot();
      return done;
    };
    for (size_t i = 0; i < rows.size(); ++i) {
      const Row& row = rows[i];
      SCOPED_TRACE(row.dialog[1]);
      std::string window = find_window(row.dialog[1]);
      ASSERT_FALSE(window.empty()) << dialog.output();
      ASSERT_NO_FATAL_FAILURE(type_into(window, row.keys_first, row.text, row.final_key));
      ASSERT_TRUE(reported(i + 1)) << dialog.output();
      EXPECT_FALSE(window_visible(row.dialog[1])) << "the dialog is off the screen before the call returns";
      EXPECT_EQ(dialog.result(i), row.result);
      const std::pair<const char*, std::string> reports[] = {
          {"TOP", "+" + std::to_string(row.dialog[0] == "box" ? 0 : row.result.size())},
          {"BACKEND", "gtk"}, {"LOCALE", "C"}, {"GL", "none"}, {"CWD", d}};  // LOCALE: GTK left it as it was
      for (const auto& [name, value] : reports) EXPECT_EQ(dialog.reported(name, i), value) << name;
    }
    // GTK reads the folder through a descriptor opened for each dialog and closed once
    // every name was handed over. After a choice taken too early, the next dialog is
    // answered only once it opened the folder and every descriptor of it was closed again
    // (or five seconds passed).
    int opens = 0, open_now = 0;
    auto read_through = [&](size_t dialogs) {
      alignas(inotify_event) char events[4096];
      for (ssize_t got; (got = read(watch, events, sizeof events)) > 0;)
        for (char* at = events; at < events + got;) {
          auto* event = reinterpret_cast<inotify_event*>(at);
          opens += (event->mask & IN_OPEN) != 0, open_now += event->mask & IN_OPEN ? 1 : -1;
          at += sizeof(inotify_event) + event->len;
        }
      return opens >= static_cast<int>(dialogs) && open_now == 0;
    };
    bool refused = false;
    for (size_t n = rows.size() + 1; !many.empty() && n <= rows.size() + 3; ++n) {
      dialog.wait_until([&] { return read_through(n == rows.size() + 1 ? 0 : n - rows.size()); }, 5000);
      std::string window = find_window("KvViele");
      ASSERT_FALSE(window.empty()) << dialog.output();
      // Nothing is chosen while the list is not there: the dialog stays and is asked again.
      for (int round = 0; !refused && round < 100 && dialog.reports() < n; ++round) {
        ASSERT_NO_FATAL_FAILURE(type_into(window, {"ctrl+a"}, "", "Return"));
        refused = dialog.wait_until([&] { return dialog.reports() >= n || window_visible("Error!"); }, 1000) &&
                  dialog.reports() < n;
        if (refused) {
          ASSERT_NO_FATAL_FAILURE(type_into(find_window("Error!"), {}, "", "Return"));
        }
      }
      if (dialog.reports() < n) {
        ASSERT_NO_FATAL_FAILURE(type_into(window, {}, "", "Escape"));
      }
      ASSERT_TRUE(reported(n)) << dialog.output();
    }
    EXPECT_TRUE(refused || many.empty()) << "the choice was taken";
    dialog.type("\x04");  // end of input on the terminal ends the hold
    EXPECT_EQ(dialog.wait_exit(kStepMs), 0);
    close(watch);
    std::istringstream lines(dialog.plain_output());
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(line.empty() || std::regex_search(line, std::regex("^(RESULT\\[|TOP\\+|BACKEND |CWD |LOCALE |GL )")))
          << "only the program's own lines: " << line;
  }
};

// The rows are shared among four programs answered side by side; a fifth chooses every file
// of a folder at once, which fills the multiple-selection buffer to the byte: no room
// for its last zero, refused (GTK itself refuses a typed path of PATH_MAX bytes).
TEST(GtkDialogTest, EachDialogGivesWhatWasAnsweredAndNothingOfGtkReachesTheTerminal) {
  if (find_program("Xvfb").empty() || find_program("xdotool").empty()) GTEST_SKIP() << "Xvfb or xdotool is not installed";
  TempDir dir;
  const std::string d = dir.path();
  std::string existing = d + "/alt.bin", opened = d + "/senden.txt";
  std::ofstream(existing) << "alt";
  std::ofstream(opened) << "inhalt";
  std::string long_name = d + "/" + std::string(259 - d.size() - 1, 'x');
  // Typed relative to where the dialog starts (the current folder, not GTK's recent
  // files), over 259 bytes.
  std::string folder = std::string(200, 'o');
  mkdir((d + "/" + folder).c_str(), 0700);
  std::string relative = folder + "/" + std::string(300 - d.size() - folder.size() - 2, 's');
  std::ofstream(d + "/" + relative) << "inhalt";
  // The folder with its zero, then each name with its zero: 512000 bytes. Each name but the
  // first is a link to the first: a busy disk takes seconds to make that many files.
  std::string many = d + "/viele", first;
  mkdir(many.c_str(), 0700);
  for (size_t left = 512000 - many.size() - 1, i = 0; left > 0; ++i) {
    size_t n = left > 500 ? 250 : left > 251 ? left / 2 : left - 1;
    std::string name = many + "/" + std::string(n - 5, 'n') + std::to_string(10000 + i);
    if (first.empty()) std::ofstream(first = name);
    ASSERT_TRUE(first == name || link(first.c_str(), name.c_str()) == 0) << name;
    left -= n + 1;
  }
  const std::vector<Row> rows[] = {{
      // The file exists already: taken without asking before replacing it.
      {{"save", "KvSpeichern", "C:\\"}, {}, existing, "Return", existing},
      {{"save", "KvVorschlag", d + "\\vorschlag.txt"}, {}, "", "Return", d + "/vorschlag.txt"},
  }, {
      {{"save", "KvLang", "C:"}, {}, long_name, "Return", long_name},
      {{"save", "KvAbbruch", "C:\\"}, {}, "", "Escape", ""},
  }, {
      {{"open", "KvOeffnen", "C:"}, {"ctrl+l"}, opened, "Return", opened},
      {{"box", "KvFehler!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!"}, {}, "", "Return",
       "1"},
  }, {
      {{"open", "KvHier", "C:"}, {"ctrl+l"}, relative, "Return", d + "/" + relative},
  }, {}};
  std::vector<std::future<void>> runs;  // each waited for as it goes
  for (size_t i = 0; i < std::size(rows); ++i)
    runs.push_back(std::async(std::launch::async, [&, i] {
      DialogDriver driver;
      ASSERT_NO_FATAL_FAILURE(driver.start(d + "/x" + std::to_string(i)));
      bool last = i + 1 == std::size(rows);  // the one that chooses the whole folder
      driver.run(d, rows[i], last ? many : "");
    }));
}

}  // namespace
