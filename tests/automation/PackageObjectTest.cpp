// The package object through IVorlent, early-bound and by name: life cycle, sender and
// receiver, documents, key arguments, closed packages and LastError.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "foundation/Errors.h"
#include "package/VorlentDoc.h"

namespace {

using namespace qvtest;

constexpr HRESULT kFailed = E_UNEXPECTED;

class PackageObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vorlent_ = NewVorlent();
    ASSERT_TRUE(vorlent_);
  }

  void NewPackage(IVorlent* vorlent) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(vorlent->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
    EXPECT_EQ(ok, VARIANT_TRUE);
    ASSERT_EQ(vorlent->put_SenderType(SIGN_ROLE_TYPE_ABONENT), S_OK);
    ASSERT_EQ(vorlent->put_SenderIdentifier(B("7701")), S_OK);
    ASSERT_EQ(vorlent->put_ReceiverType(SIGN_ROLE_TYPE_FNS), S_OK);
    ASSERT_EQ(vorlent->put_ReceiverIdentifier(B("7702")), S_OK);
  }

  Ref<IVorlentFile> Add(IVorlent* vorlent, const std::string& code, const std::string& name,
                        const std::string& content) {
    Ref<IVorlentFile> file;
    EXPECT_EQ(vorlent->AddFile(B(""), B(code), B("application/pdf"), B(name), B(content), file.Out()), S_OK)
        << LastError(vorlent);
    return file;
  }

  Ref<IVorlent> vorlent_;
};

TEST_F(PackageObjectTest, TransactionsWithoutARowFailAfterTheEmptyPackageHasStarted) {
  for (TRANSACTION_TYPES type :
       {TRANSACTION_TYPE_UNKNOWN, TRANSACTION_TYPE_UL_RECEIPT, TRANSACTION_TYPE_IP_RECEIPT}) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(vorlent_->New(type, &ok), kFailed);
    EXPECT_EQ(LastError(vorlent_.Get()), "Неизвестный тип транзакции: [0]"_cp);
    VARIANT_BOOL opened = VARIANT_FALSE;
    EXPECT_EQ(vorlent_->IsOpened(&opened), S_OK);
    EXPECT_EQ(opened, VARIANT_TRUE);
  }
  // By name: the same status inside the exception information, the same message.
  Late late;
  CallByName(vorlent_.Get(), u"New", DISPATCH_METHOD, Args().Int(TRANSACTION_TYPE_UL_RECEIPT), late);
  EXPECT_EQ(late.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(late.scode, kFailed);
  EXPECT_EQ(late.description, "Неизвестный тип транзакции: [0]"_cp);

  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->New(TRANSACTION_TYPE_IP_REG_IP, &ok), S_OK);
  TRANSACTION_TYPES type = TRANSACTION_TYPE_UNKNOWN;
  ASSERT_EQ(vorlent_->get_DocTransactType(&type), S_OK);
  EXPECT_EQ(type, TRANSACTION_TYPE_IP_REG_IP);
  EXPECT_EQ(vorlent_->put_DocTransactType(TRANSACTION_TYPE_IP_RECEIPT), kFailed);
  EXPECT_EQ(LastError(vorlent_.Get()), "Неизвестный тип транзакции: [0]"_cp);
}

TEST_F(PackageObjectTest, SaveNeedsSenderAndReceiverAndTheSecondObjectReadsThemBack) {
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
  std::string path = Path1251("пакет.zip");
  EXPECT_EQ(vorlent_->Save(B(path), &ok), kFailed);
  EXPECT_FALSE(LastError(vorlent_.Get()).empty());

  NewPackage(vorlent_.Get());
  Add(vorlent_.Get(), "01", "заявление.pdf"_cp, "%PDF");
  ok = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->Save(B(path), &ok), S_OK) << LastError(vorlent_.Get());
  EXPECT_EQ(ok, VARIANT_TRUE);

  Ref<IVorlent> second = NewVorlent();
  Late late;
  CallByName(second.Get(), u"Open", DISPATCH_METHOD, Args().Str(path), late);
  ASSERT_EQ(late.hr, S_OK) << late.description;
  EXPECT_EQ(late.result.vt, VT_BOOL);
  EXPECT_EQ(late.result.boolVal, VARIANT_TRUE);
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  ASSERT_EQ(second->get_SenderType(&role), S_OK);
  EXPECT_EQ(role, SIGN_ROLE_TYPE_ABONENT);
  ASSERT_EQ(second->get_ReceiverType(&role), S_OK);
  EXPECT_EQ(role, SIGN_ROLE_TYPE_FNS);
  EXPECT_EQ(Text(second.Get(), &IVorlent::get_SenderIdentifier), "7701");
  Late receiver;
  CallByName(second.Get(), u"receiveridentifier", DISPATCH_PROPERTYGET, Args(), receiver);
  EXPECT_EQ(receiver.Str(), "7702");
  TRANSACTION_TYPES type = TRANSACTION_TYPE_UNKNOWN;
  ASSERT_EQ(second->get_DocTransactType(&type), S_OK);
  EXPECT_EQ(type, TRANSACTION_TYPE_UL_REG_UL);
  LONG count = 0;
  ASSERT_EQ(second->GetFileCount(&count), S_OK);
  EXPECT_EQ(count, 1);
}

// A save the file system refuses gives the status the system has for the failure, early- and
// late-bound, and the system's text as LastError.
TEST_F(PackageObjectTest, SaveIntoAMissingFolderGivesThePathNotFoundStatus) {
  NewPackage(vorlent_.Get());
  Add(vorlent_.Get(), "01", "заявление.pdf"_cp, "%PDF");
  constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80070003);  // ERROR_PATH_NOT_FOUND
  const std::string path = Path1251("нет/пакет.zip");
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(vorlent_->Save(B(path), &ok), kPathNotFound);
  EXPECT_EQ(LastError(vorlent_.Get()), qv::SystemErrorText(ENOENT));
  Late late;
  CallByName(vorlent_.Get(), u"Save", DISPATCH_METHOD, Args().Str(path), late);
  EXPECT_EQ(late.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(late.scode, kPathNotFound);
  EXPECT_EQ(late.description, qv::SystemErrorText(ENOENT));
  // a failure of the library's own stays E_UNEXPECTED
  EXPECT_EQ(vorlent_->Save(B(""), &ok), kFailed);
}

TEST_F(PackageObjectTest, AddFileTakesTheTypeFromTheTableAndKeepsAFailedDocument) {
  NewPackage(vorlent_.Get());
  Ref<IVorlentFile> file;
  ASSERT_EQ(vorlent_->AddFile(B(""), B("01"), B("application/pdf"), B("/some/folder/заявление.pdf"_cp),
                              B("x"), file.Out()),
            S_OK);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_DocType), "ЗаявлениеЮЛ"_cp);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_OriginalFilename), "заявление.pdf"_cp);

  EXPECT_EQ(
      vorlent_->AddFile(B("ЗаявлениеЮЛ"_cp), B("99"), B("application/pdf"), B("a.pdf"), B("x"), file.Out()),
      kFailed);
  EXPECT_EQ(file.Get(), nullptr);
  EXPECT_EQ(LastError(vorlent_.Get()), "Неизвестный тип документа: [99]"_cp);
  Late late;
  CallByName(vorlent_.Get(), u"AddFile", DISPATCH_METHOD,
             Args().Str("").Str("01").Str("").Str("b.pdf").Str("y"), late);
  EXPECT_EQ(late.scode, kFailed);
  EXPECT_EQ(late.description, "Передан пустой аргумент: ContentType"_cp);
  LONG count = 0;
  ASSERT_EQ(vorlent_->GetFileCount(&count), S_OK);
  EXPECT_EQ(count, 3);  // both failed documents stay until DeleteFile
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(vorlent_->DeleteFile(2, &ok), S_OK);
  EXPECT_EQ(vorlent_->DeleteFile(1, &ok), S_OK);
  ASSERT_EQ(vorlent_->GetFileCount(&count), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(vorlent_->GetFile(1, file.Out()), kFailed);
  EXPECT_EQ(LastError(vorlent_.Get()),
            "Значение параметра FileIndex (1) должно находиться в интервале от 0 до 0"_cp);
}

TEST_F(PackageObjectTest, AClosedPackageAnswersOnlyItsFlagsAndState) {
  VARIANT_BOOL flag = VARIANT_FALSE;
  EXPECT_EQ(vorlent_->get_FlagUsageUserStorage(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  EXPECT_EQ(vorlent_->put_FlagUsageUserStorage(VARIANT_FALSE), S_OK);
  EXPECT_EQ(vorlent_->get_FlagUsageUserStorage(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  EXPECT_EQ(LastError(vorlent_.Get()), "");

  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_NOTARY;
  EXPECT_EQ(vorlent_->get_SenderType(&role), kFailed);
  EXPECT_EQ(role, SIGN_ROLE_TYPE_UNKNOWN);
  EXPECT_EQ(LastError(vorlent_.Get()), "Документ не открыт"_cp);
  Late late;
  CallByName(vorlent_.Get(), u"IsEncrypted", DISPATCH_PROPERTYGET, Args(), late);
  EXPECT_EQ(late.description, "Документ не открыт"_cp);

  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(vorlent_->Close(&ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  EXPECT_EQ(vorlent_->IsOpened(&ok), S_OK);
  EXPECT_EQ(ok, VARIANT_FALSE);
  // A success leaves the last failure's text.
  EXPECT_EQ(LastError(vorlent_.Get()), "Документ не открыт"_cp);

  ASSERT_EQ(vorlent_->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
  VARIANT_BOOL encrypted = VARIANT_TRUE;
  EXPECT_EQ(vorlent_->get_IsEncrypted(&encrypted), S_OK);
  EXPECT_EQ(encrypted, VARIANT_FALSE);
}

TEST_F(PackageObjectTest, KeyArgumentsAreRequiredAndAKeyNeedsItsCertificate) {
  NewPackage(vorlent_.Get());
  Add(vorlent_.Get(), "01", "a.pdf", "x");
  const std::string nullKey = "Передан пустой аргумент: pKey"_cp;
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(vorlent_->SignFile(B("a.pdf"), nullptr, &ok), E_POINTER);
  EXPECT_EQ(LastError(vorlent_.Get()), nullKey);
  EXPECT_EQ(vorlent_->Encrypt(nullptr, &ok), E_POINTER);
  EXPECT_EQ(LastError(vorlent_.Get()), nullKey);
  Late late;
  CallByName(vorlent_.Get(), u"ReSignFile", DISPATCH_METHOD, Args().Str("a.pdf").Object(nullptr), late);
  EXPECT_EQ(late.scode, E_POINTER);
  EXPECT_EQ(late.description, nullKey);

  // A key record without a certificate cannot sign, early or late bound; a body that is not
  // a certificate cannot be encrypted for; decrypting a package with nothing encrypted is
  // nothing to do.
  const std::string noCertificate = "Сертификат не загружен"_cp;
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  EXPECT_EQ(vorlent_->SignFile(B("a.pdf"), key.Get(), &ok), kFailed);
  EXPECT_EQ(LastError(vorlent_.Get()), noCertificate);
  Late byName;
  CallByName(vorlent_.Get(), u"SignFile", DISPATCH_METHOD, Args().Str("a.pdf").Object(key.Get()), byName);
  EXPECT_EQ(byName.scode, kFailed);
  EXPECT_EQ(byName.description, noCertificate);
  EXPECT_LT(vorlent_->EncryptByCertificate(B("\x30\x82"), &ok), 0);
  EXPECT_EQ(vorlent_->Decrypt(&ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
}

}  // namespace

// A name the library's code page cannot hold is refused wherever a file is named, instead of
// becoming another name ("r?sum?.zip") that the call then reports as written.
TEST_F(PackageObjectTest, FileNamesOutsideTheCodePageAreRefusedAndNothingIsWritten) {
  NewPackage(vorlent_.Get());
  Ref<IVorlentFile> file = Add(vorlent_.Get(), "01", "a.pdf", "%PDF");
  std::filesystem::create_directory(TestPath("out"));
  const std::string folder = Path1251("out/");
  auto named = [&](const std::u16string& name) { return qv::CBstr(qv::WideToBstr(W(folder) + name)); };
  auto bare = [](const std::u16string& name) { return qv::CBstr(qv::WideToBstr(name)); };
  auto names = [&] {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(TestPath("out")))
      found.push_back(entry.path().filename());
    return found;
  };
  auto expect = [&](HRESULT hr, auto* object, const std::string& shown) {
    EXPECT_EQ(hr, kFailed);
    EXPECT_EQ(
        LastError(object),
        qv::FormatText("Имя файла [%s] содержит знаки, которых нет в кодировке windows-1251"_cp, {shown}));
  };
  VARIANT_BOOL ok = VARIANT_TRUE;
  expect(vorlent_->Save(named(u"r\u00e9sum\u00e9.zip").Get(), &ok), vorlent_.Get(), folder + "r?sum?.zip");
  expect(file->SaveRawContent(named(u"\u5305.pdf").Get()), file.Get(), folder + "?.pdf");
  expect(file->put_Filename(bare(u"na\u00efve.pdf").Get()), file.Get(), "na?ve.pdf");
  Ref<IVorlentFile> added;
  expect(vorlent_->AddFile(B(""), B("01"), B("application/pdf"), bare(u"\u20ac \u5305.pdf").Get(), B("x"),
                           added.Out()),
         vorlent_.Get(), "\x88 ?.pdf");
  LONG count = 0;
  ASSERT_EQ(vorlent_->GetFileCount(&count), S_OK);
  EXPECT_EQ(count, 1);  // refused before a document was added
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_Filename).find('?'), std::string::npos);
  EXPECT_TRUE(names().empty());
  // what the code page holds is taken as it is
  EXPECT_EQ(vorlent_->Save(named(u"\u0441\u0447\u0451\u0442 \u20ac \u2116.zip").Get(), &ok), S_OK)
      << LastError(vorlent_.Get());
  EXPECT_EQ(names(), std::vector<std::string>{"счёт € №.zip"});
}
