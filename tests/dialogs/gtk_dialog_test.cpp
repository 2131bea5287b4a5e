// The GTK dialogs on a private Xvfb display, driven with xdotool the way a user would.
// Each test starts its own X server on a free display and stops it afterwards. When a
// step misses its deadline, a screenshot of the display is left in the build folder.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/dialogs/dialog_run.h"
#include "tests/support/x_session.h"

namespace {

class GtkDialogTest : public XSessionTest {
 protected:
  // Starts the dialog program (it holds after the dialog until its input ends), waits for
  // the window named by the second argument and answers it.
  void answer(std::vector<std::string> args, const std::vector<std::string>& keys_first,
              const std::string& text, const std::string& final_key, bool terminal = false,
              const Env& extra = {}) {
    args.push_back("hold");
    ChildOptions options = dialog_options(args, environment(), dir.path());
    for (auto& [k, v] : extra) options.env[k] = v;
    options.terminal = terminal;
    ASSERT_TRUE(dialog.start(options));
    std::string window = find_window(args[1]);
    ASSERT_FALSE(window.empty()) << dialog.output();
    type_into(window, keys_first, text, final_key);
  }

  // Answers the dialog, waits for its report, checks the window is gone meanwhile, and
  // ends it.
  void run(const std::vector<std::string>& args, const std::vector<std::string>& keys_first,
           const std::string& text, const std::string& final_key) {
    ASSERT_NO_FATAL_FAILURE(answer(args, keys_first, text, final_key));
    bool done = dialog.wait_for("GL ", kStepMs) && dialog.wait_for("\n", 1000);
    if (!done) screenshot();
    ASSERT_TRUE(done) << dialog.output();
    EXPECT_FALSE(window_visible(args[1])) << "the dialog is off the screen before the call returns";
    dialog.close_input();
    EXPECT_EQ(dialog.wait_exit(kStepMs), 0) << dialog.output();
  }

  DialogChild dialog;
};

// The file exists already: the dialog takes it without asking before replacing it.
TEST_F(GtkDialogTest, SaveDialogReturnsATypedFullPath) {
  std::string path = dir.path() + "/alt.bin";
  std::ofstream(path) << "alt";
  ASSERT_NO_FATAL_FAILURE(run({"save", "KvSpeichern", "C:\\"}, {}, path, "Return"));
  EXPECT_EQ(dialog.result(), path);
  EXPECT_EQ(dialog.reported("TOP"), "+" + std::to_string(path.size()));
  EXPECT_EQ(dialog.reported("BACKEND"), "gtk");
  EXPECT_EQ(dialog.reported("LOCALE"), "C") << "GTK left the locale as it was";
  EXPECT_EQ(dialog.reported("GL"), "none");
  EXPECT_EQ(dialog.reported("CWD"), dir.path());
}

TEST_F(GtkDialogTest, APathOf259BytesFits) {
  std::string path = dir.path() + "/" + std::string(259 - dir.path().size() - 1, 'x');
  ASSERT_NO_FATAL_FAILURE(run({"save", "KvLang", "C:"}, {}, path, "Return"));
  EXPECT_EQ(dialog.result(), path);
}

// A choice that fills the whole buffer leaves no room for its last zero byte: refused.
// (GTK itself refuses a typed path of PATH_MAX bytes; every file of a folder chosen at
// once can fill the multiple-selection buffer to the byte.)
TEST_F(GtkDialogTest, AChoiceAsLongAsTheBufferIsRefused) {
  std::string folder = dir.path() + "/viele";
  mkdir(folder.c_str(), 0700);
  // The folder with its zero, then each name with its zero: 512000 bytes.
  for (size_t left = 512000 - folder.size() - 1, i = 0; left > 0; ++i) {
    size_t n = left > 500 ? 250 : left > 251 ? left / 2 : left - 1;
    std::ofstream(folder + "/" + std::string(n - 5, 'n') + std::to_string(10000 + i));
    left -= n + 1;
  }
  // GTK lists the folder in the background: all chosen before the list is complete is
  // less, and taken; the dialog is then shown anew and given longer.
  std::optional<std::string> box;
  for (int attempt = 0; attempt < 3 && (!box || box->empty()); ++attempt) {
    DialogChild run;
    ASSERT_TRUE(run.start(dialog_options({"multi", "KvViele", "C:", "hold"}, environment(), folder)));
    std::string window = find_window("KvViele");
    usleep((attempt * 1000 + 500) * 1000);
    ASSERT_NO_FATAL_FAILURE(type_into(window, {"ctrl+a"}, "", "Return"));
    for (int i = 0; i < 100 && (!box || box->empty()) && !run.wait_for("RESULT[", 100); ++i)
      box = tool({"xdotool", "search", "--onlyvisible", "--name", "Error!"});
  }
  EXPECT_TRUE(box && !box->empty()) << "the choice was taken";
}

TEST_F(GtkDialogTest, SaveDialogStartsInTheInitialFolderWithTheProposedName) {
  ASSERT_NO_FATAL_FAILURE(run({"save", "KvVorschlag", dir.path() + "\\vorschlag.txt"}, {}, "", "Return"));
  EXPECT_EQ(dialog.result(), dir.path() + "/vorschlag.txt");
}

TEST_F(GtkDialogTest, OpenDialogReturnsAPathTypedAfterCtrlL) {
  std::string path = dir.path() + "/senden.txt";
  std::ofstream(path) << "inhalt";
  ASSERT_NO_FATAL_FAILURE(run({"open", "KvOeffnen", "C:"}, {"ctrl+l"}, path, "Return"));
  EXPECT_EQ(dialog.result(), path);
}

// Typed relative to where the dialog starts: the current folder (not GTK's list of recent
// files); and a path longer than 259 bytes is taken whole.
TEST_F(GtkDialogTest, OpenDialogStartsInTheCurrentFolderAndTakesLongPaths) {
  std::string folder = std::string(200, 'o');
  mkdir((dir.path() + "/" + folder).c_str(), 0700);
  std::string relative = folder + "/" + std::string(300 - dir.path().size() - folder.size() - 2, 's');
  std::ofstream(dir.path() + "/" + relative) << "inhalt";
  ASSERT_NO_FATAL_FAILURE(run({"open", "KvHier", "C:"}, {"ctrl+l"}, relative, "Return"));
  EXPECT_EQ(dialog.result(), dir.path() + "/" + relative);
  EXPECT_EQ(dialog.result().size(), 300u);
}

TEST_F(GtkDialogTest, EscapeCancels) {
  ASSERT_NO_FATAL_FAILURE(run({"save", "KvAbbruch", "C:\\"}, {}, "", "Escape"));
  EXPECT_EQ(dialog.result(), "");
  EXPECT_EQ(dialog.reported("TOP"), "+0");
}

TEST_F(GtkDialogTest, MessageBoxTitleIsTheCaptionAndReturnGivesOk) {
  ASSERT_NO_FATAL_FAILURE(
      run({"box", "KvFehler!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!"}, {}, "",
          "Return"));
  EXPECT_EQ(dialog.result(), "1");
}

// On a terminal none of GTK's messages may appear, even when GLib is asked for all of
// its debug output.
TEST_F(GtkDialogTest, NothingOfGtkReachesTheTerminal) {
  ASSERT_NO_FATAL_FAILURE(
      answer({"box", "KvLeise", "Text"}, {}, "", "Return", true, {{"G_MESSAGES_DEBUG", "all"}}));
  ASSERT_TRUE(dialog.wait_for("GL ", kStepMs)) << dialog.output();
  dialog.type("\x04");  // end of input on the terminal ends the hold
  EXPECT_EQ(dialog.wait_exit(kStepMs), 0);
  EXPECT_EQ(dialog.plain_output().rfind("\nRESULT[1]\n", 0), 0u) << "only the program's own lines:\n"
                                                                 << dialog.output();
}

}  // namespace
