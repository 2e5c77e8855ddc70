// Package files: archives of other writers, compressed documents, and crafted archives
// and manifests that must be refused without harm; saving that never loses the earlier file.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "PackageTestUtil.h"
#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "manifest/XMLGpr.h"
#include "package/VorlentDoc.h"

using namespace qv;
using namespace pkgtest;
using qvtest::RunCommand;
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

const std::string kId1 = "0123456789abcdef0123456789abcdef";
const std::string kId2 = "fedcba9876543210fedcba9876543210";

std::string Application(const std::string& inner, bool compressed = false) {
  return DocumentElement("01", "ЗаявлениеЮЛ", kId1, inner, compressed);
}

// Opens a package that must be refused: the message, and the container left open, empty,
// with nothing of the package on disk.
std::string Refused(const std::string& zipName, const ExtractLimits& limits = {},
                    std::uint64_t contentLimit = kMaxPackageContent) {
  CVorlentDoc doc;
  doc.SetExtractLimits(limits);
  doc.SetContentLimit(contentLimit);
  std::string error = ErrorOf([&] { doc.Open(Path(zipName)); });
  EXPECT_TRUE(doc.IsOpened());
  EXPECT_EQ(doc.GetFileCount(), 0);
  EXPECT_EQ(doc.Manifest().Documents().Count(), 0);
  EXPECT_EQ(Listing(TempFolder()), "") << "left on disk after: " << error;
  return error;
}

}  // namespace

TEST(PackageFiles, OpensPackagesOfOtherWritersInEitherManifestEncoding) {
  std::string documents =
      Application(
          "<содержимое имяФайла=\"Заявление.pdf\"/><подпись имяФайла=\"Заявление.pdf.zayav_1.p7s\" "
          "роль=\"заявитель\"><подпись имяФайла=\"n.p7s\" роль=\"нотариус\"/></подпись>") +
      DocumentElement("04", "ПДГоспошлина", kId2, "<содержимое имяФайла=\"fee.bin\"/>");
  for (const std::string encoding : {"windows-1251", "utf-8"}) {
    std::string manifest = Manifest(documents, encoding);
    if (encoding == "windows-1251") manifest = Utf8ToCp1251(manifest);
    MakeZip(TestPath("other.zip"), {{"packageDescription.xml", manifest, false},
                                    {"Заявление.pdf", "%PDF stored", true},
                                    {"Заявление.pdf.zayav_1.p7s", std::string("\x30\x82\0\1", 4), false},
                                    {"n.p7s", "notary", true},
                                    {"fee.bin", std::string(3000, '\x01'), false}});
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("other.zip"))) << encoding;
    EXPECT_EQ(doc.GetTransactionType(), 5);
    EXPECT_EQ(doc.GetSenderIdentifier(), "7701234567");
    ASSERT_EQ(doc.GetFileCount(), 2);
    auto application = doc.GetFile(0);
    EXPECT_EQ(application->GetContent(), "%PDF stored");
    EXPECT_EQ(application->GetKind(), 17);
    EXPECT_EQ(Cp1251ToUtf8(application->GetFileName()), "Заявление.pdf");
    EXPECT_EQ(doc.GetSignature(0, 0)->GetContent(), std::string("\x30\x82\0\1", 4));
    EXPECT_EQ(doc.GetResign(0, 0, 0)->GetContent(), "notary");
    EXPECT_EQ(doc.GetFile(1)->GetContent(), std::string(3000, '\x01'));

    // written back: ordinary archive, our names for the signatures, content names kept
    ASSERT_TRUE(doc.Save(Path("back.zip")));
    EXPECT_EQ(RunCommand("unzip -tq '" + TestPath("back.zip") + "' >/dev/null"), 0);
    EXPECT_EQ(ZipNames(TestPath("back.zip")),
              "fee.bin,packageDescription.xml,Заявление.pdf,Заявление.pdf.zayav_1.p7s,"
              "Заявление.pdf.zayav_1.p7s.notarius_1.p7s");
    EXPECT_EQ(ZipRead(TestPath("back.zip"), "Заявление.pdf.zayav_1.p7s.notarius_1.p7s"), "notary");
    std::string written = Cp1251ToUtf8(ZipRead(TestPath("back.zip"), "packageDescription.xml"));
    EXPECT_NE(written.find("идентификаторДокументооборота=\"00112233445566778899aabbccddeeff\""),
              std::string::npos);
  }
}

TEST(PackageFiles, CompressedDocumentIsUnpackedOnce) {
  MakeZip(TestPath("inner.zip"), {{"inner.pdf", "PLAIN BYTES", false}});
  std::string inner = qvtest::ReadBytes(TestPath("inner.zip"));
  MakeZip(TestPath("p.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"c.zip\"/>", true))), false},
           {"c.zip", inner, true}});
  std::string saved;
  {
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("p.zip")));
    auto entry = doc.GetFile(0);
    EXPECT_EQ(entry->GetContent(), "PLAIN BYTES");
    EXPECT_EQ(entry->GetRawContent(), "PLAIN BYTES");
    EXPECT_FALSE(entry->IsCompressed());
    // unpacked in memory: nothing beside the working folder in the temporary folder
    EXPECT_EQ(Listing(TempFolder()),
              ExtractFileName(doc.WorkFolder().substr(0, doc.WorkFolder().size() - 1)));
    ASSERT_TRUE(doc.Save(Path("q.zip")));
    EXPECT_EQ(ZipRead(TestPath("q.zip"), "c.zip"), "PLAIN BYTES");
    std::string manifest = Cp1251ToUtf8(ZipRead(TestPath("q.zip"), "packageDescription.xml"));
    EXPECT_NE(manifest.find("сжат=\"false\""), std::string::npos);
  }
  {
    // the saved package is not unpacked a second time
    CVorlentDoc back;
    ASSERT_TRUE(back.Open(Path("q.zip")));
    EXPECT_EQ(back.GetFile(0)->GetContent(), "PLAIN BYTES");
  }

  // a compressed document with two files inside is refused
  MakeZip(TestPath("two.zip"), {{"a", "1", false}, {"b", "2", false}});
  MakeZip(TestPath("bad.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"c.zip\"/>", true))), false},
           {"c.zip", qvtest::ReadBytes(TestPath("two.zip")), true}});
  EXPECT_EQ(Refused("bad.zip"), "Неверное число файлов в архиве: [2]");
}

TEST(PackageFiles, DocumentTypesAreCheckedOnOpening) {
  MakeZip(
      TestPath("p.zip"),
      {{"packageDescription.xml",
        Utf8ToCp1251(Manifest(DocumentElement("01", "ЗаявлениеИП", kId1, "<содержимое имяФайла=\"a\"/>"))),
        false},
       {"a", "x", false}});
  EXPECT_EQ(Refused("p.zip"),
            "Ожидается наименование типа документа по коду [01] - [ЗаявлениеЮЛ], встречено [ЗаявлениеИП]");
  MakeZip(TestPath("q.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(DocumentElement("36", "УведомлениеУчетИП", kId1, ""))), false}});
  EXPECT_EQ(Refused("q.zip"), "Неизвестный тип документа: [36]");
}

TEST(PackageFiles, ArchivesThatAreNoPackages) {
  MakeZip(TestPath("nomanifest.zip"), {{"a.pdf", "x", false}});
  EXPECT_EQ(Refused("nomanifest.zip"),
            "Неверный формат пакета: не найден главный файл [packageDescription.xml]");
  qvtest::WriteBytes(TestPath("text.zip"), "not an archive at all");
  EXPECT_EQ(Refused("text.zip").find("Неверный формат пакета: ошибка при разархивации ["), 0u);
  MakeZip(TestPath("missing.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"gone.pdf\"/>"))), false}});
  // A file the manifest names and the archive lacks is named by the package and the entry,
  // where the user can look for it, and not by a path in the working folder.
  EXPECT_EQ(Refused("missing.zip"), "Файл не найден: [" + TestPath("missing.zip") + "/gone.pdf]");
  MakeZip(TestPath("nosign.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(Application(
                "<содержимое имяФайла=\"a.pdf\"/><подпись имяФайла=\"подпись.p7s\" роль=\"заявитель\"/>"))),
            false},
           {"a.pdf", "x", false}});
  EXPECT_EQ(Refused("nosign.zip"), "Файл не найден: [" + TestPath("nosign.zip") + "/подпись.p7s]");

  // the container stays usable after a refused package: the working folder comes back for a save
  CVorlentDoc doc;
  ErrorOf([&] { doc.Open(Path("nomanifest.zip")); });
  doc.SetTransactionType(5);
  doc.SetSenderType(kSubjectSubscriberOther);
  doc.SetSenderIdentifier("1");
  doc.SetReceiverType(kSubjectTaxAuthority);
  doc.SetReceiverIdentifier("2");
  AddApplication(doc, "a.pdf", "x");
  ASSERT_TRUE(doc.Save(Path("new.zip")));
  EXPECT_EQ(RunCommand("unzip -tq '" + TestPath("new.zip") + "' >/dev/null"), 0);
}

// The manifest and the names the manifest gives are found whatever their letter case (Latin and
// Cyrillic) when there is no exact match; an exact match wins, and a choice left open is refused.
TEST(PackageFiles, NamesAreFoundRegardlessOfLetterCaseUnlessTheChoiceIsOpen) {
  std::string manifest = Utf8ToCp1251(Manifest(Application(
      "<содержимое имяФайла=\"Заявление.pdf\"/><подпись имяФайла=\"подпись.p7s\" роль=\"заявитель\"/>")));
  MakeZip(TestPath("case.zip"), {{"PackageDescription.XML", manifest, false},
                                 {"ЗАЯВЛЕНИЕ.PDF", "%PDF", false},
                                 {"ПОДПИСЬ.p7s", "signature", false}});
  {
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("case.zip")));
    ASSERT_EQ(doc.GetFileCount(), 1);
    EXPECT_EQ(doc.GetFile(0)->GetContent(), "%PDF");
    EXPECT_EQ(doc.GetSignature(0, 0)->GetContent(), "signature");
    // written back under the manifest's names
    ASSERT_TRUE(doc.Save(Path("case-back.zip")));
    EXPECT_EQ(ZipNames(TestPath("case-back.zip")),
              "packageDescription.xml,Заявление.pdf,Заявление.pdf.zayav_1.p7s");
    EXPECT_EQ(ZipRead(TestPath("case-back.zip"), "Заявление.pdf"), "%PDF");
  }
  // an exact match wins over names that differ only in case
  MakeZip(TestPath("exact.zip"), {{"PACKAGEDESCRIPTION.XML", "not the manifest", false},
                                  {"packageDescription.xml", manifest, false},
                                  {"заявление.pdf", "other", false},
                                  {"Заявление.pdf", "exact", false},
                                  {"подпись.p7s", "signature", false}});
  {
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("exact.zip")));
    EXPECT_EQ(doc.GetFile(0)->GetContent(), "exact");
  }
  // two files for one name, no exact match: the manifest, then a document
  MakeZip(TestPath("two-manifests.zip"),
          {{"PackageDescription.xml", manifest, false}, {"packagedescription.xml", manifest, false}});
  EXPECT_EQ(Refused("two-manifests.zip"),
            "Неверный формат пакета: имени файла [packageDescription.xml] без учета регистра соответствуют "
            "несколько файлов: [PackageDescription.xml] и [packagedescription.xml]");
  MakeZip(TestPath("two-files.zip"), {{"packageDescription.xml", manifest, false},
                                      {"ЗАЯВЛЕНИЕ.pdf", "1", false},
                                      {"заявление.PDF", "2", false},
                                      {"подпись.p7s", "signature", false}});
  EXPECT_EQ(Refused("two-files.zip"),
            "Неверный формат пакета: имени файла [Заявление.pdf] без учета регистра соответствуют "
            "несколько файлов: [ЗАЯВЛЕНИЕ.pdf] и [заявление.PDF]");
  // one file given two spellings, and a document that would be the manifest
  MakeZip(TestPath("two-spellings.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(Application(
                "<содержимое имяФайла=\"a.pdf\"/><подпись имяФайла=\"A.PDF\" роль=\"заявитель\"/>"))),
            false},
           {"A.pdf", "1", false}});
  EXPECT_EQ(Refused("two-spellings.zip"),
            "Неверный формат пакета: файл [A.pdf] назван в пакете по-разному: [a.pdf] и [A.PDF]");
  MakeZip(
      TestPath("manifest-twice.zip"),
      {{"packageDescription.xml",
        Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"PACKAGEDESCRIPTION.XML\"/>"))), false}});
  EXPECT_EQ(Refused("manifest-twice.zip"),
            "Неверный формат пакета: файл [packageDescription.xml] назван в пакете по-разному: "
            "[packageDescription.xml] и [PACKAGEDESCRIPTION.XML]");
}

// Sound behaviour: extraction never leaves the working folder, and names from the
// manifest are refused unless they are plain file names.
TEST(PackageFiles, NamesThatReachOutsideAreRefused) {
  MakeZip(TestPath("dots.zip"), {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application(""))), false},
                                 {"../evil.txt", "x", false}});
  EXPECT_EQ(
      Refused("dots.zip"),
      "Неверный формат пакета: ошибка при разархивации [Недопустимое имя файла в архиве: [../evil.txt]]");
  EXPECT_FALSE(FileExists(Path("evil.txt")));
  EXPECT_FALSE(FileExists(Path("tmp/evil.txt")));
  MakeZip(TestPath("link.zip"), {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application(""))), false},
                                 {"a", TestPath("secret"), false, true}});
  EXPECT_EQ(Refused("link.zip"),
            "Неверный формат пакета: ошибка при разархивации [Архив содержит ссылку: [a]]");
  MakeZip(TestPath("twice.zip"), {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application(""))), false},
                                  {"a", "first", false},
                                  {"a", "second", false}});
  // the archive library itself already refuses the second name
  EXPECT_EQ(Refused("twice.zip").find("Неверный формат пакета: ошибка при разархивации ["), 0u);

  qvtest::WriteBytes(TestPath("secret"), "outside");
  for (const std::string name :
       {"../../secret", "/etc/passwd", "..", "sub\\x", "C:x", "packageDescription.xml"}) {
    MakeZip(TestPath("content.zip"),
            {{"packageDescription.xml",
              Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"" + name + "\"/>"))), false}});
    EXPECT_EQ(Refused("content.zip"), "Недопустимое имя файла в пакете: [" + name + "]");
    MakeZip(TestPath("sign.zip"),
            {{"packageDescription.xml",
              Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"a\"/><подпись имяФайла=\"x.p7s\" "
                                                "роль=\"заявитель\"><подпись имяФайла=\"" +
                                                name + "\" роль=\"нотариус\"/></подпись>"))),
              false},
             {"a", "a", false},
             {"x.p7s", "s", false}});
    if (name != "packageDescription.xml") {
      EXPECT_EQ(Refused("sign.zip"), "Недопустимое имя файла в пакете: [" + name + "]");
    }
  }
  EXPECT_EQ(qvtest::ReadBytes(TestPath("secret")), "outside");
}

// Sound behaviour: an archive bomb is refused by the size it declares, and one that declares
// less than it unpacks to by the first byte beyond what it declares.
TEST(PackageFiles, ArchiveBombsAreRefused) {
  MakeZip(TestPath("bomb.zip"),
          {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"zeros\"/>"))),
            false},
           {"zeros", std::string(4u << 20, '\0'), false}});
  std::string zip = qvtest::ReadBytes(TestPath("bomb.zip"));
  ASSERT_LT(zip.size(), 64u * 1024);
  EXPECT_EQ(Refused("bomb.zip", {}, 1u << 20),
            "Содержимое пакета больше допустимого размера в памяти (1048576 байт)");
  ExtractLimits entry;
  entry.maxEntrySize = 1u << 20;
  EXPECT_EQ(
      Refused("bomb.zip", entry),
      "Неверный формат пакета: ошибка при разархивации [Файл [zeros] в архиве больше допустимого размера]");

  // "zeros" now declares 1000 bytes, in its local header and in the central directory alike
  for (const char* header : {"PK\x03\x04", "PK\x01\x02"}) {
    std::size_t at = 0;
    while ((at = zip.find(header, at)) != std::string::npos) {
      std::size_t nameLength = static_cast<unsigned char>(zip[at + (header[2] == 3 ? 26 : 28)]);
      std::size_t nameAt = at + (header[2] == 3 ? 30 : 46);
      if (zip.compare(nameAt, nameLength, "zeros") == 0) {
        const char declared[4] = {'\xE8', '\x03', 0, 0};
        zip.replace(at + (header[2] == 3 ? 22 : 24), 4, declared, 4);
      }
      at += 4;
    }
  }
  qvtest::WriteBytes(TestPath("liar.zip"), zip);
  EXPECT_EQ(Refused("liar.zip"),
            "Неверный формат пакета: ошибка при разархивации [Не удалось прочитать файл [zeros] архива: [Zip "
            "archive inconsistent]]");
}

// Sound behaviour: a file whose bytes were damaged is refused by its check sum, stored or
// deflated, and deflated bytes that do not inflate are refused too.
TEST(PackageFiles, DamagedFilesAreRefused) {
  const std::string manifest = Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"a\"/>")));
  const std::string text =
      "Заявление о государственной регистрации юридического лица. " + std::string(3000, 'x');
  for (bool deflated : {false, true}) {
    MakeZip(TestPath("p.zip"), {{"packageDescription.xml", manifest, false}, {"a", text, !deflated}});
    std::string zip = qvtest::ReadBytes(TestPath("p.zip"));
    // the local header of "a": its data follows the name and the extra field
    std::size_t at = zip.find("PK\x03\x04");
    while (at != std::string::npos && zip.compare(at + 30, 1, "a") != 0) at = zip.find("PK\x03\x04", at + 4);
    ASSERT_NE(at, std::string::npos);
    std::size_t data = at + 30 + 1 + static_cast<unsigned char>(zip[at + 28]);
    std::string damaged = zip;
    damaged[data + 20] = static_cast<char>(damaged[data + 20] ^ 0x01);
    qvtest::WriteBytes(TestPath("damaged.zip"), damaged);
    std::string error = Refused("damaged.zip");
    EXPECT_EQ(error.find(
                  "Неверный формат пакета: ошибка при разархивации [Не удалось прочитать файл [a] архива: ["),
              0u)
        << error;
    if (deflated) {
      std::string garbage = zip;
      garbage[data] = '\xFF';  // a block type that does not exist
      qvtest::WriteBytes(TestPath("garbage.zip"), garbage);
      EXPECT_EQ(Refused("garbage.zip"),
                "Неверный формат пакета: ошибка при разархивации [Не удалось прочитать файл [a] архива: "
                "[Compressed data invalid]]");
    }
  }
}

// Bytes that do not shrink when deflated, so that they are stored as they are.
std::string Incompressible(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

// A package whose first document, `big`, is large enough to stay in the package file; its bytes.
std::string SaveWithLargeFirstDocument(const std::string& big, const std::string& path) {
  CVorlentDoc doc;
  NewRegistration(doc);
  AddApplication(doc, "big.pdf", big);
  AddApplication(doc, "small.pdf", "small");
  EXPECT_TRUE(doc.Save(Path(path)));
  return qvtest::ReadBytes(TestPath(path));
}

// A large document first in its package stays in the package file until it is needed: a save
// carries it over as it lies, from the file that was opened even when its path names another file
// by then. Opening reads it once all the same: damaged bytes fail the opening as in any other file.
TEST(PackageFiles, LargeFirstDocumentIsCarriedOverAsItLies) {
  const std::string big = Incompressible(CPackageArchive::kCarrySize + 4099);
  const std::string original = SaveWithLargeFirstDocument(big, "p.zip");
  const std::size_t at = original.find(big);
  ASSERT_NE(at, std::string::npos);
  const std::size_t end = at + big.size();
  std::string name;
  {
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("p.zip")));
    name = doc.GetFile(0)->GetFileName();
    ASSERT_EQ(::rename(TestPath("p.zip").c_str(), TestPath("moved.zip").c_str()), 0);
    qvtest::WriteBytes(TestPath("p.zip"), "another file");
    doc.SetSenderIdentifier("2BM-7701234567-770101002");
    ASSERT_TRUE(doc.Save(Path("q.zip")));
    EXPECT_EQ(RunCommand("unzip -tq '" + TestPath("q.zip") + "' >/dev/null"), 0);
    EXPECT_EQ(ZipRead(TestPath("q.zip"), name), big);
    EXPECT_EQ(ZipRead(TestPath("q.zip"), doc.GetFile(1)->GetFileName()), "small");
    EXPECT_EQ(qvtest::ReadBytes(TestPath("q.zip")).compare(0, end, original, 0, end), 0);
    EXPECT_EQ(doc.GetFile(0)->GetRawContentSize(), big.size());
    EXPECT_EQ(doc.GetFile(0)->GetContent(), big);
  }
  std::string damaged = original;
  damaged[end - 1000] = static_cast<char>(damaged[end - 1000] ^ 0x01);
  qvtest::WriteBytes(TestPath("damaged.zip"), damaged);
  CVorlentDoc doc;
  EXPECT_EQ(ErrorOf([&] { doc.Open(Path("damaged.zip")); }),
            "Неверный формат пакета: ошибка при разархивации [Не удалось прочитать файл [" +
                Cp1251ToUtf8(name) + "] архива: [CRC error]]");
  EXPECT_TRUE(doc.IsOpened());
  EXPECT_EQ(doc.GetFileCount(), 0);
}

// Sound behaviour: once a package is open, nothing another process does to its file changes
// what the object returns or saves. Bytes changed in place so that every check sum still holds,
// a file cut short or rewritten with other content fail the read and the save with a message
// naming the package, and nothing is written; a file renamed over it changes nothing at all.
TEST(PackageFiles, PackageFileChangedAfterOpeningIsNeverReadOrSaved) {
  const std::string big = Incompressible(CPackageArchive::kCarrySize + 4099);
  const std::string original = SaveWithLargeFirstDocument(big, "p.zip");
  const std::size_t at = original.find(big);
  ASSERT_NE(at, std::string::npos);
  std::string forged = original;
  forged.replace(at, big.size(), qvtest::KeepingCrc32(big, 5000, "Подпись поставлена под другим текстом"));
  qvtest::WriteBytes(TestPath("forged.zip"), forged);
  {
    // the forgery is a sound package that no check sum tells from the original
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("forged.zip")));
    EXPECT_FALSE(doc.GetFile(0)->GetContent() == big);
    EXPECT_EQ(doc.GetFile(0)->GetContent().size(), big.size());
  }
  const std::string changed =
      "Файл с пакетом [" + TestPath("p.zip") + "] изменён после открытия: операция невозможна";
  const std::string shorter = original.substr(0, at + big.size() / 2);
  for (const std::string* now : std::initializer_list<const std::string*>{&forged, &shorter}) {
    qvtest::WriteBytes(TestPath("p.zip"), original);
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("p.zip")));
    qvtest::WriteBytes(TestPath("p.zip"), *now);  // in place: the same file, rewritten
    qvtest::WriteBytes(TestPath("r.zip"), "earlier");
    EXPECT_EQ(ErrorOf([&] { doc.Save(Path("r.zip")); }), changed);
    EXPECT_TRUE(qvtest::ReadBytes(TestPath("r.zip")) == "earlier");
    EXPECT_EQ(ErrorOf([&] { doc.Save(Path("p.zip")); }), changed);
    EXPECT_TRUE(qvtest::ReadBytes(TestPath("p.zip")) == *now);
    EXPECT_EQ(ErrorOf([&] { doc.GetFile(0)->GetRawContent(); }), changed);
    EXPECT_EQ(Listing(Path("")).find(".tmp"), std::string::npos) << Listing(Path(""));
    // the bytes opened are back: everything works again
    qvtest::WriteBytes(TestPath("p.zip"), original);
    EXPECT_TRUE(doc.GetFile(0)->GetRawContent() == big);
    ASSERT_TRUE(doc.Save(Path("r.zip")));
    EXPECT_TRUE(ZipRead(TestPath("r.zip"), doc.GetFile(0)->GetFileName()) == big);
  }
  // another process rewriting it all the while: each read or save gives the bytes opened, or fails
  qvtest::WriteBytes(TestPath("p.zip"), original);
  CVorlentDoc doc;
  ASSERT_TRUE(doc.Open(Path("p.zip")));
  {
    qvtest::FileRewriter rewriter(TestPath("p.zip"), 0, original, forged);
    for (int round = 0; round < 10; ++round) {
      const std::string error = ErrorOf([&] { doc.Save(Path("r.zip")); });
      if (error == "<no error>") {
        EXPECT_TRUE(ZipRead(TestPath("r.zip"), doc.GetFile(0)->GetFileName()) == big) << round;
      } else {
        EXPECT_EQ(error, changed);
      }
      std::string read;
      const std::string readError = ErrorOf([&] { read = doc.GetFile(0)->GetRawContent(); });
      EXPECT_TRUE(readError == "<no error>" ? read == big : readError == changed) << readError;
    }
  }
  qvtest::WriteBytes(TestPath("p.zip"), original);
  // another file put in its place by name leaves the opened one as it was
  ASSERT_EQ(::rename(TestPath("forged.zip").c_str(), TestPath("p.zip").c_str()), 0);
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  EXPECT_TRUE(ZipRead(TestPath("p.zip"), doc.GetFile(0)->GetFileName()) == big);
  EXPECT_TRUE(doc.GetFile(0)->GetContent() == big);
}

// Sound behaviour: the earlier package file stays as it was until the new one is complete.
TEST(PackageFiles, SavingNeverLosesTheEarlierFile) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto entry = AddApplication(doc, "a.pdf", "version one");
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  std::string before = qvtest::ReadBytes(TestPath("p.zip"));

  entry->SetContent("version two");
  entry->SetFileName("../evil");
  EXPECT_EQ(ErrorOf([&] { doc.Save(Path("p.zip")); }), "Недопустимое имя файла в пакете: [../evil]");
  EXPECT_FALSE(FileExists(Path("evil")));
  EXPECT_FALSE(FileExists(Path("tmp/evil")));
  // two files of one name would replace one another
  entry->SetFileName("same");
  AddApplication(doc, "b.pdf", "b")->SetFileName("same");
  EXPECT_EQ(ErrorOf([&] { doc.Save(Path("p.zip")); }),
            "Имя файла [same] встречается в пакете более одного раза");
  doc.GetFile(1)->SetFileName(ManifestFileName());
  EXPECT_EQ(ErrorOf([&] { doc.Save(Path("p.zip")); }),
            "Имя файла [packageDescription.xml] встречается в пакете более одного раза");
  // a document that cannot be written: its manifest attributes are incomplete
  doc.DeleteFile(1);
  entry->SetFileName("good.pdf");
  doc.AddDocument();
  EXPECT_NE(ErrorOf([&] { doc.Save(Path("p.zip")); }), "<no error>");
  EXPECT_EQ(qvtest::ReadBytes(TestPath("p.zip")), before);

  // a target that cannot be replaced
  doc.DeleteFile(1);
  ASSERT_TRUE(ForceDirectories(Path("folder.zip/inside")));
  EXPECT_EQ(ErrorOf([&] { doc.Save(Path("folder.zip")); }),
            "Файл уже существует: продолжение невозможно [" + TestPath("folder.zip") + "]");

  // a read-only earlier file is replaced
  ASSERT_EQ(chmod(TestPath("p.zip").c_str(), 0444), 0);
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  EXPECT_EQ(ZipRead(TestPath("p.zip"), "good.pdf"), "version two");
  // nothing left beside it
  EXPECT_EQ(Listing(Path("")).find(".tmp"), std::string::npos) << Listing(Path(""));
}

// Counter-signatures `levels` deep under one signature of the document, without files.
std::string NestedSignatures(int levels) {
  std::string open;
  for (int i = 0; i < levels; ++i) open += "<подпись роль=\"заявитель\">";
  std::string close;
  for (int i = 0; i < levels; ++i) close += "</подпись>";
  return open + close;
}

// Sound behaviour: nesting is bounded where it is read, so no walk of the tree runs out of
// stack; what is within the bounds opens, and nothing can be added beyond them.
TEST(PackageFiles, DeepNestingIsRefused) {
  std::string manifest = Utf8ToCp1251(Manifest(Application(NestedSignatures(100000))));
  ASSERT_LT(manifest.size(), 8u << 20);
  MakeZip(TestPath("deep.zip"), {{"packageDescription.xml", manifest, false}});
  ASSERT_LT(qvtest::ReadBytes(TestPath("deep.zip")).size(), 64u * 1024);
  EXPECT_EQ(Refused("deep.zip"), "Заверяющие подписи вложены глубже 32 уровней");
  MakeZip(TestPath("deeper.zip"),
          {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application(NestedSignatures(34)))), false}});
  EXPECT_EQ(Refused("deeper.zip"), "Заверяющие подписи вложены глубже 32 уровней");

  // any other element as well: here inside additional data before the documents
  std::string other;
  for (int i = 0; i < 100000; ++i) other += "<данные>";
  MakeZip(TestPath("other.zip"),
          {{"packageDescription.xml", Utf8ToCp1251(Manifest(other + Application(""))), false}});
  EXPECT_EQ(Refused("other.zip"), "Элементы XML вложены глубже 64 уровней");

  // the deepest counter-signature allowed opens and closes; one more cannot be added
  MakeZip(TestPath("limit.zip"),
          {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application(NestedSignatures(33)))), false}});
  CVorlentDoc doc;
  ASSERT_TRUE(doc.Open(Path("limit.zip")));
  std::shared_ptr<CVorlentSignature> deepest = doc.GetSignature(0, 0);
  for (int level = 1; level <= kMaxCounterSignatureLevel; ++level) {
    ASSERT_EQ(deepest->GetResignCount(), 1) << level;
    deepest = deepest->GetResign(0);
  }
  EXPECT_EQ(deepest->GetResignCount(), 0);
  EXPECT_EQ(ErrorOf([&] { deepest->AddResign(kSubjectNotary, "sign"); }),
            "Заверяющие подписи вложены глубже 32 уровней");
  EXPECT_EQ(deepest->GetResignCount(), 0);
  EXPECT_EQ(deepest->Element()->Signatures().Count(), 0);
  EXPECT_TRUE(doc.Close());
}

// Sound behaviour: a signature file name grows with its depth; a save never writes a name
// longer than a file system takes, so what is saved opens again.
TEST(PackageFiles, GeneratedNamesAreBounded) {
  // "a.pdf" and 12 bytes ".zayav_N.p7s" a level: 20 levels make 245 bytes, 21 make 257
  for (int levels : {20, 21}) {
    MakeZip(
        TestPath("p.zip"),
        {{"packageDescription.xml",
          Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"a.pdf\"/>" + NestedSignatures(levels)))),
          false},
         {"a.pdf", "%PDF", true}});
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(Path("p.zip")));
    std::string error = ErrorOf([&] { doc.Save(Path("q.zip")); });
    if (levels == 20) {
      EXPECT_EQ(error, "<no error>");
      CVorlentDoc back;
      ASSERT_TRUE(back.Open(Path("q.zip")));
      EXPECT_EQ(back.GetFile(0)->GetContent(), "%PDF");
    } else {
      EXPECT_EQ(error,
                "Имя файла в пакете длиннее 255 байт: "
                "[a.pdf.zayav_1.p7s.zayav_1.p7s.zayav_1.p7s.zayav_1.p7s.zayav_...]");
      EXPECT_FALSE(FileExists(Path("q.zip")));
    }
    ASSERT_TRUE(doc.Close());
    ASSERT_EQ(std::remove(TestPath("q.zip").c_str()), levels == 20 ? 0 : -1);
  }
  // counted as stored: a Cyrillic letter takes two bytes
  CVorlentDoc doc;
  NewRegistration(doc);
  auto entry = AddApplication(doc, "a.pdf", "x");
  std::string letters;
  for (int i = 0; i < 77; ++i) letters += "я";
  entry->SetFileName(Utf8ToCp1251(std::string(101, 'a') + letters));  // 255 bytes
  EXPECT_EQ(ErrorOf([&] { doc.Save(Path("q.zip")); }), "<no error>");
  entry->SetFileName(Utf8ToCp1251(std::string(100, 'a') + letters + "я"));  // 256 bytes, 178 letters
  EXPECT_NE(ErrorOf([&] { doc.Save(Path("q.zip")); }).find("длиннее 255 байт"), std::string::npos);
}

// Writes `size` as the unpacked size of the only entry of a ZIP archive, in its local and
// central headers alike.
void DeclareSize(std::string& zip, std::uint32_t size) {
  auto put = [&](std::size_t at) {
    for (int i = 0; i < 4; ++i) zip[at + i] = static_cast<char>(size >> (8 * i));
  };
  ASSERT_EQ(zip.compare(0, 4, "PK\x03\x04"), 0);
  put(22);
  std::size_t central = zip.find("PK\x01\x02");
  ASSERT_NE(central, std::string::npos);
  put(central + 24);
}

// Sound behaviour: what opening reads into memory is bounded and counted before it is
// read: the manifest, every file as often as the manifest names it, and what compressed
// documents unpack to, by the size they declare and by what they really unpack to.
TEST(PackageFiles, OpeningTakesBoundedMemory) {
  std::string manifest = Utf8ToCp1251(Manifest(Application("")));
  MakeZip(TestPath("big.zip"),
          {{"packageDescription.xml", manifest + std::string(kMaxManifestSize, ' '), false}});
  EXPECT_EQ(Refused("big.zip"),
            "Неверный формат пакета: главный файл [packageDescription.xml] больше 16777216 байт");

  // four compressed documents declaring 3 GiB each, refused before anything is unpacked
  MakeZip(TestPath("inner.zip"), {{"inner.pdf", std::string(1u << 20, '\0'), false}});
  std::string inner = qvtest::ReadBytes(TestPath("inner.zip"));
  DeclareSize(inner, 3u << 30);
  std::string documents;
  std::vector<Member> members;
  for (int i = 0; i < 4; ++i) {
    std::string name = "c" + std::to_string(i) + ".zip";
    documents += Application("<содержимое имяФайла=\"" + name + "\"/>", true);
    members.push_back({name, inner, true});
  }
  members.push_back({"packageDescription.xml", Utf8ToCp1251(Manifest(documents)), false});
  MakeZip(TestPath("declared.zip"), members);
  EXPECT_EQ(Refused("declared.zip"),
            "Содержимое пакета больше допустимого размера в памяти (2147483648 байт)");

  // below a lower limit: what the first compressed document unpacks to counts for the second
  MakeZip(TestPath("inner.zip"), {{"inner.pdf", std::string(2u << 20, '\0'), false}});
  inner = qvtest::ReadBytes(TestPath("inner.zip"));
  MakeZip(TestPath("two.zip"),
          {{"packageDescription.xml",
            Utf8ToCp1251(Manifest(Application("<содержимое имяФайла=\"c0.zip\"/>", true) +
                                  Application("<содержимое имяФайла=\"c1.zip\"/>", true))),
            false},
           {"c0.zip", inner, true},
           {"c1.zip", inner, true}});
  EXPECT_EQ(Refused("two.zip", {}, 3u << 20),
            "Содержимое пакета больше допустимого размера в памяти (3145728 байт)");
  {
    CVorlentDoc doc;
    doc.SetContentLimit(5u << 20);
    ASSERT_TRUE(doc.Open(Path("two.zip")));
    EXPECT_EQ(doc.GetFile(1)->GetContent().size(), 2u << 20);
  }

  // one file named by many signatures counts as often as it is read
  std::string signatures;
  for (int i = 0; i < 4; ++i) signatures += "<подпись имяФайла=\"s.p7s\" роль=\"заявитель\"/>";
  MakeZip(TestPath("same.zip"),
          {{"packageDescription.xml", Utf8ToCp1251(Manifest(Application(signatures))), false},
           {"s.p7s", std::string(1u << 20, 's'), false}});
  EXPECT_EQ(Refused("same.zip", {}, 3u << 20),
            "Содержимое пакета больше допустимого размера в памяти (3145728 байт)");
  CVorlentDoc doc;
  doc.SetContentLimit(4u << 20);
  ASSERT_TRUE(doc.Open(Path("same.zip")));
  EXPECT_EQ(doc.GetSignatureCount(0), 4);
}

TEST(PackageFiles, WorkingFolderIsRemovedThroughItsOwnHandleOnly) {
  const std::string victim = TestPath("victim");
  ASSERT_TRUE(ForceDirectories(victim));
  qvtest::WriteBytes(victim + "/precious", "kept");
  MakeZip(TestPath("bad.zip"), {{"other.txt", "x", false}});
  {
    // A failed opening removes the folder and forgets its name at once: what someone puts
    // under that name afterwards is not the library's to empty.
    CVorlentDoc doc;
    EXPECT_NE(ErrorOf([&] { doc.Open(Path("bad.zip")); }), "<no error>");
    EXPECT_EQ(doc.WorkFolder(), "");
    EXPECT_EQ(Listing(TempFolder()), "");
    if (!doc.WorkFolder().empty()) {
      std::string planted = doc.WorkFolder();
      planted.pop_back();
      ASSERT_EQ(::symlink(victim.c_str(), planted.c_str()), 0);
    }
    ErrorOf([&] { doc.Save(Path("out.zip")); });  // an empty package: refused, and nothing deleted
    EXPECT_TRUE(doc.Close());
    EXPECT_EQ(qvtest::ReadBytes(victim + "/precious"), "kept");
  }
  {
    // A link put in the folder's place while it is open: the library's own folder is emptied
    // through its handle, and the link and what it points to are left alone.
    CVorlentDoc doc;
    NewRegistration(doc);
    ASSERT_TRUE(AddApplication(doc, "a.pdf", "content")->Store());
    std::string folder = doc.WorkFolder();
    folder.pop_back();
    ASSERT_EQ(::rename(folder.c_str(), TestPath("moved").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), folder.c_str()), 0);
    EXPECT_TRUE(doc.Save(Path("p.zip")));
    EXPECT_TRUE(doc.Close());
    EXPECT_EQ(Listing(victim), "precious");
    EXPECT_EQ(Listing(TestPath("moved")), "");
    struct stat st {};
    EXPECT_TRUE(::lstat(folder.c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  }
}

TEST(PackageFiles, LeftoversOfDeadProcessesGoWhenTheirFolderIsNextUsed) {
  const long long stale = kStaleTemporaryAge + 3600;
  const std::string temp = TempFolder();
  auto folderAt = [&](const std::string& path, long long age) {
    ASSERT_TRUE(ForceDirectories(path + "/inner"));
    qvtest::WriteBytes(path + "/inner/document.pdf", "decrypted");
    qvtest::MakeOlder(path + "/inner", age);
    qvtest::MakeOlder(path, age);
  };
  // Working folders of processes that died with a package open: one as it was left, one where
  // a folder has since been put.
  auto deadProcessFolder = [&] {
    const std::string named = TestPath("dead-folder");
    EXPECT_EQ(qvtest::RunInChild([&] {
                auto* doc = new CVorlentDoc;  // never closed: the child ends without destroying it
                NewRegistration(*doc);
                if (!AddApplication(*doc, "a.pdf", "decrypted")->Store()) return 1;
                qvtest::WriteBytes(named, doc->WorkFolder().substr(0, doc->WorkFolder().size() - 1));
                return 0;
              }),
              0);
    return qvtest::ReadBytes(named);
  };
  const std::string dead = deadProcessFolder();
  const std::string grown = deadProcessFolder();
  qvtest::MakeOlder(dead, stale);
  folderAt(grown, stale);
  // folders in the temporary folder: a stale one of the same form the library did not make (no
  // mark), a fresh one, one still in use, and a stale folder of another name
  folderAt(temp + "/{11111111-2222-3333-4444-555555555555}", stale);
  folderAt(temp + "/{66666666-7777-8888-9999-000000000000}", 0);
  folderAt(temp + "/{AAAAAAAA-7777-8888-9999-000000000000}", stale);
  CFileHandle inUse(
      ::open((temp + "/{AAAAAAAA-7777-8888-9999-000000000000}").c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(::flock(inUse.Get(), LOCK_SH), 0);
  folderAt(temp + "/mine", stale);
  // beside a package: what saving and the archive writer leave, and a file of the user's
  const std::string out = TestPath("out");
  ASSERT_TRUE(ForceDirectories(out));
  for (const std::string name :
       {".0123456789abcdef0123456789abcdef.tmp", ".0123456789abcdef0123456789abcdef.tmp.Ab12Cd",
        ".fedcba9876543210fedcba9876543210.tmp", "report.tmp"}) {
    qvtest::WriteBytes(out + "/" + name, "decrypted");
    qvtest::MakeOlder(out + "/" + name, name.find("fedcba") == std::string::npos ? stale : 0);
  }

  CVorlentDoc doc;
  NewRegistration(doc);
  ASSERT_TRUE(doc.Save(Path("out/p.zip")));
  std::string own = doc.WorkFolder();
  own.pop_back();
  std::vector<std::string> kept = {"mine",
                                   ExtractFileName(own),
                                   ExtractFileName(grown),
                                   "{11111111-2222-3333-4444-555555555555}",
                                   "{66666666-7777-8888-9999-000000000000}",
                                   "{AAAAAAAA-7777-8888-9999-000000000000}"};
  std::sort(kept.begin(), kept.end());
  std::string expected;
  for (const std::string& name : kept) expected += (expected.empty() ? "" : ",") + name;
  EXPECT_EQ(Listing(temp), expected);
  EXPECT_FALSE(IsDirectory(dead));
  EXPECT_EQ(Listing(grown + "/inner"), "document.pdf");  // nothing below a folder it did not make
  EXPECT_EQ(Listing(out), ".fedcba9876543210fedcba9876543210.tmp,p.zip,report.tmp");
}
