#include <gtest/gtest.h>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "pki/TestPki.h"
#include "platform/CryptError.h"

using namespace qv;
using namespace qvtest;
using U = CCryptoAPI20Utils;

namespace {

std::unique_ptr<CCryptCertificate> Pki(const std::string& name) {
  return CCryptCertificate::Create(U::CertificateFromText(PkiBytes(name)));
}

std::unique_ptr<CCryptCertificate> Conformance(const std::string& name) {
  return CCryptCertificate::Create(U::CertificateFromText(ReadBytes(ConformancePath(name))));
}

// The SHA-1 fingerprint that the openssl command-line tool reports, without colons.
std::string OpenSslFingerprint(const std::string& path) {
  std::string output;
  EXPECT_EQ(RunCommand(OpenSsl("x509 -noout -fingerprint -sha1 -in '" + path + "'"), &output), 0);
  std::string hex;
  for (char c : output.substr(output.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  return hex;
}

std::vector<std::string> Keys(const CStrArray& list) {
  std::vector<std::string> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list.Key(i));
  return keys;
}

std::string Message(const std::function<void()>& body) {
  try {
    body();
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "<no error>";
}

}  // namespace

TEST(ConformanceCertificates, ThumbprintsNamesAndKeyAlgorithms) {
  struct Case {
    const char* file;
    const char* cn;
    const char* keyOid;
  };
  const Case cases[] = {
      {"01_tk26cms_signeddata_pygost/cert_256_example.pem", "GostR3410-2012 (256 bit) example",
       "1.2.643.7.1.1.1.1"},
      {"01_tk26cms_signeddata_pygost/cert_512_example.pem", "GostR3410-2012 (512 bit) example",
       "1.2.643.7.1.1.1.2"},
      {"14_rfc4491bis_certs_crls_csrs_pygost/cert_256_testparamset.pem", "Example", "1.2.643.7.1.1.1.1"},
      {"14_rfc4491bis_certs_crls_csrs_pygost/cert_256_paramsetA.pem", "Example", "1.2.643.7.1.1.1.1"},
      {"14_rfc4491bis_certs_crls_csrs_pygost/cert_512_testparamset.pem", "Example", "1.2.643.7.1.1.1.2"},
      {"08_tc26_2019_cms_examples_gost_engine/sender512_cert.pem", nullptr, "1.2.643.7.1.1.1.2"},
      {"08_tc26_2019_cms_examples_gost_engine/root256_cert.pem", nullptr, "1.2.643.7.1.1.1.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto cert = Conformance(c.file);
    EXPECT_EQ(cert->GetSha1(), OpenSslFingerprint(ConformancePath(c.file)));
    if (c.cn) {
      EXPECT_EQ(cert->GetNameInfo().CN, c.cn);
    }
    EXPECT_EQ(cert->GetPublicKey().AlgorithmOid, c.keyOid);
    EXPECT_GT(cert->GetNotAfter(), cert->GetNotBefore());
  }
  auto example = Conformance("01_tk26cms_signeddata_pygost/cert_256_example.pem");
  // Self-signed: subject and issuer render the same.
  EXPECT_EQ(example->GetSubject(), example->GetIssuer());
  EXPECT_NE(example->GetSubject().find("CN=GostR3410-2012 (256 bit) example"), std::string::npos);
}

TEST(ConformanceCertificates, TestPkiThumbprintsMatchOpenSsl) {
  for (const char* name : {"root.cer", "inter.cer", "user.cer", "k2001.cer", "k512.cer"}) {
    std::string pem = std::string(name).substr(0, std::string(name).size() - 4) + ".pem";
    EXPECT_EQ(Pki(name)->GetSha1(), OpenSslFingerprint(PkiPath(pem))) << name;
  }
  EXPECT_EQ(Pki("k2001.cer")->GetPublicKey().AlgorithmOid, "1.2.643.2.2.19");
  EXPECT_EQ(Pki("k512.cer")->GetPublicKey().AlgorithmOid, "1.2.643.7.1.1.1.2");
}

TEST(ConformanceCrls, EmptyCrlsAndTheTestPkiCrl) {
  for (const char* name : {"crl_256_testparamset.pem", "crl_256_paramsetA.pem", "crl_512_testparamset.pem"}) {
    CCryptCrl crl;
    crl.Load(ReadBytes(ConformancePath(std::string("14_rfc4491bis_certs_crls_csrs_pygost/") + name)));
    auto cert = Conformance("14_rfc4491bis_certs_crls_csrs_pygost/cert_256_testparamset.pem");
    EXPECT_EQ(crl.GetRevocationDate(*cert), 0) << name;
  }
  CCryptCrl crl;
  crl.Load(PkiBytes("inter.crl"));
  auto revoked = Pki("revoked.cer");
  double date = crl.GetRevocationDate(*revoked);
  // The date openssl reports for the entry.
  std::string output;
  RunCommand(OpenSsl("crl -noout -text -in '" + PkiPath("inter.crl") + "'"), &output);
  std::string line = output.substr(output.find("Revocation Date: ") + 17, 24);
  struct tm tm {};
  ASSERT_TRUE(strptime(line.c_str(), "%b %d %H:%M:%S %Y", &tm)) << line;
  EXPECT_NEAR(date, UnixTimeToDateTime(timegm(&tm)), 1e-6);
  EXPECT_EQ(crl.GetRevocationDate(*Pki("user.cer")), 0);
  EXPECT_EQ(Message([] { CCryptCrl().Load(""); }), "CRL: передано пустое содержимое"_cp);
}

TEST(CertificateModel, NameInfoKeepsLastOccurrenceAndListsAll) {
  auto user = Pki("user.cer");
  CCryptNameInfo& name = user->GetNameInfo();
  EXPECT_EQ(name.CN, "Иванов Иван Иванович"_cp);
  EXPECT_EQ(name.SN, "Иванов"_cp);
  EXPECT_EQ(name.G, "Иван Иванович"_cp);
  EXPECT_EQ(name.OU, "Отдел два"_cp);
  EXPECT_EQ(name.T, "Директор"_cp);
  EXPECT_EQ(name.O, "ООО Ромашка"_cp);
  EXPECT_EQ(name.INN, "007701234567");
  EXPECT_EQ(name.SNILS, "12345678901");
  EXPECT_EQ(name.OGRN, "1027700132195");
  EXPECT_EQ(name.E, "ivanov@example.ru");
  EXPECT_EQ(name.Text,
            "2.5.4.6=RU, 2.5.4.7=Москва, 2.5.4.10=ООО Ромашка, 2.5.4.11=Отдел один, 2.5.4.11=Отдел два, "
            "2.5.4.12=Директор, 2.5.4.4=Иванов, 2.5.4.42=Иван Иванович, 2.5.4.3=Иванов Иван Иванович, "
            "1.2.643.3.131.1.1=007701234567, 1.2.643.100.3=12345678901, 1.2.643.100.1=1027700132195, "
            "1.2.840.113549.1.9.1=ivanov@example.ru"_cp);
  EXPECT_EQ(user->GetIssuer(), "CN=Test Intermediate CA, O=Test PKI, C=RU");
  EXPECT_EQ(user->GetBody(), PkiBytes("user.cer"));
}

TEST(CertificateModel, ExtensionsListPointsAndPolicies) {
  auto user = Pki("user.cer");
  EXPECT_EQ(Keys(user->GetExtensions().GetCrlDistributionPoints()),
            (std::vector<std::string>{"http://127.0.0.1:18080/inter.crl",
                                      "ldap://127.0.0.1/cn=Test%20Intermediate?certificateRevocationList"}));
  EXPECT_EQ(Keys(user->GetExtensions().GetPolicies()),
            (std::vector<std::string>{"1.2.643.100.113.1", "1.2.643.100.113.2"}));
  auto root = Pki("root.cer");
  EXPECT_EQ(root->GetExtensions().GetCrlDistributionPoints().Count(), 0);
  EXPECT_EQ(root->GetExtensions().GetPolicies().Count(), 0);
}

TEST(CertificateModel, AttachKeepsOneReference) {
  CertContextPtr context = U::CertificateFromText(PkiBytes("user.cer"));
  CCryptCertificate cert;
  cert.Attach(context);
  cert.Attach(context);
  EXPECT_EQ(context.use_count(), 2);
  std::string sha1 = cert.GetSha1();
  cert.Attach(U::CertificateFromText(PkiBytes("root.cer")));
  EXPECT_EQ(context.use_count(), 1);
  EXPECT_NE(cert.GetSha1(), sha1);  // the caches went with the old handle
  cert.Release();
  EXPECT_FALSE(cert.HasHandle());
  EXPECT_THROW(cert.GetSha1(), COSException);
}

TEST(Collections, ClassChecks) {
  CCryptPkcs7Store store;
  store.Load(PkiBytes("bundle.p7b"));
  auto crls = CCryptCollection::Of<CCryptCrl>();
  EXPECT_EQ(Message([&] { store.EnumCertificates(*crls); }), "Передана коллекция неверного класса"_cp);
  auto certs = CCryptCollection::Of<CCryptCertificate>();
  store.EnumCertificates(*certs);
  ASSERT_EQ(certs->Count(), 3);
  EXPECT_EQ(certs->ItemAs<CCryptCertificate>(2)->GetNameInfo().CN, "Иванов Иван Иванович"_cp);

  CCryptPkcs7Store withCrl;
  withCrl.Load(PkiBytes("chain-crl.p7b"));
  withCrl.EnumCrls(*crls);
  EXPECT_EQ(crls->Count(), 1);
  EXPECT_THROW(CCryptPkcs7Store().Load("not a message"), COSException);
}

TEST(FindIssuer, SecondCandidateWithTheRightKeyAndSelfSigned) {
  CertStorePtr memory = OpenMemoryStore();
  memory->AddCertificate(U::CertificateFromText(PkiBytes("inter-other.cer")), kStoreAddAlways);
  memory->AddCertificate(U::CertificateFromText(PkiBytes("inter.cer")), kStoreAddAlways);
  memory->AddCertificate(U::CertificateFromText(PkiBytes("root.cer")), kStoreAddAlways);
  CCryptStoreBase store;
  store.Attach(memory);
  auto collection = CCryptCollection::Of<CCryptCertificate>();
  bool selfSigned = true;
  auto user = Pki("user.cer");
  EXPECT_EQ(store.FindIssuer(*user, *collection, selfSigned, false), nullptr);
  EXPECT_FALSE(selfSigned);
  CCryptCertificate* issuer = store.FindIssuer(*user, *collection, selfSigned, true);
  ASSERT_NE(issuer, nullptr);
  EXPECT_EQ(issuer->GetSha1(), Pki("inter.cer")->GetSha1());
  EXPECT_EQ(collection->Count(), 1);
  // Found again: the same item, nothing added.
  EXPECT_EQ(store.FindIssuer(*user, *collection, selfSigned, true), issuer);
  EXPECT_EQ(collection->Count(), 1);

  CCryptCertificate* rootIssuer = store.FindIssuer(*issuer, *collection, selfSigned, true);
  ASSERT_NE(rootIssuer, nullptr);
  EXPECT_EQ(rootIssuer->GetNameInfo().CN, "Test Root CA");
  EXPECT_EQ(store.FindIssuer(*rootIssuer, *collection, selfSigned, true), nullptr);
  EXPECT_TRUE(selfSigned);
  // No candidate at all.
  EXPECT_EQ(store.FindIssuer(*Pki("cyr-utf8.cer"), *collection, selfSigned, true), nullptr);
}

TEST(FileStore, LoadsPemAndDerFiles) {
  CCryptFileStore store;
  store.Load(PkiPath("bundle.pem"));
  auto certs = CCryptCollection::Of<CCryptCertificate>();
  store.EnumCertificates(*certs);
  EXPECT_EQ(certs->Count(), 3);
  EXPECT_THROW(CCryptFileStore().Load(TestPath("missing")), COSException);
}

TEST(ConformanceMessages, SignerCertificatesOfSignedData) {
  CCryptPkcs7Store withCert;
  withCert.Load(ReadBytes(ConformancePath("08_tc26_2019_cms_examples_gost_engine/signed_a111.pem")));
  auto certs = CCryptCollection::Of<CCryptCertificate>();
  withCert.EnumCertificates(*certs);
  ASSERT_EQ(certs->Count(), 1);
  EXPECT_EQ(certs->ItemAs<CCryptCertificate>(0)->GetPublicKey().AlgorithmOid, "1.2.643.7.1.1.1.2");
  EXPECT_EQ(certs->ItemAs<CCryptCertificate>(0)->GetSha1(),
            OpenSslFingerprint(ConformancePath("08_tc26_2019_cms_examples_gost_engine/sender512_cert.pem")));

  CCryptPkcs7Store without;
  without.Load(ReadBytes(ConformancePath("01_tk26cms_signeddata_pygost/signed_256_attached.p7s")));
  auto none = CCryptCollection::Of<CCryptCertificate>();
  without.EnumCertificates(*none);
  EXPECT_EQ(none->Count(), 0);
}
