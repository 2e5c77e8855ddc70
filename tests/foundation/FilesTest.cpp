#include "foundation/Files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <utility>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Prefault.h"
#include "foundation/StrArray.h"
#include "foundation/VersionInfo.h"

using namespace qv;
using qvtest::TestPath;

namespace {
// A path inside the test's folder, as 1251 text the way the library holds it.
std::string Path(const std::string& utf8Name) {
  return Utf8ToCp1251(TestPath(utf8Name));
}
}  // namespace

TEST(Files, CyrillicNamesAreUtf8OnDisk) {
  std::string folder = Path("Пакеты");
  ASSERT_TRUE(ForceDirectories(folder));
  std::string file = CombinePath(folder, "Заявление.xml"_cp);
  WriteFileBytes(file, std::string("data"));
  EXPECT_EQ(qvtest::ReadBytes(TestPath("Пакеты/Заявление.xml")), "data");
  EXPECT_EQ(ReadFileBytes(file), "data");
  CStrArray names;
  ListFiles(folder, "*.xml", kListFiles, names);
  ASSERT_EQ(names.Count(), 1);
  EXPECT_EQ(names.Key(0), "Заявление.xml"_cp);
  EXPECT_TRUE(DeleteFileForce(file));
  EXPECT_FALSE(FileExists(file));
  EXPECT_TRUE(DeleteFolderTree(folder, true));
  EXPECT_FALSE(IsDirectory(folder));
}

TEST(Files, WholeFileWriterLeavesExactlyTheGivenBytes) {
  std::string file = Path("f.bin");
  WriteFileBytes(file, std::string(100, 'x'));
  WriteFileBytes(file, std::string("0123456789"));
  EXPECT_EQ(qvtest::ReadBytes(TestPath("f.bin")), "0123456789");
  try {
    WriteFileBytes(file, std::string());
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), FormatText("Не удалось открыть файл [%s]: [%s]"_cp,
                                      {file, "Attempt to mapping the file of size=0"}));
  }
  // A file in a folder that is not there: the message names the file and the system's reason,
  // and the error carries the errno and the system's status for a missing folder.
  try {
    WriteFileBytes(Path("missing/f.bin"), std::string("x"));
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), FormatText("Не удалось открыть файл [%s]: [%s]"_cp,
                                      {Path("missing/f.bin"), SystemErrorText(ENOENT)}));
    auto os = dynamic_cast<const COSException*>(&e);
    ASSERT_NE(os, nullptr);
    EXPECT_EQ(os->Code(), ENOENT);
    EXPECT_EQ(os->Status(), static_cast<std::int32_t>(0x80070003));  // ERROR_PATH_NOT_FOUND
  }
}

// Failures of file-system calls keep the system's text as their message and carry the status
// the system gives for the same failure; a number no status stands for is E_FAIL.
TEST(Files, FileSystemFailuresCarryTheSystemStatus) {
  auto failure = [](const std::function<void()>& call) -> std::pair<std::string, std::int32_t> {
    try {
      call();
    } catch (const COSException& e) {
      return {Cp1251ToUtf8(e.Message()), e.Status()};
    } catch (const CVorlentException& e) {
      return {Cp1251ToUtf8(e.Message()), 0};
    }
    return {"no failure", 0};
  };
  const std::string noFolder = Cp1251ToUtf8(SystemErrorText(ENOENT));
  EXPECT_EQ(failure([] { WriteTextFile(Path("missing/t.txt"), "x"); }),
            std::make_pair(noFolder, static_cast<std::int32_t>(0x80070003)));
  qvtest::WriteBytes(TestPath("plain"), "x");
  EXPECT_EQ(failure([] { WriteTextFile(Path("plain/t.txt"), "x"); }),
            std::make_pair(Cp1251ToUtf8(SystemErrorText(ENOTDIR)), static_cast<std::int32_t>(0x80070003)));
  EXPECT_EQ(failure([] { ReplaceFileAtomically(Path("missing/r.txt"), "x", 0600); }).second,
            static_cast<std::int32_t>(0x80070003));
  EXPECT_EQ(StatusOfFileError(ENOENT, Path("plain")), static_cast<std::int32_t>(0x80070002));
  EXPECT_EQ(StatusOfFileError(EACCES), static_cast<std::int32_t>(0x80070005));
  EXPECT_EQ(StatusOfFileError(ENOSPC), static_cast<std::int32_t>(0x80070070));
  EXPECT_EQ(StatusOfFileError(EPIPE), static_cast<std::int32_t>(0x80004005));
  // An operating-system error raised again, or in place of a message, keeps both.
  try {
    try {
      RaiseFileError(ENOSPC, Path("f"));
    } catch (const std::exception& e) {
      RaiseInPlaceOf(e, "Не удалось записать в файл [f]: [полон]"_cp);
    }
  } catch (const COSException& e) {
    EXPECT_EQ(e.Message(), "Не удалось записать в файл [f]: [полон]"_cp);
    EXPECT_EQ(e.Code(), ENOSPC);
    EXPECT_EQ(e.Status(), static_cast<std::int32_t>(0x80070070));
  }
}

// Writes longer than one piece land whole, at their offset, and a positioned write leaves the
// file position where it was.
TEST(Files, WritesInPiecesLandWhole) {
  std::string bytes(300 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  CFileHandle fd(::open(TestPath("pieces").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  ASSERT_GE(fd.Get(), 0);
  ASSERT_TRUE(WriteAllBytes(fd.Get(), "head", 4));
  ASSERT_TRUE(WriteAllBytesAt(fd.Get(), bytes.data(), bytes.size(), 4));
  EXPECT_EQ(::lseek(fd.Get(), 0, SEEK_CUR), 4);
  ASSERT_TRUE(WriteAllBytesAt(fd.Get(), "tail", 4, static_cast<off_t>(4 + bytes.size())));
  EXPECT_EQ(qvtest::ReadBytes(TestPath("pieces")), "head" + bytes + "tail");
}

// Whole blocks written past the page cache land where the page cache sees them, and the file's
// flags are as before; memory out of line with the blocks, and a file system that refuses
// direct writes (a memory file), go through the page cache, the latter from then on.
TEST(Files, WritesToDiskPastThePageCacheWhereItCan) {
  BlockBuffer blocks = NewBlockBuffer(4 * kDirectBlock);
  for (std::size_t i = 0; i < 4 * kDirectBlock; ++i) blocks.get()[i] = static_cast<char>(i * 31 + i / 4093);
  for (bool inMemory : {false, true}) {
    SCOPED_TRACE(inMemory);
    std::string expected(5 * kDirectBlock + 11, 'a');
    CFileHandle fd(inMemory ? ::memfd_create("blocks", 0)
                            : ::open(TestPath("blocks").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    ASSERT_GE(fd.Get(), 0);
    ASSERT_TRUE(WriteAllBytes(fd.Get(), expected.data(), expected.size()));
    bool direct = true;
    ASSERT_TRUE(WriteToDisk(fd.Get(), blocks.get(), 3 * kDirectBlock, kDirectBlock, direct));
    expected.replace(kDirectBlock, 3 * kDirectBlock, blocks.get(), 3 * kDirectBlock);
    EXPECT_EQ(direct, !inMemory);
    EXPECT_EQ(::fcntl(fd.Get(), F_GETFL) & O_DIRECT, 0);
    ASSERT_TRUE(WriteToDisk(fd.Get(), blocks.get() + 1, kDirectBlock, 7, direct));
    expected.replace(7, kDirectBlock, blocks.get() + 1, kDirectBlock);
    EXPECT_EQ(direct, !inMemory);
    std::string written(expected.size() + 1, '\0');
    EXPECT_EQ(::pread(fd.Get(), written.data(), written.size(), 0), static_cast<ssize_t>(expected.size()));
    written.resize(expected.size());
    EXPECT_TRUE(written == expected);
  }
}

// A copy lands whole, between files on disk and in memory alike (whether the file system takes
// direct writes or not), and shows every piece once, in order; a source shorter than the length
// asked for and a target that cannot be written fail.
TEST(Files, CopiesWholeBetweenAnyFileSystems) {
  std::string bytes((9 << 20) + 7, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 509);
  qvtest::WriteBytes(TestPath("from"), bytes);
  CFileHandle disk(::open(TestPath("from").c_str(), O_RDONLY));
  CFileHandle memory(::memfd_create("from", 0));
  ASSERT_GE(memory.Get(), 0);
  ASSERT_TRUE(WriteAllBytes(memory.Get(), bytes.data(), bytes.size()));
  for (int from : {disk.Get(), memory.Get()}) {
    for (bool toMemory : {false, true}) {
      CFileHandle to(toMemory ? ::memfd_create("to", 0)
                              : ::open(TestPath("to").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
      ASSERT_GE(to.Get(), 0);
      std::string seen;
      ASSERT_TRUE(CopyFileBytes(from, to.Get(), bytes.size(),
                                [&](const char* piece, std::size_t n, std::uint64_t at) {
                                  EXPECT_EQ(at, seen.size());
                                  seen.append(piece, n);
                                }));
      EXPECT_TRUE(seen == bytes);
      std::string copy(bytes.size() + 1, '\0');
      EXPECT_EQ(::pread(to.Get(), copy.data(), copy.size(), 0), static_cast<ssize_t>(bytes.size()));
      copy.resize(bytes.size());
      EXPECT_TRUE(copy == bytes);
      EXPECT_FALSE(CopyFileBytes(from, to.Get(), bytes.size() + 1));
      EXPECT_EQ(errno, EIO);
    }
    CFileHandle readOnly(::open(TestPath("to").c_str(), O_RDONLY));
    EXPECT_FALSE(CopyFileBytes(from, readOnly.Get(), bytes.size()));
    EXPECT_EQ(errno, EBADF);
  }
}

// Prefaulting never changes the bytes, neither those there before nor those written meanwhile.
TEST(Prefault, KeepsTheBytes) {
  std::string buffer(CPrefault::kPrefaultMinimum * 2 + 12345, 'a');
  {
    CPrefault ahead(buffer.data(), buffer.size());
    for (std::size_t i = buffer.size() / 2; i < buffer.size(); i += 4096) buffer[i] = 'b';
  }
  std::size_t changed = 0;
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    char expected = (i >= buffer.size() / 2 && (i - buffer.size() / 2) % 4096 == 0) ? 'b' : 'a';
    if (buffer[i] != expected) ++changed;
  }
  EXPECT_EQ(changed, 0u);
  // memory reserved but not yet filled, as the cipher's output is
  std::string output;
  output.reserve(CPrefault::kPrefaultMinimum * 2);
  {
    CPrefault ahead(output.data(), output.capacity());
    output.assign(CPrefault::kPrefaultMinimum, 'c');
  }
  EXPECT_EQ(output, std::string(CPrefault::kPrefaultMinimum, 'c'));
}

TEST(Files, TextFileWriterAndReaderMessages) {
  std::string file = Path("t.txt");
  qvtest::WriteBytes(TestPath("t.txt"), "old content");
  WriteTextFile(file, "");
  EXPECT_EQ(qvtest::ReadBytes(TestPath("t.txt")), "");
  WriteTextFile(file, "new");
  EXPECT_EQ(ReadFileBytes(file), "new");
  try {
    WriteTextFile("", "x");
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Передано пустое имя файла"_cp);
  }
  try {
    ReadFileBytes(Path("нет.txt"));
    FAIL();
  } catch (const CVorlentException& e) {
    EXPECT_EQ(e.Message(), FormatText("Файл не найден: [%s]"_cp, {Path("нет.txt")}));
  }
}

TEST(Files, FolderTreesAndMasks) {
  std::string root = Path("w");
  ASSERT_TRUE(ForceDirectories(CombinePath(root, "a/b")));
  WriteFileBytes(CombinePath(root, "one.p7s"), std::string("1"));
  WriteFileBytes(CombinePath(root, "two.xml"), std::string("2"));
  WriteFileBytes(CombinePath(root, ".hidden.p7s"), std::string("3"));
  WriteFileBytes(CombinePath(root, "a/b/deep"), std::string("4"));
  ::chmod(TestPath("w/one.p7s").c_str(), 0400);  // read-only files go too

  CStrArray all;
  ListFiles(root, "*", kListFiles | kListFolders, all);
  EXPECT_EQ(all.Join(","), ".hidden.p7s,a,one.p7s,two.xml");
  DeleteFiles(root, "*.p7s");
  CStrArray left;
  ListFiles(root, "*", kListFiles, left);
  EXPECT_EQ(left.Join(","), "two.xml");

  EXPECT_TRUE(DeleteFolderTree(root, false));
  EXPECT_TRUE(IsDirectory(root));
  CStrArray none;
  ListFiles(root, "*", kListFiles | kListFolders, none);
  EXPECT_EQ(none.Count(), 0);
  EXPECT_FALSE(DeleteFolderTree("", true));

  ASSERT_TRUE(ForceDirectories(CombinePath(root, "x")));
  RemoveFolderTree(root);
  EXPECT_FALSE(IsDirectory(root));
}

TEST(Files, DeleteFolderTreeDoesNotFollowLinks) {
  std::string outside = Path("outside");
  ASSERT_TRUE(ForceDirectories(outside));
  WriteFileBytes(CombinePath(outside, "keep"), std::string("k"));
  std::string root = Path("root");
  ASSERT_TRUE(ForceDirectories(root));
  ASSERT_EQ(::symlink(TestPath("outside").c_str(), TestPath("root/link").c_str()), 0);
  EXPECT_TRUE(DeleteFolderTree(root, true));
  EXPECT_TRUE(FileExists(CombinePath(outside, "keep")));
}

TEST(Files, PathHelpers) {
  EXPECT_EQ(CombinePath(" /tmp/ ", "/name "), "/tmp/name");
  EXPECT_EQ(CombinePath("", ""), "");
  EXPECT_EQ(CombinePath("a\\", "b"), "a/b");
  EXPECT_EQ(IncludeTrailingSlash(" /tmp "), "/tmp/");
  EXPECT_EQ(IncludeTrailingSlash(""), "");
  EXPECT_EQ(ExtractFileName("C:\\Docs\\Заявление.pdf"_cp), "Заявление.pdf"_cp);
  EXPECT_EQ(ExtractFileName("D:name.txt"), "name.txt");
  EXPECT_EQ(ExtractFileName("/home/u/a.b.c"), "a.b.c");
  EXPECT_EQ(ExtractFileExt("/home/u/a.b.c"), ".c");
  EXPECT_EQ(ExtractFileExt("noext"), "");
}

TEST(Files, TempFolderFollowsTheEnvironment) {
  EXPECT_EQ(TempFolder(), Utf8ToCp1251(TestPath("tmp")));
  unsetenv("TMP");
  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(TempFolder(), "/var/tmp");
  unsetenv("TMPDIR");
  EXPECT_EQ(TempFolder(), "/tmp");
}

TEST(Hex, BothWays) {
  std::string bytes("\x00\x1F\xAB\xFF", 4);
  EXPECT_EQ(HexText(bytes), "001FABFF");
  EXPECT_EQ(HexText0x(bytes), "0x001FABFF");
  EXPECT_EQ(HexToBytes("001fabFF"), bytes);
  EXPECT_THROW(HexToBytes("0G"), CVorlentException);
  EXPECT_THROW(HexToBytes("ABC"), CVorlentException);
}

TEST(VersionInfo, ReadsTheRecordedStringsOfOwnFile) {
  CStrArray list;
  GetVersionInfo(OwnModulePath(), list);
  ASSERT_GT(list.Count(), 0);
  EXPECT_FALSE(list.ValueOf("FileVersion").empty());
  EXPECT_EQ(list.ValueOf("ProductName"), "QelVorlent");
  // the fixed order of the names
  EXPECT_EQ(list.Key(0).rfind("InternalName=", 0), 0u);

  GetVersionInfo("/bin/sh", list);  // an ELF file without recorded strings
  EXPECT_EQ(list.Count(), 0);
  qvtest::WriteBytes(TestPath("junk"), "not an executable");
  GetVersionInfo(Path("junk"), list);
  EXPECT_EQ(list.Count(), 0);
}
