#include "package/Archive.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"

using namespace qv;
using qvtest::RunCommand;
using qvtest::TestPath;

namespace {

std::string Path(const std::string& utf8) {
  return Utf8ToCp1251(TestPath(utf8));
}

// Builds an archive with Python's zipfile, an implementation independent of ours.
// `body` is Python code run with `z` open for writing.
void MakeZip(const std::string& utf8Path, const std::string& body) {
  std::string script = TestPath("make.py");
  qvtest::WriteBytes(script,
                     "import zipfile, sys\nwith zipfile.ZipFile(sys.argv[1], 'w') as z:\n" + body + "\n");
  ASSERT_EQ(RunCommand("python3 '" + script + "' '" + utf8Path + "'"), 0) << body;
}

std::string Listing(const std::string& folder) {
  CStrArray names;
  ListFiles(folder, "*", kListFiles | kListFolders, names);
  return Cp1251ToUtf8(names.Join(","));
}

std::string ExtractError(const std::string& zipUtf8, const ExtractLimits& limits = {}) {
  try {
    COsAbbreviaTool::ExtractArchive(Path("out"), Utf8ToCp1251(zipUtf8), false, limits);
  } catch (const CVorlentException& e) {
    return Cp1251ToUtf8(e.Message());
  }
  return "<extracted>";
}

}  // namespace

TEST(Archive, RoundTripReadableByOtherTools) {
  std::string src = Path("src");
  ASSERT_TRUE(ForceDirectories(CombinePath(src, "sub")));
  WriteFileBytes(CombinePath(src, "packageDescription.xml"), std::string(5000, 'x'));
  WriteFileBytes(CombinePath(src, "Заявление.pdf"_cp), std::string("%PDF binary\x00\x01", 13));
  WriteFileBytes(CombinePath(src, "sub/hidden"), std::string("not archived"));
  std::string zip = Path("p.zip");
  ASSERT_TRUE(COsAbbreviaTool::ArchiveFolder(src, "*.*", zip));

  EXPECT_EQ(RunCommand("unzip -tq '" + TestPath("p.zip") + "' >/dev/null"), 0);
  std::string names;
  ASSERT_EQ(RunCommand("python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                       "print(','.join(sorted(i.filename for i in z.infolist())), end='')\" '" +
                           TestPath("p.zip") + "'",
                       &names),
            0);
  EXPECT_EQ(names, "packageDescription.xml,Заявление.pdf");  // the subfolder stays out

  std::string out = COsAbbreviaTool::ExtractArchive(Path("out"), zip, false);
  EXPECT_EQ(out, Path("out"));
  EXPECT_EQ(Listing(out), "packageDescription.xml,Заявление.pdf");
  EXPECT_EQ(ReadFileBytes(CombinePath(out, "Заявление.pdf"_cp)), std::string("%PDF binary\x00\x01", 13));

  std::string fresh = COsAbbreviaTool::ExtractArchive(Path("out"), zip, true);
  EXPECT_NE(fresh, out);
  EXPECT_EQ(Listing(fresh), "packageDescription.xml,Заявление.pdf");
}

TEST(Archive, OpensArchivesOfOtherWritersWithEitherNameEncoding) {
  MakeZip(TestPath("py.zip"),
          "  z.writestr(zipfile.ZipInfo('stored.bin'), b'\\x00' * 100)\n"
          "  z.writestr('deflated.txt', 'text ' * 1000, compress_type=zipfile.ZIP_DEFLATED)\n"
          "  z.writestr('Квитанция.pdf', b'utf8 flagged')\n"
          "  z.writestr('ABCDE.txt', b'oem name')");
  // Windows tools store names in code page 866 without the UTF-8 flag; Python always
  // flags non-ASCII names, so the OEM bytes are put in place of an ASCII name afterwards.
  std::string bytes = qvtest::ReadBytes(TestPath("py.zip"));
  const std::string oem = "\x8E\xAF\xA8\xE1\xEC.txt";  // "Опись.txt" in code page 866
  for (std::size_t at; (at = bytes.find("ABCDE.txt")) != std::string::npos;)
    bytes.replace(at, oem.size(), oem);
  qvtest::WriteBytes(TestPath("py.zip"), bytes);
  std::string out = COsAbbreviaTool::ExtractArchive(Path("out"), Path("py.zip"), false);
  EXPECT_EQ(Listing(out), "deflated.txt,stored.bin,Квитанция.pdf,Опись.txt");
  EXPECT_EQ(ReadFileBytes(CombinePath(out, "deflated.txt")).size(), 5000u);
}

TEST(Archive, RefusesEntriesThatAreNotPlainFileNames) {
  ASSERT_TRUE(ForceDirectories(Path("victim")));
  struct Case {
    const char* entry;
    const char* message;
  } cases[] = {
      {"z.writestr('/abs.txt', 'x')", "Недопустимое имя файла в архиве: [/abs.txt]"},
      {"z.writestr('../victim/evil.txt', 'x')", "Недопустимое имя файла в архиве: [../victim/evil.txt]"},
      {"z.writestr('a\\\\b.txt', 'x')", "Недопустимое имя файла в архиве: [a\\b.txt]"},
      {"z.writestr('C:evil.txt', 'x')", "Недопустимое имя файла в архиве: [C:evil.txt]"},
      {"z.writestr('dir/', '')", "Архив содержит папку: [dir/]"},
      // the archive library itself refuses duplicate names when it opens the archive
      {"z.writestr('a.txt', 'x'); z.writestr('a.txt', 'y')",
       "Не удалось открыть архив [*]: [File already exists]"},
      // names that differ only in characters 1251 lacks would overwrite each other
      {"z.writestr('\u4e2d.txt', 'x'); z.writestr('\u6587.txt', 'y')", "Файл [?.txt] повторяется в архиве"},
      {"i = zipfile.ZipInfo('link'); i.create_system = 3; i.external_attr = 0o120777 << 16; "
       "z.writestr(i, '/etc/passwd')",
       "Архив содержит ссылку: [link]"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string zip = TestPath("bad" + std::to_string(n++) + ".zip");
    MakeZip(zip, std::string(
                     "  import warnings; warnings.simplefilter('ignore'); z.writestr('ok.txt', 'fine'); ") +
                     c.entry);
    std::string expected = c.message;
    std::size_t star = expected.find('*');
    if (star != std::string::npos) expected.replace(star, 1, zip);
    EXPECT_EQ(ExtractError(zip), expected);
    EXPECT_FALSE(IsDirectory(Path("out"))) << "the output folder is removed: " << c.entry;
  }
  EXPECT_EQ(Listing(Path("victim")), "");
  EXPECT_FALSE(FileExists(Path("abs.txt")));
}

TEST(Archive, RefusesArchiveBombsWithoutFillingTheDisk) {
  MakeZip(TestPath("bomb.zip"),
          "  z.writestr('a.bin', b'\\x00' * (4 << 20), compress_type=zipfile.ZIP_DEFLATED)\n"
          "  z.writestr('b.bin', b'\\x00' * (4 << 20), compress_type=zipfile.ZIP_DEFLATED)");
  ExtractLimits entry;
  entry.maxEntrySize = 1 << 20;
  EXPECT_EQ(ExtractError(TestPath("bomb.zip"), entry), "Файл [a.bin] в архиве больше допустимого размера");
  EXPECT_FALSE(IsDirectory(Path("out")));
  ExtractLimits total;
  total.maxTotalSize = 6 << 20;
  EXPECT_EQ(ExtractError(TestPath("bomb.zip"), total),
            "Распакованный архив больше свободного места во временной папке");
  EXPECT_FALSE(IsDirectory(Path("out")));
}

TEST(Archive, DamagedAndForeignFilesFailCleanly) {
  qvtest::WriteBytes(TestPath("not.zip"), "this is not an archive");
  EXPECT_EQ(ExtractError(TestPath("not.zip")).rfind("Не удалось открыть архив [", 0), 0u);
  EXPECT_FALSE(IsDirectory(Path("out")));

  // a valid archive cut short
  MakeZip(TestPath("full.zip"), "  z.writestr('a.txt', 'x' * 100000, compress_type=zipfile.ZIP_DEFLATED)");
  std::string bytes = qvtest::ReadBytes(TestPath("full.zip"));
  qvtest::WriteBytes(TestPath("cut.zip"), bytes.substr(0, bytes.size() / 2));
  EXPECT_NE(ExtractError(TestPath("cut.zip")), "<extracted>");
  EXPECT_FALSE(IsDirectory(Path("out")));

  // a flipped byte inside the compressed data fails the CRC or the inflation
  std::string damaged = bytes;
  damaged[60] = static_cast<char>(damaged[60] ^ 0xFF);
  qvtest::WriteBytes(TestPath("crc.zip"), damaged);
  EXPECT_NE(ExtractError(TestPath("crc.zip")), "<extracted>");
  EXPECT_FALSE(IsDirectory(Path("out")));

  EXPECT_FALSE(COsAbbreviaTool::ArchiveFolder(Path("missing"), "*.*", Path("never.zip")));
  EXPECT_FALSE(FileExists(Path("never.zip")));
}

TEST(Archive, UnpackSingleFileCountsEntriesAndLeavesNoTemporaryFiles) {
  MakeZip(TestPath("one.zip"), "  z.writestr('doc.xml', '<a/>', compress_type=zipfile.ZIP_DEFLATED)");
  EXPECT_EQ(COsAbbreviaTool::UnpackSingleFile(qvtest::ReadBytes(TestPath("one.zip"))), "<a/>");
  MakeZip(TestPath("two.zip"), "  z.writestr('a', '1'); z.writestr('b', '2')");
  MakeZip(TestPath("none.zip"), "  pass");
  auto message = [](const std::string& zip) {
    try {
      COsAbbreviaTool::UnpackSingleFile(qvtest::ReadBytes(TestPath(zip)));
    } catch (const CVorlentException& e) {
      return Cp1251ToUtf8(e.Message());
    }
    return std::string("<unpacked>");
  };
  EXPECT_EQ(message("two.zip"), "Неверное число файлов в архиве: [2]");
  EXPECT_EQ(message("none.zip"), "Неверное число файлов в архиве: [0]");
  EXPECT_THROW(COsAbbreviaTool::UnpackSingleFile("garbage"), CVorlentException);
  EXPECT_EQ(Listing(TempFolder()), "");
}

TEST(Archive, IncompressibleContentIsStored) {
  std::string src = Path("src");
  ASSERT_TRUE(ForceDirectories(src));
  std::string random;
  unsigned state = 12345;
  for (int i = 0; i < 600000; ++i) {
    state = state * 1103515245u + 12345u;
    random += static_cast<char>(state >> 24);
  }
  WriteFileBytes(CombinePath(src, "random.bin"), random);
  WriteFileBytes(CombinePath(src, "text.txt"), std::string(600000, 'a'));
  WriteFileBytes(CombinePath(src, "tiny.txt"), std::string("hello"));  // deflate would make 7 bytes
  ASSERT_TRUE(COsAbbreviaTool::ArchiveFolder(src, "*.*", Path("p.zip")));
  std::string types;
  ASSERT_EQ(RunCommand(
                "python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                "print(','.join('%s:%d' % (i.filename, i.compress_type) for i in z.infolist()), end='')\" '" +
                    TestPath("p.zip") + "'",
                &types),
            0);
  EXPECT_EQ(types, "random.bin:0,text.txt:8,tiny.txt:0");
  EXPECT_EQ(RunCommand("unzip -tq '" + TestPath("p.zip") + "' >/dev/null"), 0);
}

// The read system calls of this process so far (/proc/self/io, "syscr").
long ReadCalls() {
  std::string io = qvtest::ReadBytes("/proc/self/io");
  std::size_t at = io.find("syscr: ");
  return at == std::string::npos ? -1 : std::atol(io.c_str() + at + 7);
}

TEST(Archive, ASmallPackageFileIsReadInOneCallWhateverItsEntries) {
  MakeZip(TestPath("many.zip"),
          "    import random\n"
          "    for i in range(40):\n"
          "        z.writestr('doc%d.pdf' % i, random.Random(i).randbytes(8000), zipfile.ZIP_DEFLATED)");
  CPackageArchive(Path("many.zip"), 1 << 20);  // what is read once a process (the time zone) is read
  const long first = ReadCalls();
  const long before = ReadCalls();
  const long overhead = before - first;  // of reading /proc/self/io itself
  CPackageArchive archive(Path("many.zip"), 1 << 20);
  ASSERT_EQ(archive.Names().size(), 40u);
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(archive.Read("doc" + std::to_string(i) + ".pdf", "doc").size(), 8000u);
  // One read of the file, not one or more per entry.
  EXPECT_LE(ReadCalls() - before - overhead, 1);
}

namespace {

// Flips the byte at `offset` of the file, in place.
void FlipByte(const std::string& utf8Path, std::size_t offset) {
  std::string bytes = qvtest::ReadBytes(utf8Path);
  ASSERT_LT(offset, bytes.size());
  std::FILE* file = std::fopen(utf8Path.c_str(), "r+b");
  ASSERT_NE(file, nullptr);
  std::fseek(file, static_cast<long>(offset), SEEK_SET);
  std::fputc(static_cast<unsigned char>(bytes[offset]) ^ 0xFF, file);
  std::fclose(file);
}

std::string ReadError(const CPackageArchive& archive, const std::string& name) {
  try {
    archive.Read(name, name);
  } catch (const CVorlentException& e) {
    return Cp1251ToUtf8(e.Message());
  }
  return "<read>";
}

}  // namespace

// The large documents of a package are read at once as it opens; each must still get its own
// bytes, as they were then, once, and a damaged one must fail at its own turn with its own message.
TEST(Archive, EntriesReadAheadGiveTheirOwnBytesOnceAndFailAtTheirTurn) {
  // 20 MiB of stored entries: the archive reads the file as it goes, not a copy in memory
  MakeZip(
      TestPath("bad.zip"),
      "    import random\n"
      "    for i, name in enumerate(['a.bin', 'b.bin', 'c.bin', 'd.bin']):\n"
      "        z.writestr(name, random.Random(i).randbytes(5 << 20))\n"
      "    z.writestr('small.txt', 'hello')\n"
      "    for name in ['b.bin', 'c.bin', 'd.bin']:\n"
      "        info = z.getinfo(name)\n"
      "        print(info.header_offset + 30 + len(info.filename) + (3 << 20), file=open(sys.argv[1] + '.' + "
      "name, 'w'))");
  auto offset = [](const std::string& name) {
    return static_cast<std::size_t>(std::stoul(qvtest::ReadBytes(TestPath("bad.zip." + name))));
  };
  FlipByte(TestPath("bad.zip"), offset("c.bin"));
  FlipByte(TestPath("bad.zip"), offset("d.bin"));
  std::string a, b, cFails, dFails;
  {
    CPackageArchive once(Path("bad.zip"), 1 << 30);
    a = once.Read("a.bin", "a.bin");
    b = once.Read("b.bin", "b.bin");
    cFails = ReadError(once, "c.bin");
    dFails = ReadError(once, "d.bin");
  }
  ASSERT_EQ(a.size(), 5u << 20);
  ASSERT_NE(cFails, "<read>");
  ASSERT_NE(cFails, dFails);

  CPackageArchive archive(Path("bad.zip"), 1 << 30);
  archive.ReadAhead({"d.bin", "c.bin", "b.bin", "a.bin", "a.bin", "small.txt", "missing.bin"});
  // changed after the reading: the bytes read then are the ones given, and only once
  FlipByte(TestPath("bad.zip"), offset("b.bin"));
  EXPECT_TRUE(archive.Read("b.bin", "b.bin") == b);
  EXPECT_NE(ReadError(archive, "b.bin"), "<read>");
  EXPECT_TRUE(archive.Read("a.bin", "a.bin") == a);
  EXPECT_EQ(ReadError(archive, "c.bin"), cFails);
  EXPECT_EQ(ReadError(archive, "d.bin"), dFails);
  EXPECT_EQ(archive.Read("small.txt", "small.txt"), "hello");
  EXPECT_EQ(ReadError(archive, "missing.bin"), "Файл не найден: [missing.bin]");
}

// A large first document left in the package file is digested while it is read: the pieces
// must reach the digest in order, and only pieces checked against what the opening read, so that
// a piece rewritten since gives neither a digest over it nor bytes.
TEST(Archive, AKeptEntryReadPieceByPieceHandsOnOnlyCheckedBytesInOrder) {
  MakeZip(TestPath("kept.zip"),
          "    import random\n"
          "    z.writestr('doc.bin', random.Random(7).randbytes(18 << 20))\n"
          "    z.writestr('doc.bin.p7s', 'signature')\n"
          "    info = z.getinfo('doc.bin')\n"
          "    print(30 + len(info.filename), file=open(sys.argv[1] + '.at', 'w'))");
  const std::size_t dataOffset = std::stoul(qvtest::ReadBytes(TestPath("kept.zip.at")));
  constexpr std::size_t kPiece = CPackageArchive::kDigestPiece;
  std::string whole;
  std::vector<std::size_t> sizes;
  auto collect = [&](const char* data, std::size_t size) {
    whole.append(data, size);
    sizes.push_back(size);
  };
  {
    CPackageArchive archive(Path("kept.zip"), 1ULL << 32);
    archive.Keep("doc.bin");
    ASSERT_TRUE(archive.Carriable("doc.bin"));
    const std::string read = archive.Read("doc.bin", "doc.bin", collect);
    EXPECT_TRUE(whole == read);
    EXPECT_EQ(read.size(), 18u << 20);
    EXPECT_EQ(sizes, (std::vector<std::size_t>{kPiece, kPiece, kPiece, kPiece, 2 << 20}));
  }
  const std::string original = whole;

  CPackageArchive archive(Path("kept.zip"), 1ULL << 32);
  archive.Keep("doc.bin");
  FlipByte(TestPath("kept.zip"), dataOffset + 3 * kPiece + 10);
  whole.clear();
  try {
    archive.Read("doc.bin", "doc.bin", collect);
    ADD_FAILURE() << "a changed piece was read";
  } catch (const CVorlentException& e) {
    EXPECT_NE(Cp1251ToUtf8(e.Message()).find("изменён после открытия"), std::string::npos)
        << Cp1251ToUtf8(e.Message());
  }
  EXPECT_LE(whole.size(), 3 * kPiece);
  EXPECT_TRUE(whole == original.substr(0, whole.size()));
}
