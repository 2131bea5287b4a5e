#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/paths.h"

// Splitting a path into folder and name, and joining them again, with the separators both
// systems take.
TEST(Paths, SplitGivesFolderAndNameAndJoinPutsThemBack) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"a/b", "a", "b"},   {"b", ".", "b"}, {"/b", "/", "b"}, {"/a/b/c.zip", "/a/b", "c.zip"},
      {"a/b/", "a/b", ""}, {"/", "/", ""}};
  for (const auto& [path, expected_folder, expected_name] : cases) {
    SCOPED_TRACE(path);
    std::string folder, name;
    path_split(path, &folder, &name);
    EXPECT_EQ(folder, expected_folder);
    EXPECT_EQ(name, expected_name);
    if (name.empty() || folder == ".") continue;
    std::string again_folder, again_name;
    path_split(path_join(folder, name), &again_folder, &again_name);
    EXPECT_EQ(again_folder, folder);
    EXPECT_EQ(again_name, name);
  }
  EXPECT_EQ(path_join("/", "b"), "/b");  // a root keeps its one separator
}
