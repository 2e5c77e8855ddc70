// The file and signature views: their members early-bound and by name, bytes through the
// interface, and views whose entries are gone.
#include <malloc.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <regex>

#include "automation/Conversions.h"
#include "automation/EntryObjects.h"
#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "package/VorlentDoc.h"

// Every operator new of this test program is counted, so that a test can see the most
// memory taken through it at once.
namespace {
std::atomic<std::size_t> newBytesLive{0};
std::atomic<std::size_t> newBytesPeak{0};
}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  std::size_t live = newBytesLive += malloc_usable_size(block);
  std::size_t peak = newBytesPeak.load();
  while (live > peak && !newBytesPeak.compare_exchange_weak(peak, live)) {
  }
  return block;
}

// (GCC takes the free of a block from operator new for a mismatch; here it is the match.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* block) noexcept {
  if (!block) return;
  newBytesLive -= malloc_usable_size(block);
  std::free(block);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void operator delete(void* block, std::size_t) noexcept {
  operator delete(block);
}

namespace {

using namespace qvtest;

constexpr HRESULT kFailed = E_UNEXPECTED;

std::string AllBytes() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

class EntryObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vorlent_ = NewVorlent();
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(vorlent_->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
    vorlent_->put_SenderType(SIGN_ROLE_TYPE_ABONENT);
    vorlent_->put_SenderIdentifier(B("1"));
    vorlent_->put_ReceiverType(SIGN_ROLE_TYPE_FNS);
    vorlent_->put_ReceiverIdentifier(B("2"));
  }

  Ref<IVorlentFile> Add(const std::string& name, const std::string& content) {
    Ref<IVorlentFile> file;
    EXPECT_EQ(vorlent_->AddFile(B(""), B("01"), B("application/pdf"), B(name), B(content), file.Out()), S_OK);
    return file;
  }

  void Open(IVorlent* vorlent, const std::string& path) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(vorlent->Open(B(path), &ok), S_OK) << LastError(vorlent);
  }

  Ref<IVorlent> vorlent_;
};

TEST_F(EntryObjectsTest, TheFileNameReadBeforeSavingIsTheOneTheSaveUses) {
  Ref<IVorlentFile> file = Add("a.pdf", "x");
  std::string name = Text(file.Get(), &IVorlentFile::get_Filename);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(name, match, std::regex("ZayavUL_([0-9a-f]{32})\\.pdf"))) << name;
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_DocumentCode), match[1].str());

  VARIANT_BOOL ok = VARIANT_FALSE;
  std::string path = Path1251("p.zip");
  ASSERT_EQ(vorlent_->Save(B(path), &ok), S_OK) << LastError(vorlent_.Get());
  Ref<IVorlent> second = NewVorlent();
  Open(second.Get(), path);
  Ref<IVorlentFile> reopened;
  ASSERT_EQ(second->GetFile(0, reopened.Out()), S_OK);
  Late late;
  CallByName(reopened.Get(), u"Filename", DISPATCH_PROPERTYGET, Args(), late);
  EXPECT_EQ(late.Str(), name);
}

TEST_F(EntryObjectsTest, PropertyPutsCheckTheirValues) {
  Ref<IVorlentFile> file = Add("a.pdf", "x");
  Late put;
  CallByName(file.Get(), u"DocTypeCode", DISPATCH_PROPERTYPUT, Args().Str("02"), put);
  ASSERT_EQ(put.hr, S_OK);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_DocType), "ЗаявлениеЮЛформат"_cp);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_DocTypeCode), "02");
  EXPECT_EQ(file->put_DocTypeCode(B("99")), kFailed);
  EXPECT_EQ(LastError(file.Get()), "Неизвестный тип документа: [99]"_cp);

  std::string code31(31, 'a');
  Late length;
  CallByName(file.Get(), u"DocumentCode", DISPATCH_PROPERTYPUT, Args().Str(code31), length);
  EXPECT_EQ(length.scode, kFailed);
  EXPECT_EQ(length.description,
            "Длина переменной [DocumentCode = \""_cp + code31 + "\"] должна быть равной [32]"_cp);
  EXPECT_EQ(LastError(file.Get()), length.description);
  EXPECT_EQ(file->put_ContentType(B("")), kFailed);
  EXPECT_EQ(LastError(file.Get()), "Передан пустой аргумент: ContentType"_cp);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_ContentType), "application/pdf");
  ASSERT_EQ(file->put_OriginalFilename(B("/x/y/b.docx")), S_OK);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_OriginalFilename), "b.docx");
}

TEST_F(EntryObjectsTest, EveryByteValueComesBackUnchanged) {
  const std::string bytes = AllBytes();
  Ref<IVorlentFile> file = Add("all.bin", bytes);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent), bytes);
  // Through the interface the bytes are 256 distinct characters.
  qv::CBstr raw;
  ASSERT_EQ(file->get_RawContent(raw.Out()), S_OK);
  EXPECT_EQ(SysStringLen(raw.Get()), 256u);

  VARIANT_BOOL ok = VARIANT_FALSE;
  std::string path = Path1251("bytes.zip");
  ASSERT_EQ(vorlent_->Save(B(path), &ok), S_OK);
  Ref<IVorlent> second = NewVorlent();
  Open(second.Get(), path);
  Ref<IVorlentFile> reopened;
  ASSERT_EQ(second->GetFile(0, reopened.Out()), S_OK);
  Late late;
  CallByName(reopened.Get(), u"RawContent", DISPATCH_PROPERTYGET, Args(), late);
  EXPECT_EQ(late.Str(), bytes);
  ASSERT_EQ(reopened->SaveRawContent(B(Path1251("копия.bin"))), S_OK) << LastError(reopened.Get());
  EXPECT_EQ(ReadBytes(TestPath("копия.bin")), bytes);
}

TEST_F(EntryObjectsTest, SignatureViewsShowTheEntriesOfAnOpenedPackage) {
  std::string path = Path1251("signed.zip");
  MakeSignedPackage(path, "content", AllBytes());
  Open(vorlent_.Get(), path);
  LONG count = 0;
  ASSERT_EQ(vorlent_->GetFileSignatureCount(0, &count), S_OK);
  EXPECT_EQ(count, 2);
  Ref<IVorlentSignature> sign;
  EXPECT_EQ(vorlent_->GetFileSignature(0, 5, sign.Out()), kFailed);
  EXPECT_EQ(LastError(vorlent_.Get()),
            "Значение параметра iSignaturesCount (5) должно находиться в интервале от 0 до 1"_cp);
  ASSERT_EQ(vorlent_->GetFileSignature(0, 0, sign.Out()), S_OK);

  Ref<IVorlentFile> file;
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  std::string expected = Text(file.Get(), &IVorlentFile::get_Filename) + ".zayav_1.p7s";
  EXPECT_EQ(Text(sign.Get(), &IVorlentSignature::get_Filename), expected);
  ASSERT_EQ(sign->put_Filename(B("other.p7s")), S_OK);
  EXPECT_EQ(Text(sign.Get(), &IVorlentSignature::get_Filename), expected);
  EXPECT_EQ(sign->put_Filename(B("")), kFailed);
  EXPECT_EQ(LastError(sign.Get()), "Передан пустой аргумент: signFilename"_cp);
  EXPECT_EQ(Text(sign.Get(), &IVorlentSignature::get_SignatureContent), AllBytes());

  ASSERT_EQ(vorlent_->GetFileResignCount(0, 0, &count), S_OK);
  EXPECT_EQ(count, 1);
  Ref<IVorlentSignature> counter;
  ASSERT_EQ(vorlent_->GetFileResign(0, 0, 0, counter.Out()), S_OK);
  Late content;
  CallByName(counter.Get(), u"SignatureContent", DISPATCH_PROPERTYGET, Args(), content);
  EXPECT_EQ(content.Str(), "counter");
  EXPECT_EQ(Text(counter.Get(), &IVorlentSignature::get_Filename), expected + ".fns_1.p7s");

  // The signer of bytes that are no signature cannot be read: a key object with empty fields,
  // so that a client listing the signers does not stop at a damaged one.
  for (IVorlentSignature* entry : {sign.Get(), counter.Get()}) {
    Ref<IVorlentKey> key;
    ASSERT_EQ(entry->get_SignKey(key.Out()), S_OK) << LastError(entry);
    EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_Sha1), "");
    EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_SubjectCN), "");
    EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_CertificateBody), "");
  }
}

TEST_F(EntryObjectsTest, CryptographicMembersCheckTheirArgumentsAndReportTrueFirst) {
  std::string path = Path1251("signed.zip");
  MakeSignedPackage(path, "content", AllBytes());
  Open(vorlent_.Get(), path);
  Ref<IVorlentFile> file;
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  Ref<IVorlentSignature> sign;
  ASSERT_EQ(vorlent_->GetFileSignature(0, 0, sign.Out()), S_OK);
  VARIANT_BOOL result = VARIANT_FALSE;
  EXPECT_EQ(file->AddSign(B("bytes"), static_cast<SIGN_ROLE_TYPES>(12), &result), kFailed);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(LastError(file.Get()), "Неизвестная роль: [12]"_cp);
  Late role;
  CallByName(sign.Get(), u"AddSign", DISPATCH_METHOD, Args().Str("bytes").Int(12), role);
  EXPECT_EQ(role.description, "Неизвестная роль: [12]"_cp);

  result = VARIANT_FALSE;
  EXPECT_EQ(file->Sign(nullptr, &result), E_POINTER);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(LastError(file.Get()), "Передан пустой аргумент: pKey"_cp);
  Late resign;
  CallByName(file.Get(), u"Resign", DISPATCH_METHOD, Args().Object(nullptr), resign);
  EXPECT_EQ(resign.scode, E_POINTER);

  // A key record without a certificate cannot sign; signature files that are not CMS
  // messages fail verification with the position of the signature; bytes without a
  // signer certificate are refused and nothing is added.
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  EXPECT_EQ(file->Sign(key.Get(), &result), kFailed);
  EXPECT_EQ(LastError(file.Get()), "Сертификат не загружен"_cp);
  Late check;
  CallByName(file.Get(), u"CheckSignEx", DISPATCH_METHOD, Args().Bool(false).Bool(true), check);
  EXPECT_EQ(check.scode, kFailed);
  EXPECT_EQ(check.description.rfind("Ошибка при проверке подписи [#0]: "_cp, 0), 0u) << check.description;
  EXPECT_EQ(sign->AddSign(B("bytes"), SIGN_ROLE_TYPE_FNS, &result), kFailed);
  EXPECT_EQ(LastError(sign.Get()), "Подпись не содержит сертификата подписанта"_cp);
  LONG count = 0;
  ASSERT_EQ(vorlent_->GetFileResignCount(0, 0, &count), S_OK);
  EXPECT_EQ(count, 1);
}

TEST_F(EntryObjectsTest, ViewsOfEntriesThatAreGoneFailCleanly) {
  const std::string fileGone = "Объект документа больше не существует"_cp;
  const std::string signGone = "Объект подписи больше не существует"_cp;
  std::string path = Path1251("signed.zip");
  MakeSignedPackage(path, "content", AllBytes());

  // DeleteFile(0): the view of the deleted document and of its signatures.
  Open(vorlent_.Get(), path);
  Ref<IVorlentFile> file;
  Ref<IVorlentSignature> sign;
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  ASSERT_EQ(vorlent_->GetFileSignature(0, 0, sign.Out()), S_OK);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->DeleteFile(0, &ok), S_OK);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent), "<failed>");
  EXPECT_EQ(LastError(file.Get()), fileGone);
  EXPECT_EQ(file->put_DocTypeCode(B("02")), kFailed);
  EXPECT_EQ(file->SaveRawContent(B(Path1251("x.bin"))), kFailed);
  EXPECT_EQ(Text(sign.Get(), &IVorlentSignature::get_SignatureContent), "<failed>");
  EXPECT_EQ(LastError(sign.Get()), signGone);

  // Close: every view of the package.
  Open(vorlent_.Get(), path);
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  ASSERT_EQ(vorlent_->GetFileResign(0, 0, 0, sign.Out()), S_OK);
  ASSERT_EQ(vorlent_->Close(&ok), S_OK);
  Late late;
  CallByName(file.Get(), u"DocType", DISPATCH_PROPERTYGET, Args(), late);
  EXPECT_EQ(late.description, fileGone);
  EXPECT_EQ(sign->put_Filename(B("a.p7s")), kFailed);
  EXPECT_EQ(LastError(sign.Get()), signGone);

  // Open of the same file again: the old views do not reach the new entries.
  Open(vorlent_.Get(), path);
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  ASSERT_EQ(vorlent_->GetFileSignature(0, 1, sign.Out()), S_OK);
  Open(vorlent_.Get(), path);
  VARIANT_BOOL flag = VARIANT_FALSE;
  EXPECT_EQ(file->get_IsEncrypted(&flag), kFailed);
  EXPECT_EQ(LastError(file.Get()), fileGone);
  Ref<IVorlentKey> key;
  EXPECT_EQ(sign->get_SignKey(key.Out()), kFailed);
  EXPECT_EQ(LastError(sign.Get()), signGone);

  // A view outlives its package object, and keeps the library loaded until it goes.
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  sign.Reset();
  key.Reset();
  vorlent_.Reset();
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_Filename), "<failed>");
  EXPECT_EQ(LastError(file.Get()), fileGone);
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  file.Reset();
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

// A large document read through its view is converted straight into the string handed
// out: nothing of its size is taken on the way.
TEST_F(EntryObjectsTest, RawContentOfALargeDocumentTakesNoCopyOnTheWay) {
  std::string content(32u << 20, '\xFF');  // "я"
  content[0] = 'A';
  Ref<IVorlentFile> file = Add("big.pdf", content);
  content.clear();
  content.shrink_to_fit();
  std::size_t before = newBytesLive;
  newBytesPeak = before;
  qv::CBstr raw;
  ASSERT_EQ(file->get_RawContent(raw.Out()), S_OK);
  EXPECT_LT(newBytesPeak - before, 1u << 20);
  ASSERT_EQ(SysStringLen(raw.Get()), 32u << 20);
  EXPECT_EQ(raw.Get()[0], u'A');
  EXPECT_EQ(raw.Get()[(32u << 20) - 1], u'я');
}

TEST(EntryViews, SignKeyComesFromTheSignatureEntrysKeyRecord) {
  qv::CVorlentDoc doc;
  doc.New();
  doc.SetTransactionType(5);
  auto entry = doc.AddDocument();
  entry->SetKind(17);
  auto signature = entry->AddSignature(qv::kSubjectMFC, "bytes");
  auto record = std::make_unique<qv::CVorlentKey>();
  record->SetSha1("0102");
  record->SetSubjectCN("Иванов"_cp);
  record->SetSubject("CN=Иванов"_cp);
  record->SetSignRole(qv::kSubjectMFC);
  signature->SetKey(std::move(record));

  Ref<IVorlentSignature> view(qv::SignatureToInterface(signature));
  Ref<IVorlentKey> key;
  ASSERT_EQ(view->get_SignKey(key.Out()), S_OK) << LastError(view.Get());
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  ASSERT_EQ(key->get_SignRole(&role), S_OK);
  EXPECT_EQ(role, 10);
  EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_SubjectCN), "Иванов"_cp);
  EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_Subject), "CN=Иванов"_cp);
  // Two calls give two objects.
  Ref<IVorlentKey> other;
  ASSERT_EQ(view->get_SignKey(other.Out()), S_OK);
  EXPECT_NE(key.Get(), other.Get());

  // The key object keeps its own copy when the entry goes.
  doc.Close();
  EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_Sha1), "0102");
}

}  // namespace
