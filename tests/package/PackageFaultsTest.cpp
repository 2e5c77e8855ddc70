// Faults from outside, tried everywhere they can strike: a package file cut short or
// damaged at any byte, a disk that fills up while a package is extracted, and a disk that
// fills up at any write of a save (the file size limit of the process stands for it).
#include <gtest/gtest.h>

#include <vector>

#include "PackageTestUtil.h"
#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "package/VorlentDoc.h"
#include "package/VorlentDocument.h"

using namespace qv;
using namespace pkgtest;
using qvtest::FileSizeLimit;
using qvtest::TestPath;

namespace {

std::string Path(const std::string& utf8) {
  return Utf8ToCp1251(TestPath(utf8));
}

std::string Listing(const std::string& folder) {
  CStrArray names;
  ListFiles(folder, "*", kListFiles | kListFolders, names);
  return Cp1251ToUtf8(names.Join(","));
}

// Bytes that do not compress (a fixed pseudo-random sequence).
std::string Noise(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

// The contents of a package's documents in order.
std::vector<std::string> Contents(const CVorlentDoc& doc) {
  std::vector<std::string> contents;
  for (int i = 0; i < doc.GetFileCount(); ++i) contents.push_back(doc.GetFile(i)->GetContent());
  return contents;
}

// A package of three documents, one incompressible, one compressible, with signatures.
void MakePackage(CVorlentDoc& doc) {
  NewRegistration(doc);
  auto first = AddApplication(doc, "a.pdf", Noise(60000));
  first->AddSignature(kSubjectApplicant, Noise(700));
  AddApplication(doc, "b.txt", std::string(40000, 'b'))->AddSignature(kSubjectNotary, "sign");
  AddApplication(doc, "c.bin", "small");
}

// The positions to try in `size` bytes: every one near the ends, about `spread` in between.
std::vector<std::size_t> Positions(std::size_t size, std::size_t spread) {
  std::vector<std::size_t> at;
  std::size_t step = std::max<std::size_t>(1, size / spread);
  for (std::size_t i = 0; i < size; ++i) {
    if (i < 64 || i + 200 > size || i % step == 0) at.push_back(i);
  }
  return at;
}

}  // namespace

TEST(PackageFaults, CutOrDamagedPackagesFailCleanlyOrOpenUnchanged) {
  CVorlentDoc made;
  MakePackage(made);
  ASSERT_TRUE(made.Save(Path("good.zip")));
  const std::vector<std::string> expected = Contents(made);
  made.Close();
  const std::string bytes = qvtest::ReadBytes(TestPath("good.zip"));

  CVorlentDoc doc;
  int refused = 0;
  auto check = [&](const std::string& input, const std::string& what) {
    SCOPED_TRACE(what);
    qvtest::WriteBytes(TestPath("bad.zip"), input);
    bool opened = false;
    std::string error;
    try {
      opened = doc.Open(Path("bad.zip"));
    } catch (const CVorlentException& e) {
      error = e.Message();
    }
    if (opened) {
      // Whatever the damage struck, the documents that come out are the ones saved.
      EXPECT_EQ(Contents(doc), expected);
    } else {
      ++refused;
      EXPECT_FALSE(error.empty());
      EXPECT_TRUE(doc.IsOpened());
      EXPECT_EQ(doc.GetFileCount(), 0);
      EXPECT_EQ(Listing(TempFolder()), "") << error;
    }
  };
  // The earlier package of the same object goes too.
  ASSERT_TRUE(doc.Open(Path("good.zip")));
  for (std::size_t length : Positions(bytes.size(), 150)) {
    check(bytes.substr(0, length), "cut to " + std::to_string(length));
    if (HasFailure()) return;
  }
  for (std::size_t at : Positions(bytes.size(), 250)) {
    std::string damaged = bytes;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x5A);
    check(damaged, "byte " + std::to_string(at) + " changed");
    if (HasFailure()) return;
  }
  EXPECT_GT(refused, 300);
  // The object is still good for a sound package.
  ASSERT_TRUE(doc.Open(Path("good.zip")));
  EXPECT_EQ(Contents(doc), expected);
}

// Opening reads the package into memory: it writes nothing, not even when no file may grow.
TEST(PackageFaults, OpeningWritesNothingToDisk) {
  CVorlentDoc made;
  MakePackage(made);
  ASSERT_TRUE(made.Save(Path("good.zip")));
  const std::vector<std::string> contents = Contents(made);
  made.Close();
  CVorlentDoc doc;
  {
    FileSizeLimit full(0);
    ASSERT_TRUE(doc.Open(Path("good.zip")));
  }
  EXPECT_EQ(Contents(doc), contents);
  EXPECT_EQ(Listing(doc.WorkFolder()), kWorkingFolderMark);  // empty
}

TEST(PackageFaults, SaveThatFailsAtAnyWriteKeepsTheEarlierPackage) {
  CVorlentDoc doc;
  MakePackage(doc);
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  const std::string earlier = qvtest::ReadBytes(TestPath("p.zip"));
  // A fourth document makes the new package larger than the earlier one.
  AddApplication(doc, "d.bin", Noise(30000));
  const std::vector<std::string> contents = Contents(doc);
  ASSERT_TRUE(doc.Save(Path("sized.zip")));
  const std::size_t newSize = qvtest::ReadBytes(TestPath("sized.zip")).size();
  ASSERT_TRUE(DeleteFileForce(Path("sized.zip")));
  ASSERT_GT(newSize, earlier.size());

  int tried = 0;
  for (std::size_t limit : Positions(newSize, 120)) {
    SCOPED_TRACE(limit);
    std::string error;
    {
      FileSizeLimit full(limit);
      error = ErrorOf([&] { doc.Save(Path("p.zip")); });
    }
    ++tried;
    EXPECT_NE(error, "<no error>");
    EXPECT_EQ(qvtest::ReadBytes(TestPath("p.zip")), earlier);
    // Nothing beside it, and the package in memory as it was.
    EXPECT_EQ(Listing(Path("")), "home,p.zip,tmp");
    EXPECT_EQ(Contents(doc), contents);
    if (HasFailure()) return;
  }
  EXPECT_GT(tried, 300);
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  CVorlentDoc back;
  ASSERT_TRUE(back.Open(Path("p.zip")));
  EXPECT_EQ(Contents(back), contents);
}
