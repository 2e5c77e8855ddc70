#include <gtest/gtest.h>

#include "crypto/CryptoUtils.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "pki/TestPki.h"
#include "platform/CryptError.h"

using namespace qv;
using namespace qvtest;
using U = CCryptoAPI20Utils;

namespace {

std::string Message(const std::function<void()>& body) {
  try {
    body();
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "<no error>";
}

std::string WithCrLf(const std::string& pem) {
  std::string out;
  for (char c : pem) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

}  // namespace

TEST(Base64, DecodesGroupsAndSkipsOtherCharacters) {
  EXPECT_EQ(U::DecodeBase64("TWE="), "Ma");
  EXPECT_EQ(U::DecodeBase64("TQ"), "M");
  EXPECT_EQ(U::DecodeBase64("T"), "");
  EXPECT_EQ(U::DecodeBase64("TW\r\nFu-"), "Man");
  EXPECT_EQ(U::DecodeBase64(""), "");
  EXPECT_TRUE(U::IsBase64("", kBase64GeneralSet));
  EXPECT_TRUE(U::IsBase64("ab-c", kBase64GeneralSet));
  EXPECT_FALSE(U::IsBase64("ab-c", kBase64WrapperSet));
  EXPECT_FALSE(U::IsBase64(std::string("\x30\x82", 2), kBase64GeneralSet));
  EXPECT_EQ(U::ToHex(std::string("\x00\xAB\x10", 3)), "00AB10");
}

TEST(CertificateText, PemWithCrLfBase64AndDerGiveTheSameCertificate) {
  std::string der = PkiBytes("user.cer");
  std::string pem = PkiBytes("user.pem");
  CertContextPtr fromDer = U::CertificateFromText(der);
  CertContextPtr fromPem = U::CertificateFromText(WithCrLf(pem));
  std::string bare = pem.substr(pem.find('\n') + 1);
  bare = bare.substr(0, bare.find("-----END"));
  CertContextPtr fromBase64 = U::CertificateFromText(bare);
  EXPECT_EQ(fromDer->Encoded(), der);
  EXPECT_EQ(fromPem->Encoded(), der);
  EXPECT_EQ(fromBase64->Encoded(), der);
  EXPECT_EQ(U::GetCertificateBody(fromPem), der);

  EXPECT_EQ(Message([] { U::CertificateFromText(""); }), "Передан пустой аргумент: CertificateBody"_cp);
  std::string bad = Message([] { U::CertificateFromText("not a certificate!"); });
  EXPECT_EQ(bad.rfind("Ошибка при импорте сертификата: 0x8009310B (-2146881269): "_cp, 0), 0u) << bad;
}

TEST(CrlText, PemBase64AndDerGiveTheSameCrl) {
  std::string der = PkiBytes("inter.crl.der");
  std::string pem = WithCrLf(PkiBytes("inter.crl"));
  EXPECT_EQ(U::NormalizeCrlText(pem), der);
  std::string bare = pem.substr(pem.find('\n') + 1);
  bare = bare.substr(0, bare.find("-----END"));
  ASSERT_EQ(bare[0], 'M');
  EXPECT_EQ(U::NormalizeCrlText(bare), der);
  EXPECT_EQ(U::NormalizeCrlText(der), der);
  EXPECT_EQ(U::CrlFromBytes(der)->Encoded(), der);
  EXPECT_EQ(Message([] { U::CrlFromBytes(""); }), "Передан пустой аргумент: CRLBody"_cp);
  EXPECT_EQ(
      Message([] { U::CrlFromBytes("xx"); }).rfind("Ошибка при импорте CRL (неверный формат?): 0x"_cp, 0),
      0u);
}

TEST(CertificateQueries, NamesSerialUrls) {
  CertContextPtr user = U::CertificateFromText(PkiBytes("user.cer"));
  EXPECT_EQ(U::GetSubjectCN(user), "Иванов Иван Иванович"_cp);
  EXPECT_EQ(U::GetIssuerCN(user), "Test Intermediate CA");
  // serial 0x00A1B2C3D4: the content octets least significant first
  EXPECT_EQ(U::GetSerialText(user), "D4C3B2A100");
  EXPECT_EQ(U::GetSerialText(U::CertificateFromText(PkiBytes("inter.cer"))), "0002");
  // the LDAP point is dropped
  EXPECT_EQ(U::GetCrlUrls(user), "http://127.0.0.1:18080/inter.crl");
  // OCSP first, CA issuers second: the CA issuers URL
  EXPECT_EQ(U::GetCaIssuerUrl(user), "http://127.0.0.1:18080/inter.cer");

  CertContextPtr root = U::CertificateFromText(PkiBytes("root.cer"));
  EXPECT_EQ(U::GetCrlUrls(root), "");
  EXPECT_EQ(U::GetCaIssuerUrl(root), "");
  CertContextPtr nocn = U::CertificateFromText(PkiBytes("nocn.cer"));
  EXPECT_EQ(U::GetIssuerCN(nocn), "na");
  EXPECT_EQ(U::GetSubjectCN(nocn), "na");

  EXPECT_TRUE(U::IsUrl("https://x"));
  EXPECT_TRUE(U::IsUrl("ftp://x"));
  EXPECT_FALSE(U::IsUrl("HTTP://x"));
  EXPECT_FALSE(U::IsUrl("ldap://x"));
}

TEST(CertificateQueries, AccessWithoutCaIssuerRaises) {
  // An AIA with only an OCSP responder, made with the command-line tool.
  std::string conf = TestPath("ext.cnf");
  WriteBytes(conf, "[e]\nauthorityInfoAccess = OCSP;URI:http://127.0.0.1/ocsp\n");
  std::string cmd = OpenSsl("req -new -x509 -key '" + PkiPath("misc.key") +
                            "' -md_gost12_256 -subj /CN=OcspOnly -days 1 -extensions e -config '" + conf +
                            "' -outform DER -out '" + TestPath("ocsp.cer") + "' 2>&1");
  // req needs a distinguished_name section; add one
  WriteBytes(
      conf,
      "[req]\ndistinguished_name = dn\n[dn]\n[e]\nauthorityInfoAccess = OCSP;URI:http://127.0.0.1/ocsp\n");
  std::string output;
  ASSERT_EQ(RunCommand(cmd, &output), 0) << output;
  CertContextPtr cert = U::CertificateFromText(ReadBytes(TestPath("ocsp.cer")));
  EXPECT_EQ(Message([&] { U::GetCaIssuerUrl(cert); }), "Точка распространения сертификата CA не найдена"_cp);
}

TEST(ZumecCertificate, OpensPemIgnoringCaseAndDer) {
  std::string pem = PkiBytes("user.pem");
  std::string lower = pem;
  lower.replace(0, 27, "-----begin certificate-----");
  CZUMECCertificate fromPem;
  fromPem.Open(WithCrLf(lower));
  EXPECT_TRUE(fromPem.IsValid());
  EXPECT_TRUE(fromPem.OwnsContext());
  CZUMECCertificate fromDer;
  fromDer.Open(PkiBytes("user.cer"));
  EXPECT_EQ(fromDer.GetSha1(), fromPem.GetSha1());
  EXPECT_EQ(fromDer.GetSha1().size(), 40u);
  EXPECT_EQ(fromDer.GetContainerName(), "");
  EXPECT_EQ(fromDer.Parsed()->publicKeyAlgorithm, "1.2.643.7.1.1.1.1");
  EXPECT_EQ(fromDer.Parsed()->signatureAlgorithm, "1.2.643.7.1.1.3.2");

  CZUMECCertificate bad;
  EXPECT_THROW(bad.Open("garbage that is no certificate"), COSException);
  EXPECT_FALSE(bad.IsValid());

  CZUMECCertificate bound;
  CertContextPtr context = U::CertificateFromText(PkiBytes("user.cer"));
  context->SetKeyProv(KeyProvInfo{"c1", kGostProviderName, 75, 1, 1});
  EXPECT_TRUE(bound.SetFromContext(context, false));
  EXPECT_EQ(bound.GetContainerName(), "c1");
  EXPECT_FALSE(bound.SetFromContext(nullptr, true));
}

TEST(LastErrorText, CodeInHexAndDecimalThenMessage) {
  SetLastCryptError(kCryptENotFound);
  EXPECT_EQ(U::LastErrorText(), "0x80092004 (-2146885628): Объект или свойство не найдено."_cp);
  SetLastCryptError(kErrorNoMoreItems);
  EXPECT_EQ(U::LastErrorText().rfind("0x00000103 (259): ", 0), 0u);
}
