// The text-mode dialogs, driven through pipes and a pseudo-terminal by a child program.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/dialogs/child_process.h"

namespace {

class TextDialogTest : public ::testing::Test {
 protected:
  // Runs the child with the given input on a pipe (ended after it) and waits for it.
  Child& run(std::vector<std::string> args, const std::string& input, bool end_input = true) {
    ChildSpec spec;
    spec.args = {child_program("dialogs_child")};
    spec.args.insert(spec.args.end(), args.begin(), args.end());
    spec.env["KV_DIALOGS"] = "text";
    spec.env["HOME"] = dir.path();
    spec.cwd = dir.path();
    EXPECT_TRUE(child.start(spec));
    child.write_input(input);
    if (end_input) child.close_input();
    EXPECT_EQ(child.wait(20000), 0) << child.output();
    return child;
  }
  std::string in_dir(const std::string& name) { return dir.path() + "/" + name; }

  TempDir dir;
  Child child;
};

TEST_F(TextDialogTest, SaveTakesARelativePathFromTheCurrentDirectory) {
  run({"save", "Bitte Ort zum speichern auswaehlen", "C:\\"}, "empfang.bin\n");
  EXPECT_EQ(child.result(), in_dir("empfang.bin"));
  EXPECT_EQ(child.reported("TOP"), "+" + std::to_string(in_dir("empfang.bin").size()));
  EXPECT_EQ(child.reported("BACKEND"), "text");
  EXPECT_EQ(child.reported("CWD"), dir.path()) << "the current directory stays";
  EXPECT_EQ(child.output().rfind("\nBitte Ort zum speichern auswaehlen\r\n", 0), std::string::npos);
  EXPECT_NE(child.output().find("\r\nBitte Ort zum speichern auswaehlen\r\n"), std::string::npos)
      << "title on a fresh line of its own:\n" << child.output();
}

TEST_F(TextDialogTest, AbsoluteAndHomePathsAreTakenAsTheyAreAndResolved) {
  mkdir(in_dir("sub").c_str(), 0700);
  run({"save", "t", "C:"}, in_dir("sub/../sub/./a.txt") + "\n");
  EXPECT_EQ(child.result(), in_dir("sub/a.txt"));
}

TEST_F(TextDialogTest, HomeFolderIsExpanded) {
  run({"open", "t", "C:"}, "~/x.txt\n");
  EXPECT_EQ(child.result(), in_dir("x.txt")) << "a file that does not exist in an existing folder";
}

TEST_F(TextDialogTest, SaveAsksAgainWhileTheFolderDoesNotExist) {
  run({"save", "t", "C:\\"}, "fehlt/a.bin\nfehlt/b.bin\nda.bin\n");
  EXPECT_EQ(child.result(), in_dir("da.bin"));
  size_t first = child.output().find("Der Ordner existiert nicht: " + in_dir("fehlt"));
  ASSERT_NE(first, std::string::npos) << child.output();
  EXPECT_NE(child.output().find("Der Ordner existiert nicht", first + 1), std::string::npos);
}

TEST_F(TextDialogTest, OpenAsksAgainForAFolderOrAMissingFolder) {
  mkdir(in_dir("ordner").c_str(), 0700);
  run({"open", "t", "C:"}, "ordner\nnirgends/x\nordner/x\n");
  EXPECT_EQ(child.result(), in_dir("ordner/x"));
  EXPECT_NE(child.output().find("Das ist ein Ordner: " + in_dir("ordner")), std::string::npos);
  EXPECT_NE(child.output().find("Der Ordner existiert nicht: " + in_dir("nirgends")), std::string::npos);
}

TEST_F(TextDialogTest, EmptyLineAndEndOfInputCancel) {
  run({"save", "t", "C:\\"}, "\nnie.txt\n");
  EXPECT_EQ(child.result(), "");
  EXPECT_EQ(child.reported("TOP"), "+0");
}

TEST_F(TextDialogTest, EndOfInputCancels) {
  run({"open", "t", "C:"}, "");
  EXPECT_EQ(child.result(), "");
  EXPECT_EQ(child.reported("TOP"), "+0");
}

TEST_F(TextDialogTest, APathOf259BytesFits) {
  std::string fits = std::string(259 - dir.path().size() - 1, 'a');
  run({"save", "t", "C:"}, fits + "\n");
  EXPECT_EQ(child.result(), in_dir(fits));
}

TEST_F(TextDialogTest, APathOf260BytesGivesTheEmptyResult) {
  std::string too_long = std::string(260 - dir.path().size() - 1, 'a');
  run({"save", "t", "C:"}, too_long + "\n");
  EXPECT_EQ(child.result(), "");
  EXPECT_EQ(child.reported("TOP"), "+0");
}

TEST_F(TextDialogTest, ControlBytesOfTheTitleAreShownVisibly) {
  run({"save", "Titel \x1b[2J mit \x07 Glocke", "C:"}, "\n");
  EXPECT_NE(child.output().find("Titel ^[[2J mit ^G Glocke"), std::string::npos) << child.output();
  EXPECT_EQ(child.output().find('\x1b'), std::string::npos);
  EXPECT_EQ(child.output().find('\x07'), std::string::npos);
}

TEST_F(TextDialogTest, MessageBoxShowsCaptionAndEachLineAndWaitsForEnter) {
  run({"box", "Error!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!"}, "\n");
  EXPECT_EQ(child.result(), "1");
  EXPECT_NE(child.output().find("Error!\r\nCan't initialize the network !\r\nKann Netzwerk nicht initalisieren!\r\n"),
            std::string::npos)
      << child.output();
}

TEST_F(TextDialogTest, MessageBoxAtEndOfInputGivesOk) {
  run({"box", "c", "t\x1b"}, "");
  EXPECT_EQ(child.result(), "1");
  EXPECT_NE(child.output().find("t^["), std::string::npos);
}

TEST_F(TextDialogTest, MessageBoxWithSeveralButtonsTakesTheChoice) {
  run({"box", "Frage", "Weiter?", "4"}, "vielleicht\nn\n");  // MB_YESNO
  EXPECT_EQ(child.result(), "7");
  EXPECT_NE(child.output().find("Yes / No (Enter = Yes): "), std::string::npos);
}

TEST_F(TextDialogTest, MessageBoxWithCancelIsCancelledByEndOfInput) {
  run({"box", "Frage", "Weiter?", "1"}, "");  // MB_OKCANCEL
  EXPECT_EQ(child.result(), "2");
}

// On a terminal without a display the text back end is chosen by itself.
TEST_F(TextDialogTest, OnATerminalWithoutDisplayTheBoxIsText) {
  ChildSpec spec;
  spec.args = {child_program("dialogs_child"), "box", "Hinweis", "Zeile eins\nZeile zwei"};
  spec.env["KV_DIALOGS"] = std::nullopt;
  spec.env["DISPLAY"] = std::nullopt;
  spec.env["WAYLAND_DISPLAY"] = std::nullopt;
  spec.terminal = true;
  ASSERT_TRUE(child.start(spec));
  ASSERT_TRUE(child.read_until("(Enter)", 10000)) << child.output();
  child.write_input("\r");
  EXPECT_EQ(child.wait(10000), 0) << child.output();
  EXPECT_EQ(child.result(), "1");
  EXPECT_EQ(child.reported("BACKEND"), "text");
  EXPECT_NE(child.lines().find("\nHinweis\nZeile eins\nZeile zwei\n(Enter) "), std::string::npos) << child.output();
}

// A display that cannot be opened falls back to text, quietly.
TEST_F(TextDialogTest, ADisplayThatDoesNotAnswerFallsBackToTextSilently) {
  ChildSpec spec;
  spec.args = {child_program("dialogs_child"), "save", "Wohin?", "C:\\"};
  spec.env["KV_DIALOGS"] = std::nullopt;
  spec.env["DISPLAY"] = ":65000";
  spec.env["WAYLAND_DISPLAY"] = std::nullopt;
  spec.cwd = dir.path();
  ASSERT_TRUE(child.start(spec));
  child.write_input("f.bin\n");
  child.close_input();
  EXPECT_EQ(child.wait(20000), 0);
  EXPECT_EQ(child.result(), in_dir("f.bin"));
  EXPECT_EQ(child.reported("BACKEND"), "text");
  EXPECT_EQ(child.output().rfind("\r\nWohin?\r\nPfad: ", 0), 0u) << "nothing else was printed:\n" << child.output();
}

// Forced to GTK where no display can be opened, the dialogs fail instead of hanging.
TEST_F(TextDialogTest, ForcedGtkWithoutADisplayFails) {
  ChildSpec spec;
  spec.args = {child_program("dialogs_child"), "box", "c", "t"};
  spec.env["KV_DIALOGS"] = "gtk";
  spec.env["DISPLAY"] = std::nullopt;
  spec.env["WAYLAND_DISPLAY"] = std::nullopt;
  ASSERT_TRUE(child.start(spec));
  child.close_input();
  EXPECT_EQ(child.wait(20000), 0);
  EXPECT_EQ(child.result(), "0");
  EXPECT_EQ(child.reported("BACKEND"), "gtk");
}

}  // namespace
