// Folder trees whose entries have names that start or end with blanks or control
// characters: listed and removed like any other, nothing left behind.
#include <gtest/gtest.h>

#include <string>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"

using namespace qv;
using qvtest::TestPath;

namespace {

// A tree with such names; returns its path (1251).
std::string MakeTree(const std::string& name) {
  std::string root = Utf8ToCp1251(TestPath(name));
  EXPECT_TRUE(ForceDirectories(root + "/inner "));
  for (const std::string& file : {std::string("a "), std::string(" b"), std::string("c\t"),
                                  std::string("inner /d\a"), std::string("inner /\x01")}) {
    WriteTextFile(root + "/" + file, "x");
  }
  return root;
}

}  // namespace

TEST(FolderTreeNames, EntriesWithBlanksAroundTheirNamesAreListedAndRemoved) {
  std::string root = MakeTree("tree");
  CStrArray names;
  ListFiles(root, "*", kListFiles | kListFolders, names);
  EXPECT_EQ(names.Count(), 4);
  EXPECT_TRUE(DeleteFolderTree(root, false));
  names.Clear();
  ListFiles(root, "*", kListFiles | kListFolders, names);
  EXPECT_EQ(names.Count(), 0);
  EXPECT_TRUE(DeleteFolderTree(root, true));
  EXPECT_FALSE(IsDirectory(root));

  root = MakeTree("second");
  RemoveFolderTree(root);
  EXPECT_FALSE(IsDirectory(root));
}
