// The cryptographic life of a package in the engine: signing, counter-signing to any depth,
// signatures made elsewhere, encryption for the tax authority, saving, reopening, decryption
// and verification with the signers' chains, checked also with the openssl tool.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoUtils.h"
#include "crypto/VorlentCryptoTool.h"
#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "keys/PackageCryptoService.h"
#include "manifest/XMLGpr.h"
#include "net/LoopbackServers.h"
#include "package/VorlentDoc.h"
#include "pki/TestPki.h"

using namespace qv;
using namespace qvtest;
using U = CCryptoAPI20Utils;

namespace {

// The message of what `body` raises, as UTF-8; "<no error>" when it returns.
template <class F>
std::string ErrorOf(F&& body) {
  try {
    body();
  } catch (const CVorlentException& e) {
    return Cp1251ToUtf8(e.Message());
  }
  return "<no error>";
}

const char kApplication[] = "%PDF-1.4 application of a new legal entity";
const char kApplicationXml[] = "<?xml version=\"1.0\"?><application/>";
const char kCharter[] = "%PDF-1.4 charter";
const char kReceipt[] = "%PDF-1.4 fee receipt";

class PackageCrypto : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallPackageCrypto();
    server_->Get(R"(/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++hits_[request.matches[1]];
      auto found = served_.find(request.matches[1]);
      if (found == served_.end()) {
        response.status = 404;
        return;
      }
      response.set_content(found->second, "application/octet-stream");
    });
    int port = server_.Start();
    pki_ = TestPath("package-pki");
    std::string output;
    ASSERT_EQ(RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/keys/make-package-pki.sh' '" + pki_ +
                             "' " + std::to_string(port) + " 2>&1",
                         &output),
              0)
        << output;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const char* name : {"root.cer", "inter.cer", "root.crl", "inter.crl"}) served_[name] = File(name);
    }
    // The root is trusted; the intermediate and the lists come over the loopback server.
    U::AddToStore(nullptr, kStoreCurrentUser, kStoreRoot, {}, U::CertificateFromText(File("root.cer")));
    applicant_ = Bind("applicant", kSubjectApplicant);
    notary_ = Bind("notary", kSubjectNotary);
    notary2_ = Bind("notary2", kSubjectNotary);
    tax_ = Bind("tax", kSubjectTaxAuthority);
    U::AddToStore(nullptr, kStoreCurrentUser, kStoreAddressBook, {}, U::CertificateFromText(File("tax.cer")));
  }
  void TearDown() override {
    CVorlentCryptoTool::SetProviderCheck({});
    server_.Stop();
  }

  std::string File(const std::string& name) { return ReadBytes(pki_ + "/" + name); }
  // For checks without downloads.
  void InstallIntermediate() {
    U::AddToStore(nullptr, kStoreCurrentUser, kStoreCA, {}, U::CertificateFromText(File("inter.cer")));
  }
  std::string PkiFile(const std::string& name) { return pki_ + "/" + name; }

  // A key record of a certificate bound in "MY" to its container.
  std::unique_ptr<CVorlentKey> Bind(const std::string& name, SubjectType role) {
    CertContextPtr cert = BindKey(name, File(name + ".key"), File(name + ".pem"));
    auto key = std::make_unique<CVorlentKey>();
    key->SetSignRole(role);
    key->FillFromCertificate(cert);
    return key;
  }

  // A registration of a legal entity with an application, its XML form, a charter and a fee receipt.
  void NewRegistration(CVorlentDoc& doc) {
    ASSERT_TRUE(doc.New());
    doc.SetTransactionType(5);
    doc.SetSenderType(kSubjectSubscriberOther);
    doc.SetSenderIdentifier("7701234567");
    doc.SetReceiverType(kSubjectTaxAuthority);
    doc.SetReceiverIdentifier("7746");
    struct Row {
      std::uint8_t kind;
      const char* source;
      const char* content;
    };
    for (const Row& row : {Row{17, "zayav.pdf", kApplication}, Row{18, "zayav.xml", kApplicationXml},
                           Row{19, "ustav.pdf", kCharter}, Row{20, "receipt.pdf", kReceipt}}) {
      auto entry = doc.AddDocument();
      entry->SetKind(row.kind);
      entry->SetContentType("application/pdf");
      entry->SetSourceFileName(row.source);
      entry->SetContent(row.content);
    }
  }

  // A detached signature made by the openssl tool.
  std::string OpenSslSign(const std::string& signer, const std::string& content) {
    std::string in = TestPath("to-sign.bin");
    WriteBytes(in, content);
    std::string out = TestPath("signed-by-openssl.p7s");
    std::string output;
    EXPECT_EQ(RunCommand(OpenSsl("cms -sign -binary -outform DER -md md_gost12_256 -in '" + in +
                                 "' -signer '" + PkiFile(signer + ".pem") + "' -inkey '" +
                                 PkiFile(signer + ".key") + "' -out '" + out + "' 2>&1"),
                         &output),
              0)
        << output;
    return ReadBytes(out);
  }

  // Whether the openssl tool verifies the detached signature file over the content file.
  std::string OpenSslVerify(const std::string& signature, const std::string& content) {
    std::string bundle = TestPath("bundle.pem");
    WriteBytes(bundle, File("root.pem") + File("inter.pem"));
    std::string output;
    int rc = RunCommand(OpenSsl("cms -verify -binary -inform DER -purpose any -in '" + signature +
                                "' -content '" + content + "' -CAfile '" + bundle + "' -out /dev/null 2>&1"),
                        &output);
    return rc == 0 ? "ok" : output;
  }

  HttpServer server_;
  std::mutex mutex_;
  std::map<std::string, std::string> served_;
  std::map<std::string, int> hits_;
  std::string pki_;
  std::unique_ptr<CVorlentKey> applicant_, notary_, notary2_, tax_;
};

}  // namespace

TEST_F(PackageCrypto, RegistrationIsSignedCounterSignedEncryptedSavedReopenedDecryptedAndVerified) {
  std::string path = TestPath("registration.zip");
  std::string applicationName;
  std::vector<std::pair<std::string, std::string>> names;  // content file, plain content
  {
    CVorlentDoc doc;
    NewRegistration(doc);
    for (const char* name : {"zayav.pdf", "zayav.xml", "ustav.pdf", "receipt.pdf"}) {
      ASSERT_TRUE(doc.SignDocument(name, *applicant_));
    }
    ASSERT_TRUE(doc.ResignDocument("zayav.pdf", *notary_));
    auto application = doc.FindDocument("zayav.pdf");
    application->GetSignature(0)->GetResign(0)->Resign(*notary2_);

    // The signer read back from the bytes made.
    const CVorlentKey* signer = application->GetSignature(0)->Key();
    ASSERT_NE(signer, nullptr);
    EXPECT_EQ(signer->Sha1(), applicant_->Sha1());
    EXPECT_EQ(signer->SubjectCN(), "Ivanov Ivan Ivanovich");
    EXPECT_EQ(signer->SubjectSN(), "Ivanov");
    EXPECT_EQ(signer->SignRole(), kSubjectApplicant);
    EXPECT_TRUE(signer->ContainerName().empty());
    EXPECT_EQ(application->GetSignature(0)->GetResign(0)->Key()->SubjectCN(), "Notary Petrov");

    // The tax authority's key record by thumbprint only: found in "addressbook".
    CVorlentKey byThumbprint;
    byThumbprint.SetSha1(tax_->Sha1());
    ASSERT_TRUE(doc.EncryptAll(byThumbprint));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(doc.GetFile(i)->IsEncrypted()) << i;
    EXPECT_FALSE(doc.GetFile(3)->IsEncrypted());
    EXPECT_EQ(application->GetRawContent(), kApplication);
    EXPECT_NE(application->GetContent(), kApplication);
    EXPECT_EQ(doc.GetFile(3)->GetContent(), kReceipt);
    // Encrypted already: nothing changes.
    std::string once = application->GetContent();
    ASSERT_TRUE(doc.EncryptAll(byThumbprint));
    EXPECT_EQ(application->GetContent(), once);

    applicationName = application->GetFileName();
    for (int i = 0; i < doc.GetFileCount(); ++i) {
      names.emplace_back(doc.GetFile(i)->GetFileName(), doc.GetFile(i)->GetRawContent());
    }
    ASSERT_TRUE(doc.Save(path));
  }

  // Outside the library: the archive holds every level under its name, and openssl verifies
  // each document signature over the plain content and each counter-signature over its owner.
  std::string unpacked = TestPath("unpacked");
  std::string output;
  ASSERT_EQ(
      RunCommand("mkdir -p '" + unpacked + "' && cd '" + unpacked +
                     "' && python3 -c 'import sys,zipfile; zipfile.ZipFile(sys.argv[1]).extractall()' '" +
                     path + "' 2>&1",
                 &output),
      0)
      << output;
  std::string first = unpacked + "/" + applicationName + ".zayav_1.p7s";
  std::string second = first.substr(0, first.size()) + ".notarius_1.p7s";
  std::string third = second + ".notarius_1.p7s";
  std::string plain = TestPath("application.pdf");
  WriteBytes(plain, kApplication);
  EXPECT_EQ(OpenSslVerify(first, plain), "ok");
  EXPECT_EQ(OpenSslVerify(second, first), "ok");
  EXPECT_EQ(OpenSslVerify(third, second), "ok");
  EXPECT_NE(ReadBytes(unpacked + "/" + applicationName), kApplication);
  for (const auto& [name, content] : names) {
    std::string plainFile = TestPath("plain-" + name);
    WriteBytes(plainFile, content);
    EXPECT_EQ(OpenSslVerify(unpacked + "/" + name + ".zayav_1.p7s", plainFile), "ok") << name;
  }
  // The fee receipt is stored plain.
  EXPECT_EQ(ReadBytes(unpacked + "/" + names[3].first), kReceipt);

  CVorlentDoc doc;
  ASSERT_TRUE(doc.Open(path));
  ASSERT_EQ(doc.GetFileCount(), 4);
  auto application = doc.FindDocument("zayav.pdf");
  EXPECT_EQ(
      ErrorOf([&] { application->CheckSign(true, true); }),
      "Нельзя проверить подпись под зашифрованным документом. Необходимо предварительно его расшифровать");
  EXPECT_EQ(ErrorOf([&] { application->Sign(*notary_); }), "Нельзя подписывать зашифрованный документ");
  // Read back on opening.
  EXPECT_EQ(application->GetSignature(0)->GetResign(0)->GetResign(0)->Key()->SubjectCN(), "Notary Sidorov");
  ASSERT_TRUE(doc.DecryptAll());
  EXPECT_FALSE(doc.IsEncrypted());
  EXPECT_EQ(application->GetContent(), kApplication);
  EXPECT_EQ(application->GetRawContent(), kApplication);
  EXPECT_EQ(doc.FindDocument("zayav.xml")->GetContent(), kApplicationXml);
  EXPECT_EQ(doc.FindDocument("ustav.pdf")->GetContent(), kCharter);
  EXPECT_EQ(doc.FindDocument("receipt.pdf")->GetContent(), kReceipt);
  for (int i = 0; i < doc.GetFileCount(); ++i) {
    EXPECT_EQ(ErrorOf([&] { doc.GetFile(i)->CheckSign(true, true); }), "<no error>") << i;
  }
  {
    // A document's check is one run: the application's three signatures fetch the list once.
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(hits_["inter.crl"], doc.GetFileCount());
  }
  // The signer list of the last verification: the certificate item and the key record.
  CStrArray& signers = doc.FindDocument("receipt.pdf")->GetSignature(0)->SignerList();
  ASSERT_EQ(signers.Count(), 2);
  EXPECT_EQ(signers.Key(1), applicant_->Sha1());
}

TEST_F(PackageCrypto, EncryptionForACertificateBodyAndRefusals) {
  InstallIntermediate();
  CVorlentDoc doc;
  NewRegistration(doc);
  auto application = doc.FindDocument("zayav.pdf");
  ASSERT_TRUE(doc.SignDocument("zayav.pdf", *applicant_));
  // The same signer again is refused; a thumbprint in lower case is another signer.
  EXPECT_EQ(ErrorOf([&] { doc.SignDocument("zayav.pdf", *applicant_); }),
            "Подпись [Ivanov Ivan Ivanovich] уже имеется под этим документом");
  CVorlentKey lower;
  lower.SetSignRole(kSubjectApplicant);
  lower.FillFromCertificate(applicant_->Certificate());
  std::string sha1 = lower.Sha1();
  for (char& c : sha1) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  lower.SetSha1(sha1);
  ASSERT_TRUE(doc.SignDocument("zayav.pdf", lower));
  EXPECT_EQ(application->GetSignatureCount(), 2);
  EXPECT_EQ(ErrorOf([&] { doc.SignDocument("none.pdf", *applicant_); }),
            "Документ с именем [none.pdf] не найден");

  // Counter-signing twice is refused, with both names.
  auto signature = application->GetSignature(0);
  signature->Resign(*notary_);
  EXPECT_EQ(ErrorOf([&] { signature->Resign(*notary_); }),
            "Подпись [Notary Petrov] уже имеется под подписью [Ivanov Ivan Ivanovich]");
  EXPECT_EQ(signature->GetResignCount(), 1);

  // The same bytes added twice are two signatures; bytes without a certificate add nothing.
  std::string made = OpenSslSign("other", kApplication);
  application->AddSign(made, kSubjectApplicant);
  application->AddSign(made, kSubjectApplicant);
  EXPECT_EQ(application->GetSignatureCount(), 4);
  EXPECT_EQ(application->GetSignature(3)->Key()->SubjectCN(), "Other Signer");
  EXPECT_EQ(ErrorOf([&] { application->AddSign("", kSubjectApplicant); }),
            "Передан пустой аргумент: sSignatureContent");
  EXPECT_EQ(ErrorOf([&] { application->AddSign("not a signature", kSubjectApplicant); }),
            "Подпись не содержит сертификата подписанта");
  EXPECT_EQ(application->GetSignatureCount(), 4);
  EXPECT_EQ(application->Element()->ExtSignatures().Count(), 4);
  EXPECT_EQ(ErrorOf([&] { application->CheckSign(false, false); }), "<no error>");

  // Encryption for a certificate given as its body; the fee receipt stays plain.
  CVorlentKey byBody;
  byBody.SetCertificateBody(File("tax.cer"));
  ASSERT_TRUE(doc.EncryptAll(byBody));
  EXPECT_TRUE(application->IsEncrypted());
  EXPECT_FALSE(doc.FindDocument("receipt.pdf")->IsEncrypted());
  EXPECT_EQ(ErrorOf([&] { application->Sign(*notary_); }), "Нельзя подписывать зашифрованный документ");
  EXPECT_EQ(
      ErrorOf([&] { application->CheckSign(false, false); }),
      "Нельзя проверить подпись под зашифрованным документом. Необходимо предварительно его расшифровать");
  ASSERT_TRUE(doc.DecryptAll());
  EXPECT_EQ(application->GetContent(), kApplication);
  EXPECT_EQ(ErrorOf([&] { application->CheckSign(false, false); }), "<no error>");
}

TEST_F(PackageCrypto, CounterSignaturesAreVerifiedAtEveryDepth) {
  InstallIntermediate();
  CVorlentDoc doc;
  NewRegistration(doc);
  auto application = doc.FindDocument("zayav.pdf");
  ASSERT_TRUE(doc.SignDocument("zayav.pdf", *applicant_));
  auto signature = application->GetSignature(0);
  // A counter-signature made over other bytes.
  signature->AddSign(OpenSslSign("notary", "other bytes"), kSubjectNotary);
  std::string message = ErrorOf([&] { application->CheckSign(false, false); });
  EXPECT_EQ(message.rfind("Ошибка при проверке подписих [#0] под подписью: ", 0), 0u) << message;

  // A good counter-signature whose own counter-signature was made over other bytes.
  signature->DeleteResigns();
  signature->Resign(*notary_);
  ASSERT_EQ(ErrorOf([&] { application->CheckSign(false, false); }), "<no error>");
  signature->GetResign(0)->AddSign(OpenSslSign("notary2", "other bytes"), kSubjectNotary);
  message = ErrorOf([&] { application->CheckSign(false, false); });
  const std::string prefix = "Ошибка при проверке подписих [#0] под подписью: ";
  EXPECT_EQ(message.rfind(prefix + prefix, 0), 0u) << message;

  // A document signature made over other bytes names its position.
  application->AddSign(OpenSslSign("other", "something else"), kSubjectApplicant);
  signature->DeleteResigns();
  message = ErrorOf([&] { application->CheckSign(false, false); });
  EXPECT_EQ(message.rfind("Ошибка при проверке подписи [#1]: ", 0), 0u) << message;
}

TEST_F(PackageCrypto, ASignatureFileThatIsNotCmsOpensSavesBackUnchangedAndFailsVerification) {
  std::string path = TestPath("odd.zip");
  {
    CVorlentDoc doc;
    NewRegistration(doc);
    doc.FindDocument("receipt.pdf")->AddSignature(kSubjectApplicant, "not a CMS message");
    ASSERT_TRUE(doc.Save(path));
  }
  std::string again = TestPath("odd-again.zip");
  {
    CVorlentDoc doc;
    ASSERT_TRUE(doc.Open(path));
    auto receipt = doc.FindDocument("receipt.pdf");
    ASSERT_EQ(receipt->GetSignatureCount(), 1);
    ASSERT_NE(receipt->GetSignature(0)->Key(), nullptr);
    EXPECT_EQ(receipt->GetSignature(0)->Key()->Sha1(), "");
    EXPECT_EQ(receipt->GetSignature(0)->GetContent(), "not a CMS message");
    std::string message = ErrorOf([&] { receipt->CheckSign(false, false); });
    EXPECT_EQ(message.rfind("Ошибка при проверке подписи [#0]: ", 0), 0u) << message;
    ASSERT_TRUE(doc.Save(again));
  }
  CVorlentDoc doc;
  ASSERT_TRUE(doc.Open(again));
  EXPECT_EQ(doc.FindDocument("receipt.pdf")->GetSignature(0)->GetContent(), "not a CMS message");
}

TEST_F(PackageCrypto, EveryOperationNamesItselfWhenTheProviderIsMissing) {
  CVorlentCryptoTool::SetProviderCheck([] { return false; });
  CVorlentDoc doc;
  NewRegistration(doc);
  auto application = doc.FindDocument("zayav.pdf");
  application->AddSign(OpenSslSign("other", kApplication), kSubjectApplicant);
  auto signature = application->GetSignature(0);
  const std::string missing = "Не установлен СКЗИ КриптоПро, который требуется для операции: ";
  EXPECT_EQ(ErrorOf([&] { application->Sign(*applicant_); }), missing + "подписание");
  EXPECT_EQ(ErrorOf([&] { application->Resign(*notary_); }), missing + "переподписание");
  EXPECT_EQ(ErrorOf([&] { application->Encrypt(*tax_); }), missing + "шифрование");
  EXPECT_EQ(ErrorOf([&] { application->Decrypt(); }), missing + "расшифрование");
  EXPECT_EQ(ErrorOf([&] { application->CheckSign(false, false); }), missing + "Проверка подписи");
  EXPECT_EQ(ErrorOf([&] { signature->Resign(*notary_); }), missing + "подписание");
  EXPECT_EQ(ErrorOf([&] { signature->CheckResigns(false, false); }), missing + "проверка ЭЦП");
  EXPECT_EQ(ErrorOf([&] { doc.EncryptAll(*tax_); }), missing + "шифрование");
  // Signatures made elsewhere need no provider.
  EXPECT_EQ(application->GetSignatureCount(), 1);
}

// A signature of a package has one signer, the one its key record and role describe: a signature
// file with two SignerInfos, both good and chained (openssl accepts it), is refused as a
// document's signature and as a counter-signature.
TEST_F(PackageCrypto, ASignatureWithTwoSignersIsRefused) {
  InstallIntermediate();
  auto twoSigners = [&](const std::string& content) {
    std::string in = TestPath("two.bin"), out = TestPath("two.p7s"), output;
    WriteBytes(in, content);
    EXPECT_EQ(RunCommand(OpenSsl("cms -sign -binary -outform DER -in '" + in + "' -signer '" +
                                 PkiFile("applicant.pem") + "' -inkey '" + PkiFile("applicant.key") +
                                 "' -signer '" + PkiFile("notary.pem") + "' -inkey '" +
                                 PkiFile("notary.key") + "' -out '" + out + "' 2>&1"),
                         &output),
              0)
        << output;
    EXPECT_EQ(OpenSslVerify(out, in), "ok");
    return ReadBytes(out);
  };
  const std::string refused = "Ошибка при проверке подписи: подпись содержит 2 подписантов, а должна одного";
  CVorlentDoc doc;
  NewRegistration(doc);
  auto application = doc.FindDocument("zayav.pdf");
  application->AddSign(twoSigners(kApplication), kSubjectApplicant);
  EXPECT_EQ(ErrorOf([&] { application->CheckSign(false, false); }),
            "Ошибка при проверке подписи [#0]: " + refused);

  auto receipt = doc.FindDocument("receipt.pdf");
  ASSERT_TRUE(doc.SignDocument("receipt.pdf", *applicant_));
  auto signature = receipt->GetSignature(0);
  ASSERT_EQ(ErrorOf([&] { receipt->CheckSign(false, false); }), "<no error>");
  signature->AddSign(twoSigners(signature->GetContent()), kSubjectNotary);
  EXPECT_EQ(ErrorOf([&] { receipt->CheckSign(false, false); }),
            "Ошибка при проверке подписих [#0] под подписью: " + refused);
}
