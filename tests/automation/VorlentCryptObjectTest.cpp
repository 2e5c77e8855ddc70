// The VorlentCrypt object through its interface: states before and after Init, the store
// location switch, key objects handed out, imports, binding and signing, with stores and key
// containers in the test's own QELVORLENT_HOME and the test PKI of the openssl tool.
#include <gtest/gtest.h>

#include <cctype>

#include "automation/ObjectTestUtil.h"
#include "automation/VorlentCryptObject.h"
#include "crypto/CryptoUtils.h"
#include "net/HttpsClient.h"
#include "pki/TestPki.h"
#include "platform/CertServices.h"
#include "platform/KeyContainer.h"

namespace {

using namespace qvtest;
using U = qv::CCryptoAPI20Utils;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class CryptObject : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        qv::CreateObject<qv::CVorlentCrypt_class>(IID_IVorlentCrypt, reinterpret_cast<void**>(crypt.Out())),
        S_OK);
  }
  LONG PrivateCount() {
    LONG count = -1;
    EXPECT_EQ(crypt->GetPrivateKeyCount(&count), S_OK);
    return count;
  }
  std::string Sha1(IVorlentKey* key) { return Text(key, &IVorlentKey::get_Sha1); }
  bool UserFlag(IVorlentKey* key) {
    VARIANT_BOOL flag = VARIANT_FALSE;
    EXPECT_EQ(key->get_FlagCurrentUserStorage(&flag), S_OK);
    return flag == VARIANT_TRUE;
  }
  // The test PKI's user key in a container and its certificate imported bound to it.
  Ref<IVorlentKey> ImportUser(const std::string& container) {
    qv::ImportPkcs8Key(false, container, PkiBytes("user.key"), {}, {});
    Ref<IVorlentKey> key;
    EXPECT_EQ(crypt->ImportPrivateCertificate(B(PkiBytes("user.cer")), B(container), key.Out()), S_OK)
        << LastError(crypt.Get());
    return key;
  }

  Ref<IVorlentCrypt> crypt;
};

TEST_F(CryptObject, BeforeInitCountsAreZeroAndGuardedMembersFail) {
  EXPECT_EQ(PrivateCount(), 0);
  LONG count = -1;
  EXPECT_EQ(crypt->GetOpponentKeyCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(crypt->GetContainerCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(crypt->IsCryptographyOk(&ok), S_OK);
  EXPECT_EQ(ok, VARIANT_TRUE);
  Ref<IVorlentKey> key;
  EXPECT_EQ(crypt->GetPrivateKey(0, key.Out()), E_UNEXPECTED);
  EXPECT_FALSE(key);
  EXPECT_EQ(LastError(crypt.Get()),
            "Не установлен СКЗИ, который требуется для операции: получение личного ключа"_cp);
  EXPECT_EQ(crypt->CheckSignature(B("a"), B("b")), E_UNEXPECTED);
  EXPECT_EQ(
      LastError(crypt.Get()),
      "Криптопровайдер не инициализирован (требуется успешный вызов Init) для операции: проверка подписи"_cp);
  EXPECT_EQ(crypt->DownloadFile(B("gopher://127.0.0.1/x"), B(Path1251("x"))), E_UNEXPECTED);
  // The guards come before the key is converted.
  for (HRESULT status :
       {crypt->LinkPrivateKey(nullptr, VARIANT_TRUE), crypt->SetPrivateKeyCaching(nullptr, VARIANT_TRUE)}) {
    EXPECT_EQ(status, E_UNEXPECTED);
    EXPECT_EQ(LastError(crypt.Get()),
              "Не установлен СКЗИ, который требуется для операции: привязка ключа к контейнеру"_cp);
  }

  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(crypt->Init(&result), S_OK);
  EXPECT_EQ(result, VARIANT_TRUE);
  EXPECT_EQ(crypt->GetPrivateKey(0, key.Out()), E_UNEXPECTED);
  EXPECT_EQ(
      LastError(crypt.Get()),
      "privateKeyIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)"_cp);
  // A later success does not clear LastError.
  EXPECT_EQ(PrivateCount(), 0);
  EXPECT_NE(LastError(crypt.Get()), "");
}

TEST_F(CryptObject, ImportedKeysCarryTheirContainerAndLocation) {
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(crypt->Init(&result), S_OK);
  Ref<IVorlentKey> imported = ImportUser("Ключи"_cp);
  ASSERT_TRUE(imported);
  EXPECT_EQ(Text(imported.Get(), &IVorlentKey::get_ContainerName), "Ключи"_cp);
  ASSERT_EQ(PrivateCount(), 1);

  Ref<IVorlentKey> listed;
  ASSERT_EQ(crypt->GetPrivateKey(0, listed.Out()), S_OK);
  EXPECT_EQ(Sha1(listed.Get()), Sha1(imported.Get()));
  EXPECT_TRUE(UserFlag(listed.Get())) << "keys of the list take the object's store location";
  Ref<IVorlentKey> bySha1;
  ASSERT_EQ(crypt->GetPrivateKeyBySha1(B(Lower(Sha1(imported.Get()))), bySha1.Out()), S_OK);
  EXPECT_FALSE(UserFlag(bySha1.Get()));
  EXPECT_EQ(Text(bySha1.Get(), &IVorlentKey::get_ContainerName), "Ключи"_cp);
  qv::CBstr container;
  ASSERT_EQ(crypt->GetContainer(0, container.Out()), S_OK);
  EXPECT_EQ(container.Text(), "Ключи"_cp);

  // The other location has none of it; back again, it is there.
  ASSERT_EQ(crypt->put_FlagUsageUserStorage(VARIANT_FALSE), S_OK);
  EXPECT_EQ(PrivateCount(), 0);
  ASSERT_EQ(crypt->put_FlagUsageUserStorage(VARIANT_TRUE), S_OK);
  EXPECT_EQ(PrivateCount(), 1);
  // Setting the current value does not reload.
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreMy, {},
                U::CertificateFromText(PkiBytes("root.cer")));
  ASSERT_EQ(crypt->put_FlagUsageUserStorage(VARIANT_TRUE), S_OK);
  EXPECT_EQ(PrivateCount(), 1);
  ASSERT_EQ(crypt->Init(&result), S_OK);
  EXPECT_EQ(PrivateCount(), 2);

  Ref<IVorlentKey> opponent;
  ASSERT_EQ(crypt->ImportOpponentCertificate(B(PkiBytes("inter.cer")), opponent.Out()), S_OK);
  ASSERT_EQ(crypt->GetOpponentKey(0, listed.Out()), S_OK);
  EXPECT_EQ(Sha1(listed.Get()), Sha1(opponent.Get()));
  EXPECT_FALSE(UserFlag(listed.Get()));
  EXPECT_EQ(crypt->GetOpponentKeyBySha1(B("00"), listed.Out()), E_UNEXPECTED);
  EXPECT_EQ(LastError(crypt.Get()), "Не найден сертификат по отпечатку [00]"_cp);
}

TEST_F(CryptObject, SignFileBesideTheFileAndLinkWithCaching) {
  VARIANT_BOOL result = VARIANT_FALSE;
  ASSERT_EQ(crypt->Init(&result), S_OK);
  Ref<IVorlentKey> key = ImportUser("sign");
  WriteBytes(TestPath("заявление.txt"), "текст");
  ASSERT_EQ(crypt->SignFile(B(Path1251("заявление.txt")), key.Get(), B("")), S_OK) << LastError(crypt.Get());
  std::string output;
  EXPECT_EQ(
      RunCommand(OpenSsl("cms -verify -noverify -binary -inform DER -in '" + TestPath("заявление.txt.p7s") +
                         "' -content '" + TestPath("заявление.txt") + "' -out /dev/null 2>&1"),
                 &output),
      0)
      << output;

  ASSERT_EQ(crypt->LinkPrivateKey(key.Get(), VARIANT_TRUE), S_OK) << LastError(crypt.Get());
  qv::CertContextPtr stored = U::FindBySha1(nullptr, qv::kStoreCurrentUser, qv::kStoreMy, Sha1(key.Get()));
  ASSERT_TRUE(stored && stored->KeyProv());
  EXPECT_EQ(stored->KeyProv()->flags, 1u);
  ASSERT_EQ(crypt->SetPrivateKeyCaching(key.Get(), VARIANT_FALSE), S_OK);
  stored = U::FindBySha1(nullptr, qv::kStoreCurrentUser, qv::kStoreMy, Sha1(key.Get()));
  EXPECT_EQ(stored->KeyProv()->flags, 0u);
  EXPECT_EQ(stored->KeyProv()->containerName, "sign");

  for (HRESULT status :
       {crypt->SignFile(B(Path1251("заявление.txt")), nullptr, B("")),
        crypt->LinkPrivateKey(nullptr, VARIANT_TRUE), crypt->SetPrivateKeyCaching(nullptr, VARIANT_TRUE)}) {
    EXPECT_EQ(status, E_POINTER);
    EXPECT_EQ(LastError(crypt.Get()), "Передан пустой аргумент: pKey"_cp);
  }
  ASSERT_EQ(key->put_Sha1(B(Lower(Sha1(key.Get())))), S_OK);
  EXPECT_EQ(crypt->LinkPrivateKey(key.Get(), VARIANT_TRUE), E_UNEXPECTED);
  EXPECT_EQ(LastError(crypt.Get()), "Не найден личный сертификат по отпечатку ["_cp + Sha1(key.Get()) + "]");
}

TEST_F(CryptObject, LateBoundImportSignAndFailures) {
  IDispatch* object = crypt.Get();
  Late init;
  CallByName(object, u"Init", DISPATCH_METHOD, Args(), init);
  ASSERT_EQ(init.hr, S_OK);
  EXPECT_EQ(init.result.vt, VT_BOOL);
  EXPECT_EQ(init.result.boolVal, VARIANT_TRUE);

  qv::ImportPkcs8Key(false, "late", PkiBytes("user.key"), {}, {});
  Late imported;
  CallByName(object, u"ImportPrivateCertificate", DISPATCH_METHOD,
             Args().Str(PkiBytes("user.cer")).Str("late"), imported);
  ASSERT_EQ(imported.hr, S_OK) << imported.description;
  ASSERT_EQ(imported.result.vt, VT_DISPATCH);

  Late count;
  CallByName(object, u"GetPrivateKeyCount", DISPATCH_METHOD, Args(), count);
  ASSERT_EQ(count.hr, S_OK);
  EXPECT_EQ(count.result.lVal, 1);

  WriteBytes(TestPath("late.txt"), "late");
  Late signed_;
  CallByName(object, u"SignFile", DISPATCH_METHOD,
             Args().Str(Path1251("late.txt")).Object(imported.result.pdispVal).Str(Path1251("late.sig")),
             signed_);
  ASSERT_EQ(signed_.hr, S_OK) << signed_.description;
  std::string output;
  EXPECT_EQ(RunCommand(OpenSsl("cms -verify -noverify -binary -inform DER -in '" + TestPath("late.sig") +
                               "' -content '" + TestPath("late.txt") + "' -out /dev/null 2>&1"),
                       &output),
            0)
      << output;

  Late failed;
  CallByName(object, u"GetContainer", DISPATCH_METHOD, Args().Int(5), failed);
  EXPECT_EQ(failed.hr, DISP_E_EXCEPTION);
  EXPECT_EQ(failed.scode, E_UNEXPECTED);
  EXPECT_EQ(failed.description,
            "Значение параметра containerIndex (5) должно находиться в интервале от 0 до 0"_cp);

  Late put;
  CallByName(object, u"FlagUsageUserStorage", DISPATCH_PROPERTYPUT, Args().Bool(false), put);
  ASSERT_EQ(put.hr, S_OK);
  CallByName(object, u"GetPrivateKeyCount", DISPATCH_METHOD, Args(), count);
  EXPECT_EQ(count.result.lVal, 0);
}

TEST(LibraryStartUp, CreatingAnyObjectInstallsTheClientCertificateSource) {
  Ref<IVorlent> vorlent = NewVorlent();
  ASSERT_TRUE(vorlent);
  qv::ClientCertificateSource source = qv::GetClientCertificateSource();
  ASSERT_TRUE(source);
  qv::CClientCertificate result;
  EXPECT_FALSE(source("0000000000000000000000000000000000000000", result));
}

}  // namespace
