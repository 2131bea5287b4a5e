// The GTK dialogs on a private Xvfb display, driven with xdotool the way a user would.
// Each test starts its own X server on a free display and stops it afterwards. When a
// step misses its deadline, a screenshot of the display is left in the build folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "tests/support/x_session.h"

namespace {

class GtkDialogTest : public XSessionTest {
 protected:
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

  // Waits for the dialog's report, checks the window is gone meanwhile, and ends it.
  void finish(const std::string& window_name) {
    bool reported = dialog.read_until("GL ", kStepMs) && dialog.read_until("\n", 1000);
    if (!reported) screenshot();
    ASSERT_TRUE(reported) << dialog.output();
    EXPECT_FALSE(window_visible(window_name)) << "the dialog is off the screen before the call returns";
    dialog.close_input();
    EXPECT_EQ(dialog.wait(kStepMs), 0) << dialog.output();
  }

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
