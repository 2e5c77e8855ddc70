// The package container with its document and signature entries: life cycle, names of
// files inside the package, lookups and deletions, and packages of other writers.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "PackageTestUtil.h"
#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/FileFaults.h"
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

// Names in the temporary folder (the working folders live there), comma-separated.
std::string TempListing() {
  CStrArray names;
  ListFiles(TempFolder(), "*", kListFiles | kListFolders, names);
  return Cp1251ToUtf8(names.Join(","));
}

const std::string kId1 = "0123456789abcdef0123456789abcdef";
const std::string kId2 = "fedcba9876543210fedcba9876543210";

}  // namespace

TEST(Package, LifeCycleAndPrivateWorkingFolder) {
  std::string folder;
  {
    CVorlentDoc doc;
    EXPECT_FALSE(doc.IsOpened());
    EXPECT_EQ(ErrorOf([&] { doc.GetFileCount(); }), "Документ не открыт");
    EXPECT_EQ(ErrorOf([&] { doc.Save(Path("x.zip")); }), "Документ не открыт");
    EXPECT_TRUE(doc.Close());
    doc.SetFlagUsageUserStorage(false);  // allowed while closed
    EXPECT_FALSE(doc.GetFlagUsageUserStorage());

    ASSERT_TRUE(doc.New());
    EXPECT_TRUE(doc.IsOpened());
    folder = doc.WorkFolder();
    // "<TMP>/{GUID}/", private
    ASSERT_EQ(folder.back(), '/');
    std::string name = ExtractFileName(folder.substr(0, folder.size() - 1));
    EXPECT_EQ(name.size(), 38u);
    EXPECT_EQ(name.front(), '{');
    EXPECT_EQ(CombinePath(TempFolder(), name) + "/", folder);
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(doc.GetFileCount(), 0);
    EXPECT_EQ(ErrorOf([&] { doc.GetFile(0); }),
              "FileIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)");

    // New again: a fresh folder, the old one gone
    ASSERT_TRUE(doc.New());
    EXPECT_NE(doc.WorkFolder(), folder);
    EXPECT_FALSE(IsDirectory(folder));
    folder = doc.WorkFolder();
    EXPECT_TRUE(doc.Close());
    EXPECT_FALSE(IsDirectory(folder));
    EXPECT_TRUE(doc.WorkFolder().empty());
    EXPECT_TRUE(doc.Close());

    NewRegistration(doc);
    auto entry = AddApplication(doc, "a.pdf", "content");
    entry->SetFileName("a");
    entry->AddSignature(kSubjectApplicant, "s");
    folder = doc.WorkFolder();
    // an entry stores its files into the working folder
    ASSERT_TRUE(entry->Store());
    EXPECT_EQ(TempListing(), ExtractFileName(folder.substr(0, folder.size() - 1)));
    CStrArray names;
    ListFiles(folder, "*", kListFiles, names);
    EXPECT_EQ(names.Join(","), std::string("a,a.zayav_1.p7s,") + kWorkingFolderMark);
    EXPECT_EQ(ReadFileBytes(CombinePath(folder, "a.zayav_1.p7s")), "s");
    // the package is archived from memory and leaves nothing but the mark in the working folder
    ASSERT_TRUE(doc.Save(Path("p.zip")));
    names.Clear();
    ListFiles(folder, "*", kListFiles | kListFolders, names);
    EXPECT_EQ(names.Join(","), kWorkingFolderMark);
  }
  // destruction removes the working folder with everything in it
  EXPECT_FALSE(IsDirectory(folder));
  EXPECT_EQ(TempListing(), "");
}

TEST(Package, TransactionTypesAndSubjects) {
  CVorlentDoc doc;
  doc.New();
  EXPECT_EQ(ErrorOf([&] { doc.GetTransactionType(); }), "Неизвестный тип документооборота: []");
  // the flow is checked before a manifest element is added, so the lists stay in step
  EXPECT_EQ(ErrorOf([&] { doc.AddDocument(); }), "Неизвестный тип документооборота: []");
  EXPECT_EQ(doc.Manifest().Documents().Count(), 0);
  EXPECT_EQ(ErrorOf([&] { doc.SetTransactionType(0); }), "Неизвестный тип транзакции: [0]");
  EXPECT_EQ(ErrorOf([&] { doc.SetSenderIdentifier(""); }), "Передан пустой аргумент: SubjectIdentifier");

  doc.SetTransactionType(4);  // "СведенияОРегистрации" of entrepreneurs
  EXPECT_EQ(Cp1251ToUtf8(doc.Manifest().ThreadType()), "РегистрацияИП");
  EXPECT_EQ(Cp1251ToUtf8(doc.Manifest().ThreadTypeCode()), "ИП");
  EXPECT_EQ(Cp1251ToUtf8(doc.Manifest().TransactType()), "СведенияОРегистрации");
  EXPECT_EQ(doc.Manifest().TransactTypeCode(), "04");
  EXPECT_EQ(doc.GetTransactionType(), 4);
  doc.SetTransactionType(9);
  EXPECT_EQ(doc.GetTransactionType(), 9);
  doc.SetSenderType(kSubjectApplicant);
  doc.SetSenderIdentifier("123");
  doc.SetReceiverType(kSubjectTaxAuthority);
  doc.SetReceiverIdentifier("7746");
  EXPECT_EQ(doc.GetSenderType(), kSubjectApplicant);
  EXPECT_EQ(doc.GetReceiverIdentifier(), "7746");
  EXPECT_FALSE(doc.IsEncrypted());
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  // A value XML cannot carry is refused by the save, and the saved package stays as it was.
  std::string saved = qvtest::ReadBytes(TestPath("p.zip"));
  doc.SetSenderIdentifier("12\x1b[8m3");
  std::string failure = ErrorOf([&] { doc.Save(Path("p.zip")); });
  EXPECT_EQ(failure.rfind("Значение атрибута [", 0), 0u) << failure;
  EXPECT_NE(failure.find("содержит недопустимый в XML символ с кодом 27"), std::string::npos) << failure;
  EXPECT_EQ(qvtest::ReadBytes(TestPath("p.zip")), saved);
  doc.SetSenderIdentifier("123");

  // the storage flag reaches entries made afterwards, and their signatures
  doc.SetTransactionType(5);
  auto before = doc.AddDocument();
  doc.SetFlagUsageUserStorage(false);
  auto after = doc.AddDocument();
  EXPECT_TRUE(before->EntryConfig().FlagUsageUserStorage());
  EXPECT_FALSE(after->EntryConfig().FlagUsageUserStorage());
  EXPECT_FALSE(after->AddSignature(kSubjectApplicant, "s")->EntryConfig().FlagUsageUserStorage());
  EXPECT_EQ(after->EntryConfig().ThreadKind(), 1);
  EXPECT_EQ(after->EntryConfig().WorkFolder(), doc.WorkFolder());

  CVorlentDoc back;
  ASSERT_EQ(ErrorOf([&] { back.Open(Path("p.zip")); }), "Элемент [документ] не найден");
  EXPECT_TRUE(back.IsOpened());  // open and empty
  EXPECT_EQ(back.GetFileCount(), 0);
}

TEST(Package, ContentFileNames) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto twoDots = AddApplication(doc, "C:\\Мои документы\\a.b.pdf", "1");
  EXPECT_EQ(Cp1251ToUtf8(twoDots->GetSourceFileName()), "a.b.pdf");
  EXPECT_EQ(twoDots->GetDocumentCode().size(), 32u);
  EXPECT_EQ(twoDots->GetFileName(), "ZayavUL_" + twoDots->GetDocumentCode() + ".pdf");
  // given once and kept
  twoDots->SetSourceFileName("other.xml");
  EXPECT_EQ(twoDots->GetFileName(), "ZayavUL_" + twoDots->GetDocumentCode() + ".pdf");

  auto noDot = AddApplication(doc, "dir/README", "2");
  noDot->SetKind(20);  // "ПДГоспошлина"
  EXPECT_EQ(noDot->GetFileName(), "GosPoshlina_" + noDot->GetDocumentCode());
  EXPECT_EQ(noDot->GetKind(), 20);
  EXPECT_EQ(ErrorOf([&] { noDot->SetKind(1); }),
            "Неизвестный тип документа: [1]");  // a kind of entrepreneurs

  auto fresh = doc.AddDocument();
  EXPECT_EQ(ErrorOf([&] { fresh->GetFileName(); }), "Неизвестный тип документа: []");
  EXPECT_EQ(ErrorOf([&] { fresh->New(nullptr); }), "Документ уже открыт, операция невозможна");
  EXPECT_TRUE(fresh->Open(nullptr));  // already bound: nothing happens
  EXPECT_EQ(ErrorOf([&] { fresh->DeleteSignature(0); }),
            "iIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)");
  // a document whose type is never set makes the save fail on its empty attributes
  doc.DeleteFile(2);
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  EXPECT_EQ(ZipNames(TestPath("p.zip")), "GosPoshlina_" + noDot->GetDocumentCode() + ",ZayavUL_" +
                                             twoDots->GetDocumentCode() + ".pdf,packageDescription.xml");
}

TEST(Package, SignatureNamesCounterSignaturesAndRoundTrip) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto entry = AddApplication(doc, "a.pdf", "%PDF document");
  entry->SetFileName("D");
  auto first = entry->AddSignature(kSubjectApplicant, std::string("sig1\0\xff", 6));
  auto second = entry->AddSignature(kSubjectTrustedCA, "sig2");
  auto notary = first->AddResign(kSubjectNotary, "resign");
  // the signature of a document without content name yet starts with a dot
  auto other = AddApplication(doc, "b.pdf", "b");
  EXPECT_EQ(other->AddSignature(kSubjectMFC, "s")->GetFileName(), ".mfc_1.p7s");
  doc.DeleteFile(1);

  EXPECT_EQ(first->GetFileName(), "D.zayav_1.p7s");
  EXPECT_EQ(second->GetFileName(), "D.7_2.p7s");
  EXPECT_EQ(notary->GetFileName(), "D.zayav_1.p7s.notarius_1.p7s");
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  EXPECT_EQ(ZipNames(TestPath("p.zip")),
            "D,D.7_2.p7s,D.zayav_1.p7s,D.zayav_1.p7s.notarius_1.p7s,packageDescription.xml");
  EXPECT_EQ(ZipRead(TestPath("p.zip"), "D.zayav_1.p7s"), std::string("sig1\0\xff", 6));
  EXPECT_EQ(RunCommand("unzip -tq '" + TestPath("p.zip") + "' >/dev/null"), 0);

  CVorlentDoc back;
  ASSERT_TRUE(back.Open(Path("p.zip")));
  ASSERT_EQ(back.GetFileCount(), 1);
  EXPECT_EQ(back.GetFile(0)->GetContent(), "%PDF document");
  EXPECT_EQ(back.GetFile(0)->GetRawContent(), "%PDF document");
  ASSERT_EQ(back.GetSignatureCount(0), 2);
  EXPECT_EQ(back.GetSignature(0, 0)->GetContent(), std::string("sig1\0\xff", 6));
  EXPECT_EQ(back.GetSignature(0, 1)->GetRole(), kSubjectTrustedCA);
  ASSERT_EQ(back.GetResignCount(0, 0), 1);
  EXPECT_EQ(back.GetResign(0, 0, 0)->GetContent(), "resign");
  EXPECT_EQ(back.GetResignCount(0, 1), 0);
  EXPECT_EQ(
      ErrorOf([&] { back.GetResign(0, 1, 0); }),
      "iResignaturesCount: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)");
  EXPECT_EQ(ErrorOf([&] { back.GetSignature(0, 2); }),
            "Значение параметра iSignaturesCount (2) должно находиться в интервале от 0 до 1");
  EXPECT_EQ(ErrorOf([&] { back.GetSignatureCount(1); }),
            "Значение параметра iFileIndex (1) должно находиться в интервале от 0 до 0");

  // deleting the first signature renames the second at the next save; its
  // counter-signature goes with it
  ASSERT_TRUE(back.DeleteFileSignature(0, 0));
  ASSERT_TRUE(back.Save(Path("q.zip")));
  EXPECT_EQ(ZipNames(TestPath("q.zip")), "D,D.7_1.p7s,packageDescription.xml");
  EXPECT_EQ(ZipRead(TestPath("q.zip"), "D.7_1.p7s"), "sig2");

  auto orphan = back.GetFile(0)->AddSignature(kSubjectApplicant, "x");
  orphan->Element()->SetOwner(nullptr);
  EXPECT_EQ(ErrorOf([&] { orphan->GetFileName(); }), "Не назначен Owner");
  EXPECT_EQ(ErrorOf([&] { back.Save(Path("r.zip")); }), "Не назначен Owner");
  EXPECT_FALSE(FileExists(Path("r.zip")));

  ASSERT_TRUE(back.DeleteFileSignatures(0));
  EXPECT_EQ(back.GetSignatureCount(0), 0);
  ASSERT_TRUE(back.Save(Path("r.zip")));
  EXPECT_EQ(ZipNames(TestPath("r.zip")), "D,packageDescription.xml");
}

TEST(Package, SavingTwiceKeepsNamesAndIdentifiers) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto entry = AddApplication(doc, "a.pdf", "a");
  entry->AddSignature(kSubjectApplicant, "s")->AddResign(kSubjectNotary, "r");
  AddApplication(doc, "b.xml", "b");
  ASSERT_TRUE(doc.Save(Path("one.zip")));
  ASSERT_TRUE(doc.Save(Path("two.zip")));
  EXPECT_EQ(ZipNames(TestPath("one.zip")), ZipNames(TestPath("two.zip")));
  std::string manifest = ZipRead(TestPath("one.zip"), "packageDescription.xml");
  EXPECT_EQ(manifest, ZipRead(TestPath("two.zip"), "packageDescription.xml"));
  EXPECT_EQ(doc.Manifest().ThreadIdentifier().size(), 32u);
  EXPECT_NE(manifest.find(doc.Manifest().ThreadIdentifier()), std::string::npos);
  EXPECT_NE(manifest.find("ВерсПрог=\"QelVorlent\""_cp), std::string::npos);

  // and once more after opening what was saved
  CVorlentDoc back;
  ASSERT_TRUE(back.Open(Path("two.zip")));
  ASSERT_TRUE(back.Save(Path("three.zip")));
  EXPECT_EQ(ZipNames(TestPath("three.zip")), ZipNames(TestPath("one.zip")));
  EXPECT_EQ(ZipRead(TestPath("three.zip"), "packageDescription.xml"), manifest);
}

TEST(Package, LookupsAndDeletion) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto first = AddApplication(doc, "same.pdf", "first");
  auto second = AddApplication(doc, "same.pdf", "second");
  auto third = AddApplication(doc, "third.pdf", "third");
  third->AddSignature(kSubjectApplicant, "s3");
  EXPECT_EQ(doc.FindDocument("same.pdf"), first);
  EXPECT_EQ(doc.FindDocument("third.pdf"), third);
  EXPECT_EQ(ErrorOf([&] { doc.FindDocument("SAME.pdf"); }), "Документ с именем [SAME.pdf] не найден");
  // the name inside the package does not count
  EXPECT_EQ(ErrorOf([&] { doc.FindDocument(third->GetFileName()); }).find("Документ с именем"), 0u);

  ASSERT_TRUE(doc.DeleteFile(0));
  ASSERT_TRUE(doc.DeleteFile(0));
  EXPECT_EQ(doc.GetFile(0), third);
  EXPECT_EQ(doc.Manifest().Documents().Count(), 1);
  ASSERT_TRUE(doc.Save(Path("p.zip")));
  EXPECT_EQ(ZipNames(TestPath("p.zip")),
            third->GetFileName() + "," + third->GetFileName() + ".zayav_1.p7s,packageDescription.xml");
  EXPECT_EQ(ErrorOf([&] { doc.DeleteFile(1); }),
            "Значение параметра iFileIndex (1) должно находиться в интервале от 0 до 0");
}

TEST(Package, EntriesTellViewsWhenTheyAreGone) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto entry = AddApplication(doc, "a.pdf", "a");
  auto signature = entry->AddSignature(kSubjectApplicant, "s");
  auto resign = signature->AddResign(kSubjectNotary, "r");
  std::weak_ptr<CVorlentDocument> documentView = entry;
  std::weak_ptr<CVorlentSignature> signatureView = signature;
  std::weak_ptr<CVorlentSignature> resignView = resign;
  signature.reset();
  resign.reset();

  // deleting the counter-signatures: the view's entry is gone
  doc.DeleteFileResignatures(0, 0);
  EXPECT_TRUE(resignView.expired());
  EXPECT_FALSE(signatureView.expired());
  // a view that holds its entry at the moment of deletion sees it closed
  std::shared_ptr<CVorlentSignature> held = signatureView.lock();
  doc.DeleteFileSignature(0, 0);
  EXPECT_FALSE(held->IsOpened());
  EXPECT_EQ(ErrorOf([&] { held->GetFileName(); }), "Документ не открыт");
  held.reset();
  EXPECT_TRUE(signatureView.expired());

  entry.reset();
  EXPECT_FALSE(documentView.expired());
  doc.DeleteFile(0);
  EXPECT_TRUE(documentView.expired());

  // closing the package: every entry goes
  auto again = AddApplication(doc, "b.pdf", "b");
  std::weak_ptr<CVorlentSignature> sigView = again->AddSignature(kSubjectApplicant, "s");
  doc.Close();
  EXPECT_FALSE(again->IsOpened());
  EXPECT_EQ(ErrorOf([&] { again->GetFileName(); }), "Документ не открыт");
  EXPECT_TRUE(sigView.expired());
}

TEST(Package, RelativePathsAreTheCurrentDirectory) {
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(TestPath("").c_str()), 0);
  CVorlentDoc doc;
  NewRegistration(doc);
  AddApplication(doc, "a.pdf", "a");
  bool saved_ok = doc.Save("bare.zip");
  CVorlentDoc back;
  std::string error = ErrorOf([&] { back.Open("bare.zip"); });
  std::string missing = ErrorOf([&] { back.Open("missing.zip"); });
  ASSERT_EQ(chdir(saved), 0);
  EXPECT_TRUE(saved_ok);
  EXPECT_TRUE(FileExists(Path("bare.zip")));
  EXPECT_EQ(error, "<no error>");
  EXPECT_EQ(missing, "Файл с пакетом [" + TestPath("missing.zip") + "] не существует!");
  EXPECT_EQ(ErrorOf([&] { doc.Save(""); }), "Передан пустой аргумент: Имя файла");
}

TEST(Package, SavingRawContentIsAtomicPrivateAndKeepsWhatIsThere) {
  CVorlentDoc doc;
  NewRegistration(doc);
  auto entry = AddApplication(doc, "a.txt", "new content");
  qvtest::WriteBytes(TestPath("raw.txt"), "earlier");
  qv::SetFileFaultHook(
      [](qv::FileStep step, const std::string&) { return step == qv::FileStep::kWrite ? ENOSPC : 0; });
  EXPECT_FALSE(ErrorOf([&] { entry->SaveRawContent(Path("raw.txt")); }).empty());
  qv::SetFileFaultHook({});
  EXPECT_EQ(qvtest::ReadBytes(TestPath("raw.txt")), "earlier");
  CStrArray names;
  ListFiles(Path(""), "raw.txt*", kListFiles, names);
  EXPECT_EQ(names.Count(), 1);  // no temporary file left beside it

  // A new file is private.
  entry->SaveRawContent(Path("fresh.txt"));
  EXPECT_EQ(qvtest::ReadBytes(TestPath("fresh.txt")), "new content");
  struct stat st {};
  ASSERT_EQ(::stat(TestPath("fresh.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(ErrorOf([&] { entry->SaveRawContent(""); }), "Передано пустое имя файла");

  // An existing file keeps its permissions.
  ASSERT_EQ(::chmod(TestPath("raw.txt").c_str(), 0640), 0);
  entry->SaveRawContent(Path("raw.txt"));
  EXPECT_EQ(qvtest::ReadBytes(TestPath("raw.txt")), "new content");
  ASSERT_EQ(::stat(TestPath("raw.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // What is not a regular file is refused and left as it is: a FIFO, a link (and the file it
  // points to), a folder.
  ASSERT_EQ(::mkfifo(TestPath("raw.fifo").c_str(), 0600), 0);
  EXPECT_EQ(ErrorOf([&] { entry->SaveRawContent(Path("raw.fifo")); }),
            "Не является обычным файлом: [" + TestPath("raw.fifo") + "]");
  ASSERT_EQ(::lstat(TestPath("raw.fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  qvtest::WriteBytes(TestPath("aim.txt"), "aim");
  ASSERT_EQ(::symlink(TestPath("aim.txt").c_str(), TestPath("raw.link").c_str()), 0);
  EXPECT_EQ(ErrorOf([&] { entry->SaveRawContent(Path("raw.link")); }),
            "Не является обычным файлом: [" + TestPath("raw.link") + "]");
  ASSERT_EQ(::lstat(TestPath("raw.link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(qvtest::ReadBytes(TestPath("aim.txt")), "aim");
  ASSERT_EQ(::mkdir(TestPath("raw.dir").c_str(), 0700), 0);
  EXPECT_EQ(ErrorOf([&] { entry->SaveRawContent(Path("raw.dir")); }),
            "Не является обычным файлом: [" + TestPath("raw.dir") + "]");
  names.Clear();
  ListFiles(Path(""), "raw.*", kListFiles | kListFolders, names);
  EXPECT_EQ(names.Count(), 4);  // no temporary file left beside them
}
