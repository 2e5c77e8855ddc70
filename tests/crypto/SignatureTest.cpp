#include <gtest/gtest.h>

#include "crypto/CmsTestKit.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoSignature.h"
#include "foundation/CodePage.h"
#include "platform/CryptError.h"

using namespace qv;
using namespace qvtest;

namespace {

struct KeyCase {
  const char* key;
  const char* cert;
  const char* hashOid;
};
const KeyCase kKeys[] = {{"user.key", "user.pem", "1.2.643.7.1.1.2.2"},
                         {"k512.key", "k512.pem", "1.2.643.7.1.1.2.3"},
                         {"k2001.key", "k2001.pem", "1.2.643.2.2.9"}};

std::string SignWith(const KeyCase& k, const std::string& content) {
  CertContextPtr stored = BindKey(std::string("c-") + k.key, PkiBytes(k.key), PkiBytes(k.cert));
  auto certificate = CCryptCertificate::Create(stored);
  return CCryptTool::Sign(*certificate, content, false);
}

// Verifies without the chain check (the chain builder lives in the validation layer).
struct Verifier {
  CCryptoProvider provider;
  CCryptoSignatureConfig config;
  CCryptoSignature signature;
  Verifier() {
    provider.Open(75, {}, false, false);
    config.provider = &provider;
    config.options = 0;
    signature.Open(&config);
  }
  void Verify(const std::string& content, const std::string& sig) { signature.Verify(content, sig, 0); }
  std::string Failure(const std::string& content, const std::string& sig, int* code = nullptr) {
    try {
      signature.Verify(content, sig, 0);
    } catch (const CCryptoAPI20Exception& e) {
      if (code) *code = e.Code();
      return e.Message();
    }
    return "<no error>";
  }
};

CmsPtr ParseCms(const std::string& bytes) {
  BioPtr in = MemoryBio(bytes);
  return CmsPtr(d2i_CMS_bio(in.get(), nullptr));
}

std::string ToDer(CMS_ContentInfo* cms) {
  unsigned char* der = nullptr;
  int n = i2d_CMS_ContentInfo(cms, &der);
  std::string result(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
  OPENSSL_free(der);
  return result;
}

std::string PemCmsToDer(const std::string& pem) {
  BioPtr in = MemoryBio(pem);
  CmsPtr cms(PEM_read_bio_CMS(in.get(), nullptr, nullptr, nullptr));
  return cms ? ToDer(cms.get()) : std::string();
}

std::string AttachedContent(const std::string& der) {
  CmsPtr cms = ParseCms(der);
  ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
  return content && *content ? std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(*content)),
                                           static_cast<std::size_t>(ASN1_STRING_length(*content)))
                             : std::string();
}

// A vector that carries no certificate, with its signer's certificate added beside the signer info.
std::string WithCertificate(const std::string& der, const std::string& certPem) {
  CmsPtr cms = ParseCms(der);
  CertContextPtr cert = CCryptoAPI20Utils::CertificateFromText(certPem);
  EXPECT_EQ(CMS_add1_cert(cms.get(), cert->Cert()), 1);
  return ToDer(cms.get());
}

std::string ChangeOneByte(std::string text) {
  text[text.size() / 2] ^= 0x01;
  return text;
}

}  // namespace

TEST(Sign, DetachedWithExactlyThreeSignedAttributesAndTheKeysHash) {
  for (const KeyCase& k : kKeys) {
    SCOPED_TRACE(k.key);
    std::string sig = SignWith(k, "document");
    CmsPtr cms = ParseCms(sig);
    ASSERT_TRUE(cms);
    ASN1_OCTET_STRING** content = CMS_get0_content(cms.get());
    EXPECT_TRUE(content == nullptr || *content == nullptr) << "content must not be embedded";
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    ASSERT_EQ(sk_CMS_SignerInfo_num(infos), 1);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(infos, 0);
    X509_ALGOR* digest = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, nullptr);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, digest);
    EXPECT_EQ(OidText(oid), k.hashOid);
    ASSERT_EQ(CMS_signed_get_attr_count(si), 3);
    std::vector<std::string> oids;
    for (int i = 0; i < 3; ++i)
      oids.push_back(OidText(X509_ATTRIBUTE_get0_object(CMS_signed_get_attr(si, i))));
    std::sort(oids.begin(), oids.end());
    EXPECT_EQ(oids, (std::vector<std::string>{"1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4",
                                              "1.2.840.113549.1.9.5"}));
    int at = CMS_signed_get_attr_by_NID(si, NID_pkcs9_signingTime, -1);
    ASN1_TYPE* time = X509_ATTRIBUTE_get0_type(CMS_signed_get_attr(si, at), 0);
    EXPECT_EQ(ASN1_TYPE_get(time), V_ASN1_UTCTIME);
    STACK_OF(X509)* certs = CMS_get1_certs(cms.get());
    EXPECT_EQ(sk_X509_num(certs), 1);
    sk_X509_pop_free(certs, X509_free);
  }
}

TEST(Sign, VerifiesWithOpenSslAndCertTool) {
  std::string content = "Содержимое документа\r\n"_cp + std::string(1, '\0') + "end";
  std::string contentPath = Put("content.bin", content);
  for (const KeyCase& k : kKeys) {
    SCOPED_TRACE(k.key);
    std::string sig = SignWith(k, content);
    std::string sigPath = Put("sig.p7s", sig);
    std::string out;
    EXPECT_EQ(RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + sigPath + "' -content '" +
                                 contentPath + "' -noverify -out /dev/null 2>&1"),
                         &out),
              0)
        << out;
    std::string pemPath = Put("sig.pem", Pem(sig, "PKCS7"));
    // GnuTLS counts GOST R 34.11-94 among the broken hashes and asks for consent to it.
    std::string allow = std::string(k.hashOid) == "1.2.643.2.2.9" ? " --verify-allow-broken" : "";
    EXPECT_EQ(RunCommand("certtool --p7-verify" + allow + " --infile '" + pemPath + "' --load-data '" +
                             contentPath + "' --load-certificate '" + PkiPath(k.cert) + "' 2>&1",
                         &out),
              0)
        << out;
    // The tools refuse the signature over other content.
    std::string otherPath = Put("other.bin", ChangeOneByte(content));
    EXPECT_NE(RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + sigPath + "' -content '" +
                                 otherPath + "' -noverify -out /dev/null 2>&1"),
                         &out),
              0);
    // And the library accepts its own signature.
    Verifier v;
    EXPECT_NO_THROW(v.Verify(content, sig));
  }
}

TEST(Verify, SignaturesOfOpenSslAndCertTool) {
  std::string content = "Документ для проверки"_cp;
  std::string contentPath = Put("content.bin", content);
  for (const KeyCase& k : kKeys) {
    SCOPED_TRACE(k.key);
    std::string key = PkiPath(k.key), cert = PkiPath(k.cert), out;
    std::string common =
        "cms -sign -binary -in '" + contentPath + "' -signer '" + cert + "' -inkey '" + key + "'";
    struct Variant {
      const char* name;
      std::string command;
    } variants[] = {
        // DER with S/MIME capabilities among the signed attributes.
        {"openssl.p7s", OpenSsl(common + " -outform DER -out '" + TestPath("openssl.p7s") + "'")},
        // BER with indefinite lengths.
        {"stream.p7s", OpenSsl(common + " -stream -outform DER -out '" + TestPath("stream.p7s") + "'")},
        // signingCertificateV2 among the signed attributes.
        {"cades.p7s", OpenSsl(common + " -cades -outform DER -out '" + TestPath("cades.p7s") + "'")},
        // No signed attributes at all.
        {"noattr.p7s", OpenSsl(common + " -noattr -outform DER -out '" + TestPath("noattr.p7s") + "'")},
        {"certtool.pem", "certtool --p7-sign --p7-detached --p7-time --load-privkey '" + key +
                             "' --load-certificate '" + cert + "' --infile '" + contentPath +
                             "' --outfile '" + TestPath("certtool.pem") + "'"},
    };
    for (const Variant& variant : variants) {
      SCOPED_TRACE(variant.name);
      ASSERT_EQ(RunCommand(variant.command + " 2>&1", &out), 0) << out;
      std::string sig = ReadBytes(TestPath(variant.name));
      if (std::string(variant.name) == "certtool.pem") sig = PemCmsToDer(sig);
      if (std::string(variant.name) == "stream.p7s") {
        EXPECT_EQ(static_cast<unsigned char>(sig[1]), 0x80) << "expected an indefinite length";
      }
      Verifier v;
      EXPECT_NO_THROW(v.Verify(content, sig));
      int code = 0;
      std::string failure = v.Failure(ChangeOneByte(content), sig, &code);
      EXPECT_EQ(failure.rfind("Ошибка при проверке подписи [0x"_cp, 0), 0u) << failure;
      EXPECT_EQ(code, 22);
    }
  }
}

TEST(Verify, ConformanceVectorsAsDetachedSignatures) {
  std::string testMessage = ReadBytes(DataPath("cms/content.txt"));
  struct Vector {
    std::string signature, content;
  } vectors[] = {
      {WithCertificate(ReadBytes(DataPath("cms/signed_256_attached.p7s")),
                       ReadBytes(DataPath("cms/cert_256_example.pem"))),
       testMessage},
      {WithCertificate(ReadBytes(DataPath("cms/signed_512_attached.p7s")),
                       ReadBytes(DataPath("cms/cert_512_example.pem"))),
       testMessage},
      {PemCmsToDer(ReadBytes(DataPath("cms/signed_a111.pem"))), {}},
      {PemCmsToDer(ReadBytes(DataPath("cms/signed_a121.pem"))), {}},
  };
  int index = 0;
  for (Vector& vector : vectors) {
    SCOPED_TRACE(index++);
    ASSERT_FALSE(vector.signature.empty());
    if (vector.content.empty()) vector.content = AttachedContent(vector.signature);
    ASSERT_FALSE(vector.content.empty());
    Verifier v;
    EXPECT_NO_THROW(v.Verify(vector.content, vector.signature));
    std::string failure = v.Failure(ChangeOneByte(vector.content), vector.signature);
    EXPECT_EQ(failure.rfind("Ошибка при проверке подписи [0x"_cp, 0), 0u) << failure;
  }
}

TEST(Verify, FailuresAndTheirCodes) {
  Verifier v;
  int code = 0;
  // No signer certificate in the message.
  std::string contentPath = Put("content.bin", "abc");
  ASSERT_EQ(RunCommand(OpenSsl("cms -sign -binary -nocerts -in '" + contentPath + "' -signer '" +
                               PkiPath("user.pem") + "' -inkey '" + PkiPath("user.key") +
                               "' -outform DER -out '" + TestPath("nocert.p7s") + "' 2>&1")),
            0);
  EXPECT_EQ(v.Failure("abc", ReadBytes(TestPath("nocert.p7s")), &code),
            "Ошибка при проверке подписи: невозможно выделить сертификат из подписи"_cp);
  EXPECT_EQ(code, 22) << "every failure leaves Verify with code 22";
  EXPECT_EQ(v.Failure("abc", "", &code), "Передан пустой аргумент: sSignatureContent"_cp);
  EXPECT_EQ(v.Failure("", "x", &code), "Передан пустой аргумент: sSignedData"_cp);
  std::string garbage = v.Failure("abc", "not a signature", &code);
  EXPECT_EQ(garbage.rfind("Ошибка при проверке подписи [0x8009310B"_cp, 0), 0u) << garbage;
  EXPECT_EQ(Message([&] { v.signature.Verify("abc", "x", -1); }),
            "Неверное значение аргумента [29.12.1899]"_cp);
  // Content beyond what a memory BIO addresses is refused before a byte is read (it was read up to
  // its first zero byte, so a signature of that prefix verified).
  std::string sig = SignWith(kKeys[0], "abc");
  const std::string prefix("abc\0", 4);
  EXPECT_EQ(
      Message([&] { v.signature.Verify(std::string_view(prefix.data(), std::size_t{1} << 31), sig, 0); }),
      "Подписанные данные слишком велики для проверки: 2147483648 байт"_cp);
  // The chain check is asked for but no chain builder is installed: it never passes unchecked.
  v.config.options = kVerifyCheckChain;
  EXPECT_EQ(v.Failure("abc", sig), "Проверка цепочки сертификатов подписанта недоступна"_cp);
}

TEST(Verify, OpenAndCloseRules) {
  CCryptoSignature signature;
  CCryptoSignatureConfig config;
  EXPECT_EQ(Message([&] { signature.Open(&config); }),
            "Не открыт криптопровайдер объекта CCryptoSignatureConfig"_cp);
  EXPECT_FALSE(signature.IsOpen());
  EXPECT_EQ(Message([&] { signature.Open(nullptr); }), "Передан пустой аргумент: CryptoSignatureConfig"_cp);
  CCryptoProvider provider;
  provider.Open(75, {}, false, false);
  config.provider = &provider;
  EXPECT_TRUE(signature.Open(&config));
  EXPECT_TRUE(signature.IsOpen());
  EXPECT_TRUE(signature.Close());
  EXPECT_FALSE(signature.IsOpen());
}

TEST(Sign, RefusesKeysItCannotUse) {
  EXPECT_EQ(Message([] { HashOidForKey("1.2.840.113549.1.1.1"); }),
            "Некорректный алгоритм экспорта/импорта ключей [1.2.840.113549.1.1.1]!"_cp);
  // A certificate without a key binding.
  auto unbound = CCryptCertificate::Create(CCryptoAPI20Utils::CertificateFromText(PkiBytes("user.pem")));
  EXPECT_NE(Message([&] { CCryptTool::Sign(*unbound, "x", false); }), "<no error>");
  // A binding to a container whose key is another one.
  CertContextPtr wrong =
      BindThenReplaceKey("wrong", PkiBytes("user.key"), PkiBytes("misc.key"), PkiBytes("user.pem"));
  auto certificate = CCryptCertificate::Create(wrong);
  EXPECT_NE(Message([&] { CCryptTool::Sign(*certificate, "x", false); }), "<no error>");
}

TEST(ExtractSigner, FirstCertificateOrTheFormatMessage) {
  std::string sig = SignWith(kKeys[0], "abc");
  CertContextPtr signer = CCryptoAPI20Tool::ExtractSigner(sig);
  ASSERT_TRUE(signer);
  EXPECT_EQ(signer->Encoded(), CCryptoAPI20Utils::CertificateFromText(PkiBytes("user.pem"))->Encoded());
  std::string failure = Message([] { CCryptoAPI20Tool::ExtractSigner("garbage"); });
  EXPECT_EQ(failure.rfind("Не удалось извлечь подписанта из подписи. Неверный формат подписи: 0x"_cp, 0), 0u)
      << failure;
}

namespace {

std::string Hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// Whether `openssl cms -verify` accepts the signature over the content (without the chain).
bool OpenSslAccepts(const std::string& sig, const std::string& content) {
  std::string sigPath = Put("check.p7s", sig), contentPath = Put("check.bin", content), out;
  return RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + sigPath + "' -content '" + contentPath +
                            "' -noverify -out /dev/null 2>&1"),
                    &out) == 0;
}

}  // namespace

// Every SignerInfo is verified: a second one whose signature is junk fails the whole, with or
// without signed attributes (the content digest from nettle or from OpenSSL); two good ones
// verify, unless the verification asks for one signer, as it does for a package's signatures.
TEST(Verify, EverySignerIsVerified) {
  const std::string content = "Документ двух подписантов"_cp;
  const std::string contentPath = Put("two.bin", content);
  for (const std::string options : {"", " -noattr"}) {
    SCOPED_TRACE(options);
    std::string out;
    ASSERT_EQ(RunCommand(OpenSsl("cms -sign -binary -in '" + contentPath + "' -signer '" +
                                 PkiPath("user.pem") + "' -inkey '" + PkiPath("user.key") + "' -signer '" +
                                 PkiPath("k512.pem") + "' -inkey '" + PkiPath("k512.key") + "'" + options +
                                 " -outform DER -out '" + TestPath("two.p7s") + "' 2>&1"),
                         &out),
              0)
        << out;
    const std::string two = ReadBytes(TestPath("two.p7s"));
    Verifier v;
    EXPECT_NO_THROW(v.Verify(content, two));
    v.config.oneSigner = true;
    EXPECT_EQ(v.Failure(content, two),
              "Ошибка при проверке подписи: подпись содержит 2 подписантов, а должна одного"_cp);
    v.config.oneSigner = false;

    for (int junk : {1, 0}) {
      SCOPED_TRACE(junk);
      CmsPtr cms = ParseCms(two);
      ASSERT_TRUE(cms);
      ASN1_OCTET_STRING* value =
          CMS_SignerInfo_get0_signature(sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), junk));
      std::string bytes(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                        static_cast<std::size_t>(ASN1_STRING_length(value)));
      bytes[5] ^= 0x40;
      ASSERT_EQ(ASN1_OCTET_STRING_set(value, reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size())),
                1);
      const std::string spoiled = ToDer(cms.get());
      EXPECT_FALSE(OpenSslAccepts(spoiled, content));
      int code = 0;
      std::string failure = v.Failure(content, spoiled, &code);
      EXPECT_EQ(failure.rfind("Ошибка при проверке подписи [0x80090006"_cp, 0), 0u) << failure;
      EXPECT_EQ(code, 22);
    }
  }
}

// The digest algorithm of each signer must be among those the SignedData lists for its content:
// an empty list, or one naming only another digest, is refused, as openssl refuses it.
TEST(Verify, TheSignersDigestMustBeListed) {
  const std::string content = "abc";
  const std::string sig = SignWith(kKeys[0], content);  // GOST R 34.11-2012 256-bit, from nettle
  const std::string digest256 = Hex("06082a85030701010202");
  const std::size_t oid = sig.find(digest256);
  ASSERT_NE(oid, std::string::npos);
  ASSERT_EQ(sig[oid - 2], '\x30');
  ASSERT_EQ(sig[oid - 4], '\x31');
  const std::size_t setAt = oid - 4, setSize = 2 + static_cast<unsigned char>(sig[oid - 3]);
  struct Case {
    const char* name;
    std::string list;
    bool good;
  } cases[] = {
      {"both 2012 digests", Hex("3118300a06082a85030701010203300a06082a85030701010202"), true},
      {"empty", Hex("3100"), false},
      {"only 2012-512", Hex("310c300a06082a85030701010203"), false},
      {"only 34.11-94", Hex("310a300806062a8503020209"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string changed = ReplaceTlv(sig, setAt, setSize, c.list);
    EXPECT_EQ(OpenSslAccepts(changed, content), c.good);
    Verifier v;
    if (c.good) {
      EXPECT_NO_THROW(v.Verify(content, changed));
      continue;
    }
    EXPECT_EQ(
        v.Failure(content, changed),
        "Ошибка при проверке подписи [0x80090008 (-2146893816): Неправильный алгоритм. (алгоритм хэширования "
        "подписанта [1.2.643.7.1.1.2.2] не указан в списке алгоритмов хэширования подписи)]"_cp);
  }
}
