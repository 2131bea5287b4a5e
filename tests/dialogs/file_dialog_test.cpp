#include <climits>
#include <cstring>

#include "tests/dialogs/fake_gui.h"

namespace {

using namespace std::string_literals;

TEST(IsValidFileName, FollowsTheRules) {
  EXPECT_FALSE(is_valid_file_name(nullptr));
  // A space and an umlaut, and bytes that are no UTF-8, are allowed.
  for (std::string good : {"a.txt", "mein B\xc3\xa4richt.txt", "\xe4\xff"}) EXPECT_TRUE(is_valid_file_name(good.c_str()));
  for (std::string bad : {"", "a?b", "a\tb", "a|b", "C:"}) EXPECT_FALSE(is_valid_file_name(bad.c_str())) << bad;
  for (char bad : "\"*/:<>?\\|\x01\x1f"s) {
    if (!bad) continue;
    std::string name = "x"s + bad + "y";
    EXPECT_FALSE(is_valid_file_name(name.c_str())) << int(bad);
  }
}

class FileDialogTest : public RuntimeTest {
 protected:
  FakeGuiScope scope;
  FakeGui& gui = scope.gui;

  // Runs a save dialog and returns what the back end was asked.
  FakeDialogCall ask(const char* initial, const char* filter = nullptr, int32_t index = 0) {
    int32_t mark = str_area_top();
    file_dialog_save("Titel", initial, filter, index, mark);
    str_area_reset(mark);
    return gui.calls.back();
  }
};

TEST_F(FileDialogTest, InitialPathIsSplitAtTheLastBackslash) {
  const struct { const char *path, *directory, *proposed; } cases[] = {
      {"C:\\", "C:", ""}, {"C:", "", ""}, {"C:\\Daten\\bericht.txt", "C:\\Daten", "bericht.txt"},
      {"bericht.txt", "", "bericht.txt"}, {"\\bericht.txt", "", ""}, {"\\Daten\\x.txt", "\\Daten", "x.txt"},
      {"C:\\Daten\\", "C:\\Daten", ""}, {"C:\\a?b", "C:", ""}, {nullptr, "", ""}};
  for (const auto& c : cases) {
    FakeDialogCall call = ask(c.path);
    SCOPED_TRACE(c.path ? c.path : "<null>");
    EXPECT_EQ(call.has_directory, c.path != nullptr) << "a directory whenever there is a path";
    EXPECT_EQ(call.directory, c.directory);
    EXPECT_EQ(call.proposed, c.proposed);
  }
}

TEST_F(FileDialogTest, ALongProposedNameIsCutToTheBuffer) {
  std::string path = "D\\" + std::string(PATH_MAX + 100, 'n');
  FakeDialogCall call = ask(path.c_str());
  EXPECT_EQ(call.proposed, std::string(PATH_MAX - 1, 'n'));
  EXPECT_EQ(call.file_size, PATH_MAX) << "any path the system takes fits the buffer";
}

TEST_F(FileDialogTest, FilterTextBecomesPairsWithThePreselectedIndex) {
  EXPECT_EQ(ask(nullptr, nullptr).filter, "\0"s) << "a null filter is an empty list";
  FakeDialogCall call = ask(nullptr, "Alle Dateien (*.*)|*.*", 0);
  EXPECT_EQ(std::tie(call.filter, call.filter_index), std::tuple("Alle Dateien (*.*)\0*.*\0\0"s, 1));
  call = ask(nullptr, "Texte|*.txt;*.text|Alle|*", 1);
  EXPECT_EQ(std::tie(call.filter, call.filter_index), std::tuple("Texte\0*.txt;*.text\0Alle\0*\0\0"s, 2));
}

TEST_F(FileDialogTest, WrappersChooseKindFlagsAndTitle) {
  int32_t mark = str_area_top();
  file_dialog_save("Speichern", nullptr, nullptr, 0, mark);
  file_dialog_open(nullptr, nullptr, nullptr, 0, mark);
  ASSERT_EQ(gui.calls.size(), 2u);
  EXPECT_EQ(std::tie(gui.calls[0].kind, gui.calls[0].title), std::tuple(1, "Speichern"));
  EXPECT_EQ(std::tie(gui.calls[1].kind, gui.calls[1].has_title), std::tuple(0, false));
  for (const FakeDialogCall& call : gui.calls) EXPECT_EQ(call.flags, 0x8080Cu);
}

TEST_F(FileDialogTest, ResultLandsOnTheAreaAtThePosition) {
  str_area_append("davor");
  int32_t mark = str_area_top();
  gui.answer = "/home/anna/bericht.txt";
  char* text = file_dialog_save("t", "C:\\", "Alle Dateien (*.*)|*.*", 0, mark);
  EXPECT_STREQ(text, "/home/anna/bericht.txt");
  EXPECT_EQ(text, str_area_base() + mark);
  EXPECT_EQ(str_area_top(), mark + 22) << "top at the terminating zero";
  StringVar var = nullptr;
  str_area_take(&var, mark);
  EXPECT_STREQ(var, "/home/anna/bericht.txt");
  EXPECT_EQ(std::string(str_area_base(), 5), "davor") << "what stood below the mark is kept";

  gui.confirm = false;
  text = file_dialog_open("t", nullptr, nullptr, 0, mark);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(str_area_top(), mark) << "a cancel leaves the top at the position";
}

// Every path the system takes, not only those below 260 bytes.
TEST_F(FileDialogTest, APathOfPathMaxLessOneFitsAndOneMoreFails) {
  int32_t mark = str_area_top();
  for (int32_t length : {300, PATH_MAX - 1, PATH_MAX}) {
    gui.answer = "/" + std::string(static_cast<size_t>(length) - 1, 'p');
    int32_t taken = length < PATH_MAX ? length : 0;  // the back end cannot place PATH_MAX: the dialog fails
    EXPECT_EQ(std::strlen(file_dialog_open("t", nullptr, nullptr, 0, mark)), static_cast<size_t>(taken));
    EXPECT_EQ(str_area_top(), mark + taken);
    str_area_reset(mark);
  }
}

TEST_F(FileDialogTest, ThePreviousBufferIsReleasedWhenTheNextCallBegins) {
  int32_t mark = str_area_top();
  gui.answer = "/a";
  file_dialog_save("t", "x\\y", "A|*", 0, mark);
  ASSERT_NE(file_dialog_buffer, nullptr);
  EXPECT_STREQ(file_dialog_buffer, "/a") << "the buffer stays after the call";
  size_t blocks = heap_block_count(runtime_heap());
  for (int i = 0; i < 3; ++i) {
    str_area_reset(mark);
    file_dialog_open("t", "x\\y", "A|*", 0, mark);
  }
  EXPECT_EQ(heap_block_count(runtime_heap()), blocks)
      << "one buffer held, the filter and directory copies released";
}

TEST_F(FileDialogTest, NoMemoryMeansNoDialogAndTheEmptyText) {
  int32_t mark = str_area_top();
  gui.answer = "/a";
  heap_set_limit(runtime_heap(), 1);
  EXPECT_STREQ(file_dialog_save("t", "C:\\x", "A|*", 0, mark), "");
  EXPECT_EQ(str_area_top(), mark);
  heap_set_limit(runtime_heap(), 0);
  EXPECT_TRUE(gui.calls.empty());
  // Room for the file buffer and the filter copy, none for the directory copy.
  heap_set_limit(runtime_heap(), FILE_DIALOG_BUFFER_SIZE + 6 + 1000);
  size_t before = heap_block_count(runtime_heap());
  std::string long_path(2000, 'd');
  EXPECT_STREQ(file_dialog_save("t", long_path.c_str(), "A|*", 0, mark), "");
  heap_set_limit(runtime_heap(), 0);
  EXPECT_TRUE(gui.calls.empty());
  EXPECT_EQ(heap_block_count(runtime_heap()), before + 1) << "the filter copy released, the buffer kept";
}

TEST_F(FileDialogTest, TheGuardBracketsTheDialogAndTheOwnerIsOurForegroundWindow) {
  FakeWindow* front = gui.windows.add(true, true, false);
  FakeWindow* other = gui.windows.add(true, true, true);
  gui.windows.foreground_window = front;
  int32_t mark = str_area_top();
  file_dialog_open("t", nullptr, nullptr, 0, mark);
  const FakeDialogCall& call = gui.calls.at(0);
  EXPECT_EQ(call.owner, front);
  const FakeWindow& during = call.windows_during.at(1);
  EXPECT_EQ(std::tie(during.enabled, during.topmost), std::tuple(false, false));
  EXPECT_EQ(std::tie(other->enabled, other->topmost), std::tuple(true, true));
  EXPECT_EQ(modal_guard_list, nullptr);
}

TEST_F(FileDialogTest, MultipleSelectionGivesTheFolderJoinedWithTheFirstName) {
  int32_t mark = str_area_top();
  const struct { std::string answer, result; } rows[] = {
      {"/daten\0a.txt\0b.txt\0"s, "/daten/a.txt"},
      {"/\0a.txt\0b.txt\0"s, "/a.txt"},  // no second separator
      {"/daten/eine.txt", "/daten/eine.txt"},
      // longer than 259 bytes
      {"/" + std::string(250, 'd') + "\0"s + std::string(20, 'n') + "\0b\0"s, "/" + std::string(250, 'd') + "/" + std::string(20, 'n')},
      {"/" + std::string(PATH_MAX - 20, 'd') + "\0"s + std::string(20, 'n') + "\0b\0"s, ""},  // too long for the result
      {"/" + std::string(PATH_MAX + 40, 'd') + "\0n\0b\0"s, ""},                             // folder too long
  };
  for (const auto& row : rows) {
    gui.answer = row.answer;
    EXPECT_EQ(file_dialog(nullptr, nullptr, nullptr, 0, 0, 1, mark), row.result);
    EXPECT_EQ(str_area_top(), mark + static_cast<int32_t>(row.result.size()));
    str_area_reset(mark);
  }
  gui.answer = rows[0].answer;
  file_dialog(nullptr, nullptr, nullptr, 0, 0, 1, mark);
  EXPECT_EQ(std::tie(gui.calls.back().flags, gui.calls.back().file_size), std::tuple(0x80A0Cu, 512000));
  EXPECT_STREQ(file_dialog_directory, "/daten/");
}

TEST_F(FileDialogTest, OnlyAnOpenDialogReleasesTheMultipleSelectionBuffer) {
  int32_t mark = str_area_top();
  size_t blocks = heap_block_count(runtime_heap());
  file_dialog(nullptr, nullptr, nullptr, 0, 0, 1, mark);
  ASSERT_NE(file_dialog_multi_buffer, nullptr);
  file_dialog_save("t", nullptr, nullptr, 0, mark);
  EXPECT_NE(file_dialog_multi_buffer, nullptr);
  file_dialog(nullptr, nullptr, nullptr, 0, 1, 1, mark);  // a save dialog that needs one itself
  EXPECT_EQ(heap_block_count(runtime_heap()), blocks + 1) << "the earlier one was released";
  file_dialog_open("t", nullptr, nullptr, 0, mark);
  EXPECT_EQ(file_dialog_multi_buffer, nullptr);
  EXPECT_EQ(heap_block_count(runtime_heap()), blocks + 1);
}

}  // namespace
