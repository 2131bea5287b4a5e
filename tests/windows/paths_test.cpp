#include <gtest/gtest.h>

#include <string>

#include "platform/paths.h"

// Windows paths: drive letters and shares are roots, both separators count.
TEST(WindowsPaths, DrivesAndSharesAreRootsAndBothSeparatorsCount) {
  struct Case {
    const char* path;
    const char* folder;
    const char* name;
  } cases[] = {{"C:\\x.bin", "C:\\", "x.bin"},
               {"C:\\a\\b/x.bin", "C:\\a\\b", "x.bin"},
               {"\\\\server\\share\\x.bin", "\\\\server\\share\\", "x.bin"},
               {"Z:\\tmp\\", "Z:\\tmp", ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string folder;
    std::string name;
    path_split(c.path, &folder, &name);
    EXPECT_EQ(folder, c.folder);
    EXPECT_EQ(name, c.name);
  }
  EXPECT_EQ(path_join("C:\\tmp", "x.bin"), "C:\\tmp\\x.bin");
  EXPECT_EQ(path_join("C:\\", "x.bin"), "C:\\x.bin");
}
