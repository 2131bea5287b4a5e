// The text-mode dialogs, driven through pipes and a pseudo-terminal by a child program.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "tests/dialogs/dialog_run.h"
#include "tests/support/temp_dir.h"

namespace {

class TextDialogTest : public ::testing::Test {
 protected:
  // Runs the child in the temporary folder with the input on a pipe, then ended.
  DialogChild& run(const std::vector<std::string>& args, const std::string& input,
                   const Env& env = {{"KV_DIALOGS", "text"}}) {
    ChildOptions options = dialog_options(args, env, dir.path());
    options.env["HOME"] = dir.path();
    DialogChild& child = *children.emplace_back(std::make_unique<DialogChild>());
    EXPECT_TRUE(child.start(options));
    child.type(input);
    child.close_input();
    EXPECT_EQ(child.wait_exit(20000), 0) << child.output();
    return child;
  }
  std::string in_dir(const std::string& name) { return dir / name; }

  TempDir dir;
  std::vector<std::unique_ptr<DialogChild>> children;
};

TEST_F(TextDialogTest, SaveTakesARelativePathFromTheCurrentDirectory) {
  DialogChild& c = run({"save", "Bitte Ort zum speichern auswaehlen", "C:\\"}, "empfang.bin\n");
  EXPECT_EQ(c.result(), in_dir("empfang.bin"));
  EXPECT_EQ(c.reported("TOP"), "+" + std::to_string(in_dir("empfang.bin").size()));
  EXPECT_EQ(c.reported("BACKEND"), "text");
  EXPECT_EQ(c.reported("CWD"), dir.path()) << "the current directory stays";
  EXPECT_EQ(c.output().rfind("\r\nBitte Ort zum speichern auswaehlen\r\nPfad: ", 0), 0u)
      << "title on a fresh line of its own:\n" << c.output();
}

TEST_F(TextDialogTest, AbsoluteAndHomePathsAreResolved) {
  mkdir(in_dir("sub").c_str(), 0700);
  EXPECT_EQ(run({"save", "t", "C:"}, in_dir("sub/../sub/./a.txt") + "\n").result(), in_dir("sub/a.txt"));
  EXPECT_EQ(run({"open", "t", "C:"}, "~/x.txt\n").result(), in_dir("x.txt"))
      << "a file that does not exist in an existing folder";
}

TEST_F(TextDialogTest, AsksAgainWhileTheFolderDoesNotExistOrIsAFolder) {
  DialogChild& save = run({"save", "t", "C:\\"}, "fehlt/a.bin\nfehlt/b.bin\nda.bin\n");
  EXPECT_EQ(save.result(), in_dir("da.bin"));
  size_t first = save.output().find("Der Ordner existiert nicht: " + in_dir("fehlt"));
  ASSERT_NE(first, std::string::npos) << save.output();
  EXPECT_NE(save.output().find("Der Ordner existiert nicht", first + 1), std::string::npos);

  mkdir(in_dir("ordner").c_str(), 0700);
  DialogChild& open = run({"open", "t", "C:"}, "ordner\nnirgends/x\nordner/x\n");
  EXPECT_EQ(open.result(), in_dir("ordner/x"));
  EXPECT_NE(open.output().find("Das ist ein Ordner: " + in_dir("ordner")), std::string::npos);
  EXPECT_NE(open.output().find("Der Ordner existiert nicht: " + in_dir("nirgends")), std::string::npos);
}

TEST_F(TextDialogTest, EmptyLineAndEndOfInputCancel) {
  for (DialogChild* c : {&run({"save", "t", "C:\\"}, "\nnie.txt\n"), &run({"open", "t", "C:"}, "")}) {
    EXPECT_EQ(c->result(), "");
    EXPECT_EQ(c->reported("TOP"), "+0");
  }
}

// A path of the given length in bytes inside the folder: made folders of 200 bytes as
// needed, then the name.
std::string long_path(const std::string& folder, size_t length) {
  std::string path = folder;
  while (length - path.size() > 255) {
    path += "/" + std::string(std::min<size_t>(200, length - path.size() - 100), 'f');
    mkdir(path.c_str(), 0700);
  }
  return path + "/" + std::string(length - path.size() - 1, 'n');
}

// Every path the system takes is taken (not only those below 260 bytes); a longer one is
// said to be too long, and the question comes again.
TEST_F(TextDialogTest, PathsUpToPathMaxAreTakenLongerOnesAskAgain) {
  const std::string kTooLong = "Der Pfad ist zu lang (hoechstens 4095 Bytes).";
  for (size_t length : {size_t{259}, size_t{260}, size_t{300}, size_t{PATH_MAX - 1}}) {
    std::string path = long_path(dir.path(), length);
    ASSERT_EQ(path.size(), length);
    DialogChild& c = run({"save", "t", "C:"}, path + "\n");
    EXPECT_EQ(c.result(), path) << length;
    EXPECT_EQ(c.reported("TOP"), "+" + std::to_string(length));
    EXPECT_EQ(c.output().find(kTooLong), std::string::npos);
  }
  std::string fits = long_path(dir.path(), 300);
  for (size_t length : {size_t{PATH_MAX}, size_t{PATH_MAX + 1}, size_t{3 * PATH_MAX}}) {
    std::string path = dir.path() + "/" + std::string(length - dir.path().size() - 1, 'x');
    DialogChild& c = run({"open", "t", "C:"}, path + "\n" + fits + "\n");
    EXPECT_EQ(c.result(), fits) << length;
    size_t said = c.output().find(kTooLong);
    ASSERT_NE(said, std::string::npos) << length;
    EXPECT_NE(c.output().find("Pfad: ", said), std::string::npos) << "asked again";
  }
  // Relative, it is short; made absolute, it is too long.
  std::string deep = long_path(dir.path(), PATH_MAX - 10);
  deep = deep.substr(0, deep.rfind('/'));
  std::string name(PATH_MAX - deep.size(), 'r');  // with the folder, PATH_MAX bytes
  DialogChild& relative = run({"save", "t", "C:"}, deep.substr(dir.path().size() + 1) + "/" + name + "\n");
  EXPECT_EQ(relative.result(), "");
  EXPECT_NE(relative.output().find(kTooLong), std::string::npos);
  // A folder beyond the limit is too long too, not a folder that does not exist.
  DialogChild& folder = run({"save", "t", "C:"}, deep.substr(dir.path().size() + 1) + "/" + name + "/x\n");
  EXPECT_NE(folder.output().find(kTooLong), std::string::npos) << folder.output().substr(0, 300);
}

TEST_F(TextDialogTest, ControlBytesOfTitleAndTextAreShownVisibly) {
  DialogChild& dialog = run({"save", "Titel \x1b[2J mit \x07 Glocke", "C:"}, "\n");
  EXPECT_NE(dialog.output().find("Titel ^[[2J mit ^G Glocke"), std::string::npos) << dialog.output();
  // U+009B is the one-character form of ESC [ that some terminals obey.
  DialogChild& box = run({"box", "c\x1b", "t\x7f\xC2\x9B" "2J"}, "");
  EXPECT_NE(box.output().find("c^[\r\nt^??2J\r\n"), std::string::npos) << box.output();
  for (DialogChild* c : {&dialog, &box})
    for (const char* raw : {"\x1b", "\x07", "\xC2\x9B"}) EXPECT_EQ(c->output().find(raw), std::string::npos);
}

TEST_F(TextDialogTest, MessageBoxShowsCaptionAndEachLineAndWaitsForEnter) {
  DialogChild& c = run({"box", "Error!", "Can't initialize the network !\nKann Netzwerk nicht initalisieren!"}, "\n");
  EXPECT_EQ(c.result(), "1");
  const char* shown = "\r\nError!\r\nCan't initialize the network !\r\nKann Netzwerk nicht initalisieren!\r\n";
  EXPECT_NE(c.output().find(shown), std::string::npos) << c.output();
  EXPECT_EQ(run({"box", "c", "t"}, "").result(), "1") << "end of input confirms a box with OK only";
}

TEST_F(TextDialogTest, MessageBoxWithSeveralButtonsTakesTheChoice) {
  DialogChild& yes_no = run({"box", "Frage", "Weiter?", "4"}, "vielleicht\nn\n");  // MB_YESNO
  EXPECT_EQ(yes_no.result(), "7");
  EXPECT_NE(yes_no.output().find("Yes / No (Enter = Yes): "), std::string::npos);
  EXPECT_EQ(run({"box", "Frage", "Weiter?", "1"}, "").result(), "2") << "end of input cancels OK/Cancel";
  // Enter takes the default asked for (MB_DEFBUTTON2), or the first where it
  // (MB_DEFBUTTON3) is beyond them.
  EXPECT_EQ(run({"box", "Frage", "Weiter?", "260"}, "\n").result(), "7");
  DialogChild& beyond = run({"box", "Frage", "Weiter?", "516"}, "\n");
  EXPECT_EQ(beyond.result(), "6");
  EXPECT_NE(beyond.output().find("Yes / No (Enter = Yes): "), std::string::npos);
}

// Without a display, or with one that does not answer, the text back end alone prints.
TEST_F(TextDialogTest, WithoutAUsableDisplayTheDialogsAreText) {
  DialogChild& c =
      run({"save", "Wohin?", "C:\\"}, "f.bin\n",
          {{"KV_DIALOGS", std::nullopt}, {"DISPLAY", ":65000"}, {"WAYLAND_DISPLAY", std::nullopt}});
  EXPECT_EQ(c.result(), in_dir("f.bin"));
  EXPECT_EQ(c.reported("BACKEND"), "text");
  EXPECT_EQ(c.output().rfind("\r\nWohin?\r\nPfad: ", 0), 0u) << c.output();

  ChildOptions options = dialog_options(
      {"box", "Hinweis", "Zeile eins\nZeile zwei"},
      {{"KV_DIALOGS", std::nullopt}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
  options.terminal = true;
  DialogChild terminal;
  ASSERT_TRUE(terminal.start(options));
  ASSERT_TRUE(terminal.wait_for("(Enter)", 10000)) << terminal.output();
  terminal.type("\r");
  EXPECT_EQ(terminal.wait_exit(10000), 0) << terminal.output();
  EXPECT_EQ(terminal.result(), "1");
  EXPECT_EQ(terminal.reported("BACKEND"), "text");
  EXPECT_EQ(terminal.plain_output().rfind("\nHinweis\nZeile eins\nZeile zwei\n(Enter) ", 0), 0u)
      << terminal.output();
}

// Forced to GTK where no display can be opened, the dialogs fail instead of hanging.
TEST_F(TextDialogTest, ForcedGtkWithoutADisplayFails) {
  DialogChild& c = run({"box", "c", "t"}, "",
                       {{"KV_DIALOGS", "gtk"}, {"DISPLAY", std::nullopt}, {"WAYLAND_DISPLAY", std::nullopt}});
  EXPECT_EQ(c.result(), "0");
  EXPECT_EQ(c.reported("BACKEND"), "gtk");
}

}  // namespace
