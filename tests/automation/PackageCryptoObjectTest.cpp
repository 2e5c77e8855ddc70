// The cryptographic members of the package, file and signature objects, early-bound and by
// name: signing, counter-signing, signatures made elsewhere, encryption, decryption and
// verification, with keys bound in "MY" of a test PKI.
#include <gtest/gtest.h>
#include <openssl/cms.h>

#include <atomic>
#include <cstdio>
#include <tuple>
#include <vector>

#include "automation/Conversions.h"
#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoUtils.h"
#include "foundation/Parallel.h"
#include "package/VorlentKey.h"
#include "platform/KeyContainer.h"
#include "qelvorlent/QelVorlentTools.h"

namespace {

using namespace qvtest;
using U = qv::CCryptoAPI20Utils;

// A signature as DER with what differs between any two signings of the same bytes emptied: the
// signing time of each signer and the value of its signature (random by the algorithm).
std::string WithoutTimeAndValue(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size()));
  if (!cms) return "<no signature>";
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms);
  for (int i = 0; i < sk_CMS_SignerInfo_num(infos); ++i) {
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
    int at = CMS_signed_get_attr_by_NID(info, NID_pkcs9_signingTime, -1);
    if (at >= 0) X509_ATTRIBUTE_free(CMS_signed_delete_attr(info, at));
    ASN1_OCTET_STRING_set(CMS_SignerInfo_get0_signature(info), reinterpret_cast<const unsigned char*>(""), 0);
  }
  unsigned char* out = nullptr;
  int length = i2d_CMS_ContentInfo(cms, &out);
  std::string normal =
      length > 0 ? std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(length)) : "";
  OPENSSL_free(out);
  CMS_ContentInfo_free(cms);
  return normal;
}

constexpr HRESULT kFailed = E_UNEXPECTED;

class PackageCryptoObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vorlent_ = NewVorlent();
    ASSERT_TRUE(vorlent_);
    pki_ = TestPath("object-pki");
    std::string output;
    // Port 1: nothing answers there, so any download or revocation check fails at once.
    ASSERT_EQ(RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/keys/make-package-pki.sh' '" + pki_ +
                             "' 1 2>&1",
                         &output),
              0)
        << output;
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreRoot, {},
                  U::CertificateFromText(File("root.cer")));
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreCA, {},
                  U::CertificateFromText(File("inter.cer")));
    U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreAddressBook, {},
                  U::CertificateFromText(File("tax.cer")));
  }

  std::string File(const std::string& name) { return ReadBytes(pki_ + "/" + name); }

  // A key object of a certificate bound in "MY" to its container, whose key asks for `pin`
  // when one is given.
  Ref<IVorlentKey> Key(const std::string& name, SIGN_ROLE_TYPES role, const std::string& pin = {}) {
    qv::CertContextPtr cert = BindKey(name, File(name + ".key"), File(name + ".pem"));
    if (!pin.empty()) {
      qv::DeleteKeyContainer(false, name);
      qv::ImportPkcs8Key(false, name, File(name + ".key"), {}, pin);
    }
    qv::CVorlentKey record;
    record.FillFromCertificate(cert);
    Ref<IVorlentKey> key(qv::KeyToInterface(&record));
    EXPECT_EQ(key->put_SignRole(role), S_OK);
    return key;
  }

  void NewPackage(IVorlent* vorlent, const std::string& application = "application",
                  const std::string& fee = "fee", const std::string& receipt = "") {
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(vorlent->New(TRANSACTION_TYPE_UL_REG_UL, &ok), S_OK);
    ASSERT_EQ(vorlent->put_SenderType(SIGN_ROLE_TYPE_ABONENT), S_OK);
    ASSERT_EQ(vorlent->put_SenderIdentifier(B("7701")), S_OK);
    ASSERT_EQ(vorlent->put_ReceiverType(SIGN_ROLE_TYPE_FNS), S_OK);
    ASSERT_EQ(vorlent->put_ReceiverIdentifier(B("7746")), S_OK);
    for (auto [code, name, content] : {std::tuple{"01", "a.pdf", application}, std::tuple{"04", "b.pdf", fee},
                                       std::tuple{"05", "c.pdf", receipt}}) {
      if (content.empty()) continue;
      Ref<IVorlentFile> file;
      ASSERT_EQ(vorlent->AddFile(B(""), B(code), B("application/pdf"), B(name), B(content), file.Out()), S_OK)
          << LastError(vorlent);
    }
  }

  Ref<IVorlent> vorlent_;
  std::string pki_;
};

}  // namespace

TEST_F(PackageCryptoObjectTest, SignCounterSignEncryptSaveOpenDecryptAndCheck) {
  Ref<IVorlentKey> applicant = Key("applicant", SIGN_ROLE_TYPE_APPLICANT);
  Ref<IVorlentKey> notary = Key("notary", SIGN_ROLE_TYPE_NOTARY);
  NewPackage(vorlent_.Get());
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->SignFile(B("a.pdf"), applicant.Get(), &ok), S_OK) << LastError(vorlent_.Get());
  EXPECT_EQ(ok, VARIANT_TRUE);
  Late bySign;
  CallByName(vorlent_.Get(), u"SignFile", DISPATCH_METHOD, Args().Str("b.pdf").Object(applicant.Get()),
             bySign);
  ASSERT_EQ(bySign.hr, S_OK) << bySign.description;
  EXPECT_EQ(vorlent_->SignFile(B("a.pdf"), applicant.Get(), &ok), kFailed);
  EXPECT_EQ(LastError(vorlent_.Get()), "Подпись [Ivanov Ivan Ivanovich] уже имеется под этим документом"_cp);
  Late byResign;
  CallByName(vorlent_.Get(), u"ReSignFile", DISPATCH_METHOD, Args().Str("a.pdf").Object(notary.Get()),
             byResign);
  ASSERT_EQ(byResign.hr, S_OK) << byResign.description;
  EXPECT_EQ(vorlent_->ReSignFile(B("a.pdf"), notary.Get(), &ok), kFailed);
  EXPECT_EQ(LastError(vorlent_.Get()),
            "Подпись [Notary Petrov] уже имеется под подписью [Ivanov Ivan Ivanovich]"_cp);

  // The tax authority's key by thumbprint: its certificate is found in "addressbook".
  Ref<IVorlentKey> tax(qv::CVorlentKey_class::Create());
  ASSERT_EQ(tax->put_Sha1(B(U::CertificateFromText(File("tax.cer"))->Sha1Text())), S_OK);
  ASSERT_EQ(vorlent_->Encrypt(tax.Get(), &ok), S_OK) << LastError(vorlent_.Get());
  VARIANT_BOOL encrypted = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->get_IsEncrypted(&encrypted), S_OK);
  EXPECT_EQ(encrypted, VARIANT_TRUE);
  std::string path = Path1251("signed.zip");
  ASSERT_EQ(vorlent_->Save(B(path), &ok), S_OK) << LastError(vorlent_.Get());

  // The tax authority opens it with its key bound in "MY".
  Key("tax", SIGN_ROLE_TYPE_FNS);
  Ref<IVorlent> receiver = NewVorlent();
  ASSERT_EQ(receiver->Open(B(path), &ok), S_OK) << LastError(receiver.Get());
  Ref<IVorlentFile> file;
  ASSERT_EQ(receiver->GetFile(0, file.Out()), S_OK);
  EXPECT_EQ(file->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &ok), kFailed);
  EXPECT_EQ(
      LastError(file.Get()),
      "Нельзя проверить подпись под зашифрованным документом. Необходимо предварительно его расшифровать"_cp);
  Late decrypt;
  CallByName(receiver.Get(), u"Decrypt", DISPATCH_METHOD, Args(), decrypt);
  ASSERT_EQ(decrypt.hr, S_OK) << decrypt.description;
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent), "application");
  ok = VARIANT_FALSE;
  EXPECT_EQ(file->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &ok), S_OK) << LastError(file.Get());
  EXPECT_EQ(ok, VARIANT_TRUE);
  Late check;
  CallByName(file.Get(), u"CheckSignEx", DISPATCH_METHOD, Args().Bool(false).Bool(false), check);
  EXPECT_EQ(check.hr, S_OK) << check.description;
  // CheckSign asks for the revocation lists, which nobody serves here: it must not pass.
  EXPECT_EQ(file->CheckSign(&ok), kFailed);
  EXPECT_EQ(LastError(file.Get()).rfind("Ошибка при проверке подписи [#0]: "_cp, 0), 0u)
      << LastError(file.Get());

  // The signers as key objects.
  Ref<IVorlentSignature> sign;
  ASSERT_EQ(receiver->GetFileSignature(0, 0, sign.Out()), S_OK);
  Ref<IVorlentKey> signer;
  ASSERT_EQ(sign->get_SignKey(signer.Out()), S_OK) << LastError(sign.Get());
  EXPECT_EQ(Text(signer.Get(), &IVorlentKey::get_SubjectCN), "Ivanov Ivan Ivanovich");
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  ASSERT_EQ(signer->get_SignRole(&role), S_OK);
  EXPECT_EQ(role, SIGN_ROLE_TYPE_APPLICANT);
  Ref<IVorlentSignature> counter;
  ASSERT_EQ(receiver->GetFileResign(0, 0, 0, counter.Out()), S_OK);
  Late counterKey;
  CallByName(counter.Get(), u"SignKey", DISPATCH_PROPERTYGET, Args(), counterKey);
  ASSERT_EQ(counterKey.hr, S_OK) << counterKey.description;
  ASSERT_EQ(counterKey.result.vt, VT_DISPATCH);
  Ref<IVorlentKey> counterSigner;
  ASSERT_EQ(counterKey.result.pdispVal->QueryInterface(IID_IVorlentKey,
                                                       reinterpret_cast<void**>(counterSigner.Out())),
            S_OK);
  EXPECT_EQ(Text(counterSigner.Get(), &IVorlentKey::get_SubjectCN), "Notary Petrov");

  // A counter-signature added through the signature object over other bytes fails the check.
  std::string made = Text(sign.Get(), &IVorlentSignature::get_SignatureContent);
  Ref<IVorlentFile> fee;
  ASSERT_EQ(receiver->GetFile(1, fee.Out()), S_OK);
  Ref<IVorlentSignature> feeSign;
  ASSERT_EQ(receiver->GetFileSignature(1, 0, feeSign.Out()), S_OK);
  ASSERT_EQ(feeSign->AddSign(B(made), SIGN_ROLE_TYPE_NOTARY, &ok), S_OK) << LastError(feeSign.Get());
  EXPECT_EQ(fee->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &ok), kFailed);
  EXPECT_EQ(LastError(fee.Get()).rfind("Ошибка при проверке подписих [#0] под подписью: "_cp, 0), 0u)
      << LastError(fee.Get());
}

// Signing in one call with saving writes what the package held while it signs, and adds the new
// signatures and the manifest after it: the result is the package that signing and then saving
// gives, and a refused signature leaves the file as it was. The application is large enough to
// be carried over from the package file while it is read for signing.
TEST_F(PackageCryptoObjectTest, SigningWhileSavingGivesWhatSigningThenSavingGives) {
  Ref<IVorlentKey> applicant = Key("applicant", SIGN_ROLE_TYPE_APPLICANT);
  Ref<IVorlentKey> notary = Key("notary", SIGN_ROLE_TYPE_NOTARY, "4321");
  static std::atomic<int> asked{0};
  QvToolSetPinPrompt(
      [](const char*, char* pin, size_t size, void*) {
        ++asked;
        std::snprintf(pin, size, "4321");
        return 1;
      },
      nullptr);
  struct Forget {
    ~Forget() { QvToolSetPinPrompt(nullptr, nullptr); }
  } forget;
  std::string large(17 << 20, '\0');
  std::uint32_t x = 1;
  for (char& c : large) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  NewPackage(vorlent_.Get(), large, large.substr(1000, 3 << 20), large.substr(7, 2 << 20));
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(vorlent_->SignFile(B("a.pdf"), applicant.Get(), &ok), S_OK) << LastError(vorlent_.Get());
  const std::string base = Path1251("base.zip"), fused = TestPath("fused.zip"), apart = Path1251("apart.zip");
  ASSERT_EQ(vorlent_->Save(B(base), &ok), S_OK) << LastError(vorlent_.Get());
  ASSERT_EQ(RunCommand("cp '" + TestPath("base.zip") + "' '" + fused + "'"), 0);

  Ref<IVorlent> one = NewVorlent(), other = NewVorlent();
  ASSERT_EQ(one->Open(B(qv::Utf8ToCp1251(fused)), &ok), S_OK) << LastError(one.Get());
  // The documents are signed on three threads here, one by one there; the key's PIN is asked
  // once for the three.
  const LONG both[] = {0, 1, 2};
  qv::SetParallelThreads(3);
  asked = 0;
  ASSERT_EQ(QvToolSignAndSave(one.Get(), both, 3, notary.Get(), fused.c_str()), S_OK) << QvToolLastError();
  qv::SetParallelThreads(0);
  EXPECT_EQ(asked, 1);
  ASSERT_EQ(other->Open(B(base), &ok), S_OK) << LastError(other.Get());
  for (LONG i : both) {
    Ref<IVorlentFile> file;
    ASSERT_EQ(other->GetFile(i, file.Out()), S_OK);
    ASSERT_EQ(file->Sign(notary.Get(), &ok), S_OK) << LastError(file.Get());
  }
  ASSERT_EQ(other->Save(B(apart), &ok), S_OK) << LastError(other.Get());

  std::string output;
  ASSERT_EQ(RunCommand("unzip -tq '" + fused + "' 2>&1", &output), 0) << output;
  std::string names, apartNames;
  ASSERT_EQ(RunCommand("unzip -Z1 '" + fused + "' | sort", &names), 0);
  ASSERT_EQ(RunCommand("unzip -Z1 '" + TestPath("apart.zip") + "' | sort", &apartNames), 0);
  EXPECT_EQ(names, apartNames);
  Ref<IVorlent> reopened = NewVorlent();
  ASSERT_EQ(reopened->Open(B(qv::Utf8ToCp1251(fused)), &ok), S_OK) << LastError(reopened.Get());
  for (LONG i : both) {
    Ref<IVorlentFile> file, twin;
    ASSERT_EQ(reopened->GetFile(i, file.Out()), S_OK);
    ASSERT_EQ(other->GetFile(i, twin.Out()), S_OK);
    EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent),
              Text(twin.Get(), &IVorlentFile::get_RawContent));
    LONG count = 0;
    ASSERT_EQ(reopened->GetFileSignatureCount(i, &count), S_OK);
    EXPECT_EQ(count, i == 0 ? 2 : 1);
    EXPECT_EQ(file->CheckSignEx(VARIANT_FALSE, VARIANT_FALSE, &ok), S_OK) << LastError(file.Get());
    // The same signatures in the same order, but for their times and random values.
    for (LONG k = 0; k < count; ++k) {
      Ref<IVorlentSignature> sign, twinSign;
      ASSERT_EQ(reopened->GetFileSignature(i, k, sign.Out()), S_OK);
      ASSERT_EQ(other->GetFileSignature(i, k, twinSign.Out()), S_OK);
      const std::string made = Text(sign.Get(), &IVorlentSignature::get_SignatureContent);
      EXPECT_EQ(WithoutTimeAndValue(made),
                WithoutTimeAndValue(Text(twinSign.Get(), &IVorlentSignature::get_SignatureContent)))
          << i << " " << k;
      EXPECT_NE(WithoutTimeAndValue(made).find('\0'), std::string::npos);  // a signature, read
    }
  }
  std::string manifest, apartManifest;
  ASSERT_EQ(RunCommand("unzip -p '" + fused + "' packageDescription.xml", &manifest), 0);
  ASSERT_EQ(RunCommand("unzip -p '" + TestPath("apart.zip") + "' packageDescription.xml", &apartManifest), 0);
  EXPECT_EQ(manifest, apartManifest);

  // The documents digested ahead in a run give the checks' outcomes: the package's signatures
  // hold, and in a copy whose fee (3 MiB) is other bytes of its size the fee's do not, whether
  // its digests were taken ahead in the same run or not.
  const std::string forged = TestPath("forged.zip");
  ASSERT_EQ(RunCommand("python3 -c \"import zipfile,sys\n"
                       "a=zipfile.ZipFile(sys.argv[1]); b=zipfile.ZipFile(sys.argv[2],'w')\n"
                       "for i in a.infolist():\n"
                       "  d=a.read(i.filename)\n"
                       "  if len(d)==3<<20: d=bytes([d[0]^1])+d[1:]\n"
                       "  b.writestr(i,d)\n"
                       "b.close()\" '" +
                       fused + "' '" + forged + "'"),
            0);
  Ref<IVorlent> forgedPackage = NewVorlent();
  ASSERT_EQ(forgedPackage->Open(B(qv::Utf8ToCp1251(forged)), &ok), S_OK) << LastError(forgedPackage.Get());
  for (bool ahead : {false, true}) {
    ASSERT_EQ(QvToolBeginVerification(), S_OK);
    ASSERT_EQ(QvToolDigestDocuments(reopened.Get()), S_OK) << QvToolLastError();
    if (ahead) {
      ASSERT_EQ(QvToolDigestDocuments(forgedPackage.Get()), S_OK) << QvToolLastError();
    }
    for (LONG i : both) {
      for (IVorlent* package : {reopened.Get(), forgedPackage.Get()}) {
        Ref<IVorlentFile> file;
        Ref<IVorlentSignature> sign;
        ASSERT_EQ(package->GetFile(i, file.Out()), S_OK);
        ASSERT_EQ(package->GetFileSignature(i, 0, sign.Out()), S_OK);
        const std::string bytes = Text(sign.Get(), &IVorlentSignature::get_SignatureContent);
        const bool forgedFee = package == forgedPackage.Get() && i == 1;
        EXPECT_EQ(SUCCEEDED(QvToolCheckDetachedSignatureOfDocument(file.Get(), bytes.data(), bytes.size(), 0,
                                                                   nullptr)),
                  !forgedFee)
            << i << " " << ahead << " " << QvToolLastError();
      }
    }
    QvToolEndVerification();
  }

  // The notary has signed the fee already: nothing is written, and no temporary is left behind.
  const std::string before = ReadBytes(fused);
  const LONG fee[] = {1};
  EXPECT_LT(QvToolSignAndSave(reopened.Get(), fee, 1, notary.Get(), fused.c_str()), 0);
  EXPECT_EQ(std::string(QvToolLastError()), "Подпись [Notary Petrov] уже имеется под этим документом");
  EXPECT_EQ(ReadBytes(fused), before);
  ASSERT_EQ(RunCommand("ls -A '" + TestPath("") + "' | grep '[.]tmp$'; true", &output), 0);
  EXPECT_EQ(output, "");

  // The writing fails while the applicant signs (files may grow to 1 KiB): the failure is the
  // writing's, and again nothing is written or left behind.
  HRESULT hr = E_FAIL;
  std::string failure;
  {
    FileSizeLimit small(1024);
    hr = QvToolSignAndSave(reopened.Get(), fee, 1, applicant.Get(), fused.c_str());
    failure = QvToolLastError();
  }
  EXPECT_LT(hr, 0);
  EXPECT_EQ(failure.rfind("Не удалось записать архив [", 0), 0u) << failure;
  EXPECT_EQ(ReadBytes(fused), before);
  ASSERT_EQ(RunCommand("ls -A '" + TestPath("") + "' | grep '[.]tmp$'; true", &output), 0);
  EXPECT_EQ(output, "");
}

TEST_F(PackageCryptoObjectTest, EncryptByCertificateAndSignaturesOfFileObjects) {
  Ref<IVorlentKey> applicant = Key("applicant", SIGN_ROLE_TYPE_APPLICANT);
  Ref<IVorlentKey> notary = Key("notary", SIGN_ROLE_TYPE_NOTARY);
  NewPackage(vorlent_.Get());
  Ref<IVorlentFile> file;
  ASSERT_EQ(vorlent_->GetFile(0, file.Out()), S_OK);
  VARIANT_BOOL ok = VARIANT_FALSE;
  ASSERT_EQ(file->Sign(applicant.Get(), &ok), S_OK) << LastError(file.Get());
  Late resign;
  CallByName(file.Get(), u"Resign", DISPATCH_METHOD, Args().Object(notary.Get()), resign);
  ASSERT_EQ(resign.hr, S_OK) << resign.description;
  LONG count = 0;
  ASSERT_EQ(vorlent_->GetFileResignCount(0, 0, &count), S_OK);
  EXPECT_EQ(count, 1);
  // The same signature bytes added again are a second signature.
  Ref<IVorlentSignature> sign;
  ASSERT_EQ(vorlent_->GetFileSignature(0, 0, sign.Out()), S_OK);
  std::string bytes = Text(sign.Get(), &IVorlentSignature::get_SignatureContent);
  ASSERT_EQ(file->AddSign(B(bytes), SIGN_ROLE_TYPE_APPLICANT, &ok), S_OK) << LastError(file.Get());
  ASSERT_EQ(vorlent_->GetFileSignatureCount(0, &count), S_OK);
  EXPECT_EQ(count, 2);

  ASSERT_EQ(vorlent_->EncryptByCertificate(B(File("tax.cer")), &ok), S_OK) << LastError(vorlent_.Get());
  VARIANT_BOOL encrypted = VARIANT_FALSE;
  ASSERT_EQ(file->get_IsEncrypted(&encrypted), S_OK);
  EXPECT_EQ(encrypted, VARIANT_TRUE);
  Ref<IVorlentFile> fee;
  ASSERT_EQ(vorlent_->GetFile(1, fee.Out()), S_OK);
  ASSERT_EQ(fee->get_IsEncrypted(&encrypted), S_OK);
  EXPECT_EQ(encrypted, VARIANT_FALSE);
  EXPECT_EQ(file->Sign(notary.Get(), &ok), kFailed);
  EXPECT_EQ(LastError(file.Get()), "Нельзя подписывать зашифрованный документ"_cp);
  // Without the authority's key in "MY" nothing decrypts, and nothing is lost.
  EXPECT_LT(vorlent_->Decrypt(&ok), 0);
  ASSERT_EQ(file->get_IsEncrypted(&encrypted), S_OK);
  EXPECT_EQ(encrypted, VARIANT_TRUE);
  EXPECT_EQ(Text(file.Get(), &IVorlentFile::get_RawContent), "application");
}
