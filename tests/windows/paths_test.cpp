#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/paths.h"
#include "platform/transfer_file.h"
#include "support/temp_dir.h"

// Windows paths: drive letters and shares are roots, both separators count.
TEST(WindowsPaths, DrivesAndSharesAreRootsAndBothSeparatorsCount) {
  struct Case {
    const char *path, *folder, *name;
  } cases[] = {{"C:\\x.bin", "C:\\", "x.bin"},
               {"C:\\a\\b/x.bin", "C:\\a\\b", "x.bin"},
               {"\\\\server\\share\\x.bin", "\\\\server\\share\\", "x.bin"},
               {"Z:\\tmp\\", "Z:\\tmp", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string folder, name;
    path_split(c.path, &folder, &name);
    EXPECT_EQ(folder, c.folder);
    EXPECT_EQ(name, c.name);
  }
  EXPECT_EQ(path_join("C:\\tmp", "x.bin"), "C:\\tmp\\x.bin");
  EXPECT_EQ(path_join("C:\\", "x.bin"), "C:\\x.bin");
}

// A replaced file keeps its attributes (hidden, here).
TEST(WindowsFiles, AReplacedFileKeepsItsAttributes) {
  TempDir dir;
  std::string target = dir / "ziel.bin";
  write_file(target, "alt");
  ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN));
  SysOutcome failure = SysOutcome::ok;
  FileReplacement* r = file_replacement_begin(target.c_str(), SOCK_NONE, &failure);
  ASSERT_TRUE(r);
  ASSERT_EQ(file_write_some(file_replacement_fd(r), "neu", 3), 3);
  ASSERT_TRUE(file_replacement_commit(r) == SysOutcome::ok);
  EXPECT_EQ(read_file(target), "neu");
  EXPECT_TRUE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}
