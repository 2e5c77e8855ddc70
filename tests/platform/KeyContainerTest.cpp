#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <functional>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "pki/TestPki.h"
#include "platform/CryptError.h"
#include "platform/CryptProvider.h"
#include "platform/KeyContainer.h"

using namespace qv;
using namespace qvtest;

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

std::int32_t CodeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const COSException& e) {
    return e.Code();
  }
  return 0;
}

X509Ptr ReadPem(const std::string& bytes) {
  BioPtr bio = MemoryBio(bytes);
  return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

X509Ptr ReadDer(const std::string& bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(bytes.size())));
}

// The DER bytes of an OpenSSL object.
template <class T>
std::string DerOf(const T* object, int (*encode)(const T*, unsigned char**)) {
  unsigned char* der = nullptr;
  int length = encode(object, &der);
  std::string bytes(reinterpret_cast<const char*>(der), length > 0 ? static_cast<std::size_t>(length) : 0);
  OPENSSL_free(der);
  return bytes;
}

// An encrypted PKCS #8 key that asks for `iterations` of PBKDF2 with `prf`: made without
// deriving anything, so its content is junk that only the derivation would show.
X509SigPtr EncryptedKeyAsking(int iterations, int prf) {
  X509AlgorPtr algorithm(PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), iterations, nullptr, 8, nullptr, prf));
  X509SigPtr sig(X509_SIG_new());
  X509_ALGOR* place = nullptr;
  ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_getm(sig.get(), &place, &digest);
  X509_ALGOR_set0(place, OBJ_dup(algorithm->algorithm), V_ASN1_SEQUENCE,
                  ASN1_STRING_dup(algorithm->parameter->value.sequence));
  ASN1_OCTET_STRING_set(digest, reinterpret_cast<const unsigned char*>(std::string(48, 'x').data()), 48);
  return sig;
}

// A PKCS #12 file of `bags` (one plain part, no MAC).
std::string Pkcs12Of(STACK_OF(PKCS12_SAFEBAG) * bags) {
  STACK_OF(PKCS7)* safes = nullptr;
  PKCS12_add_safe(&safes, bags, -1, 0, nullptr);
  sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  Pkcs12Ptr p12(PKCS12_add_safes(safes, 0));
  sk_PKCS7_pop_free(safes, PKCS7_free);
  return DerOf(p12.get(), i2d_PKCS12);
}

std::string MessageOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const CVorlentException& e) {
    return Cp1251ToUtf8(e.Message());
  }
  return {};
}

}  // namespace

TEST(KeyContainers, CreateWithRequestForEveryAlgorithm) {
  struct Case {
    GostKeyAlgorithm algorithm;
    const char* name;
  };
  const std::vector<std::pair<std::string, std::string>> subject = {
      {"C", "RU"}, {"CN", "Тестовый Пользователь"_cp}, {"INN", "007701234567"}, {"SNILS", "12345678901"}};
  for (Case c : {Case{GostKeyAlgorithm::kGost2001, "k2001"}, Case{GostKeyAlgorithm::kGost2012_256, "k256"},
                 Case{GostKeyAlgorithm::kGost2012_512, "k512"}}) {
    SCOPED_TRACE(c.name);
    std::string request = CreateContainerWithRequest(false, c.name, c.algorithm, subject, {});
    // The request is checked by the command-line tool, not by the library.
    std::string csr = TestPath(std::string(c.name) + ".csr");
    WriteBytes(csr, request);
    std::string output;
    EXPECT_EQ(RunCommand(OpenSsl("req -verify -noout -in '" + csr + "' 2>&1"), &output), 0) << output;
    EXPECT_NE(output.find("verify OK"), std::string::npos) << output;
    EvpPkeyPtr key = LoadContainerKey(false, c.name);
    EXPECT_EQ(KeyAlgorithm(key.get()), c.algorithm);
    std::string folder = KeyContainerFolder(false, c.name);
    EXPECT_EQ(ModeOf(folder), 0700u);
    EXPECT_EQ(ModeOf(folder + "/key.p8"), 0600u);
  }
  EXPECT_EQ(EnumKeyContainers(false), (std::vector<std::string>{"k2001", "k256", "k512"}));
  EXPECT_TRUE(EnumKeyContainers(true).empty());
  EXPECT_EQ(CodeOf([&] {
              CreateContainerWithRequest(false, "k256", GostKeyAlgorithm::kGost2012_256, subject, {});
            }),
            kNteExists);
}

TEST(KeyContainers, PinProtectedKeyNeedsThePin) {
  CreateContainerWithRequest(false, "pinned", GostKeyAlgorithm::kGost2012_256, {{"CN", "Pin"}}, "1234");
  ::unsetenv("QELVORLENT_PIN");
  SetPinCallback(nullptr);
  EXPECT_EQ(CodeOf([] { LoadContainerKey(false, "pinned"); }), kErrorCancelled);
  ::setenv("QELVORLENT_PIN", "0000", 1);
  EXPECT_EQ(CodeOf([] { LoadContainerKey(false, "pinned"); }), kNteBadKey);
  ::setenv("QELVORLENT_PIN", "1234", 1);
  EXPECT_TRUE(LoadContainerKey(false, "pinned"));
  ::unsetenv("QELVORLENT_PIN");
  std::string asked;
  SetPinCallback([&](const std::string& name, std::string& pin) {
    asked = name;
    pin = "1234";
    return true;
  });
  EXPECT_TRUE(LoadContainerKey(false, "pinned"));
  EXPECT_EQ(asked, "pinned");
  SetPinCallback([](const std::string&, std::string&) { return false; });
  EXPECT_EQ(CodeOf([] { LoadContainerKey(false, "pinned"); }), kErrorCancelled);
  SetPinCallback(nullptr);
  EXPECT_EQ(CodeOf([] { LoadContainerKey(false, "absent"); }), kNteBadKeyset);
}

TEST(KeyContainers, ImportPkcs8PlainAndEncrypted) {
  ImportPkcs8Key(false, "plain", PkiBytes("user.key"), {}, {});
  ImportPkcs8Key(false, "encrypted", PkiBytes("user-enc.p8"), "secret", {});
  ImportPkcs8Key(true, "k2001", PkiBytes("k2001.key"), {}, {});
  ImportPkcs8Key(true, "k512", PkiBytes("k512.key"), {}, "pin");
  ImportPkcs8Key(false, "conformance",
                 ReadBytes(ConformancePath("08_tc26_2019_cms_examples_gost_engine/sender256_key.pem")), {},
                 {});
  X509Ptr cert = ReadDer(PkiBytes("user.cer"));
  EXPECT_EQ(X509_check_private_key(cert.get(), LoadContainerKey(false, "plain").get()), 1);
  EXPECT_EQ(X509_check_private_key(cert.get(), LoadContainerKey(false, "encrypted").get()), 1);
  X509Ptr sender =
      ReadPem(ReadBytes(ConformancePath("08_tc26_2019_cms_examples_gost_engine/sender256_cert.pem")));
  EXPECT_EQ(X509_check_private_key(sender.get(), LoadContainerKey(false, "conformance").get()), 1);
  EXPECT_EQ(KeyAlgorithm(LoadContainerKey(true, "k2001").get()), GostKeyAlgorithm::kGost2001);
  EXPECT_EQ(CodeOf([] { ImportPkcs8Key(false, "bad", PkiBytes("user-enc.p8"), "wrong", {}); }), kNteBadKey);
  EXPECT_FALSE(KeyContainerExists(false, "bad"));
  EXPECT_THROW(ImportPkcs8Key(false, "bad", "garbage", {}, {}), CVorlentException);
  EXPECT_FALSE(KeyContainerExists(false, "bad"));
}

TEST(KeyContainers, ImportPkcs12FromOpensslAndR50Example) {
  std::string der = ImportPkcs12(false, "p12", PkiBytes("user.p12"), "secret", {});
  EXPECT_EQ(der, PkiBytes("user.cer"));
  EXPECT_EQ(ReadContainerCertificate(false, "p12"), der);
  EXPECT_EQ(ModeOf(KeyContainerFolder(false, "p12") + "/certificate.cer"), 0600u);

  std::string password =
      Utf8ToCp1251(ReadBytes(ConformancePath("16_r50_1_112_2016_pfx_pygost/password.txt")));
  std::string pfx = ReadBytes(ConformancePath("16_r50_1_112_2016_pfx_pygost/tk26_example.pfx"));
  std::string name = "Контейнер R 50/1"_cp;
  std::string example = ImportPkcs12(false, name, pfx, password, "pin");
  X509Ptr cert = ReadDer(example);
  ASSERT_TRUE(cert);
  ::setenv("QELVORLENT_PIN", "pin", 1);
  EXPECT_EQ(X509_check_private_key(cert.get(), LoadContainerKey(false, name).get()), 1);
  ::unsetenv("QELVORLENT_PIN");
  // The folder name keeps the container name safe on disk.
  EXPECT_EQ(ExtractFileName(KeyContainerFolder(false, name)).find('/'), std::string::npos);
  EXPECT_NE(KeyContainerFolder(false, name).find("%2F1"), std::string::npos);
  EXPECT_EQ(EnumKeyContainers(false).size(), 2u);

  EXPECT_EQ(CodeOf([&] { ImportPkcs12(false, "wrong", pfx, "wrong", {}); }), kNteBadKey);
  EXPECT_FALSE(KeyContainerExists(false, "wrong"));
}

// A key file names its own iteration counts, up to 2^31 - 1 (hours of work, wrong password or
// not); one asking for more than the bound in all is refused before anything is derived.
TEST(KeyContainers, KeyFilesAskingForTooManyIterationsAreRefusedUnderived) {
  const std::string tooMany = "Файл ключа требует 600000 итераций пароля, больше допустимых 500000";
  // Files of the openssl tool: a fraction of a second to make and to import before the bound.
  const std::string key = PkiPath("user.key");
  const std::string p8 = TestPath("slow.p8");
  const std::string p12 = TestPath("slow.p12");
  ASSERT_EQ(RunCommand(OpenSsl("pkcs8 -topk8 -in '" + key +
                               "' -v2 aes-256-cbc -iter 600000 -passout pass:secret "
                               "-outform DER -out '" +
                               p8 + "' 2>&1")),
            0);
  ASSERT_EQ(RunCommand(OpenSsl("pkcs12 -export -inkey '" + key + "' -in '" + PkiPath("user.pem") +
                               "' -iter 600000 -macalg sha256 -passout pass:secret -out '" + p12 + "' 2>&1")),
            0);
  EXPECT_EQ(MessageOf([&] { ImportPkcs8Key(false, "p8", ReadBytes(p8), "secret", {}); }), tooMany);
  EXPECT_EQ(MessageOf([&] { ImportPkcs12(false, "p12", ReadBytes(p12), "secret", {}); }), tooMany);
  EXPECT_EQ(CodeOf([&] { ImportPkcs12(false, "p12", ReadBytes(p12), "wrong", {}); }), kNteBadData);
  // A container planted in the home with such a key.
  ImportPkcs8Key(false, "planted", PkiBytes("user.key"), {}, "secret");
  WriteBytes(KeyContainerFolder(false, "planted") + "/key.p8", ReadBytes(p8));
  ::setenv("QELVORLENT_PIN", "secret", 1);
  EXPECT_EQ(MessageOf([] { LoadContainerKey(false, "planted"); }),
            "Закрытый ключ контейнера [planted] не прочитан: " + tooMany);

  // The largest counts, in every place a count can be, with the GOST R 34.11-2012 PRF and MAC:
  // refused at once (before the bound these took 3 to 7 hours each).
  const std::string most = "Файл ключа требует 2147483647 итераций пароля, больше допустимых 500000";
  X509SigPtr streebog = EncryptedKeyAsking(INT_MAX, NID_id_tc26_hmac_gost_3411_2012_512);
  EXPECT_EQ(MessageOf([&] { ImportPkcs8Key(false, "p8", DerOf(streebog.get(), i2d_X509_SIG), "x", {}); }),
            most);
  WriteBytes(KeyContainerFolder(false, "planted") + "/key.p8", DerOf(streebog.get(), i2d_X509_SIG));
  EXPECT_EQ(MessageOf([] { LoadContainerKey(false, "planted"); }),
            "Закрытый ключ контейнера [planted] не прочитан: " + most);
  ::unsetenv("QELVORLENT_PIN");
  {
    const std::string p12 = PkiBytes("user.p12");
    BioPtr bio = MemoryBio(p12);
    Pkcs12Ptr gostMac(d2i_PKCS12_bio(bio.get(), nullptr));
    ASSERT_TRUE(gostMac);
    ASSERT_EQ(
        PKCS12_setup_mac(gostMac.get(), INT_MAX, nullptr, 8, EVP_get_digestbynid(NID_id_GostR3411_2012_512)),
        1);
    EXPECT_EQ(MessageOf([&] { ImportPkcs12(false, "p12", DerOf(gostMac.get(), i2d_PKCS12), "secret", {}); }),
              most);
    EXPECT_EQ(MessageOf([&] { ImportPkcs12(false, "p12", DerOf(gostMac.get(), i2d_PKCS12), {}, {}); }), most);
  }
  STACK_OF(PKCS12_SAFEBAG)* bags = sk_PKCS12_SAFEBAG_new_null();
  sk_PKCS12_SAFEBAG_push(bags, PKCS12_SAFEBAG_create0_pkcs8(streebog.release()));
  EXPECT_EQ(MessageOf([&] { ImportPkcs12(false, "p12", Pkcs12Of(bags), "x", {}); }), most);
  EXPECT_EQ(EnumKeyContainers(false), std::vector<std::string>{"planted"});
}

// A PKCS #12 file is a few kilobytes with a handful of bags: more of either is refused.
TEST(KeyContainers, Pkcs12FilesAreBoundedInSizeAndBags) {
  ImportPkcs8Key(false, "source", PkiBytes("user.key"), {}, {});
  EvpPkeyPtr key = LoadContainerKey(false, "source");
  X509Ptr cert = ReadDer(PkiBytes("user.cer"));
  auto withCertificates = [&](int count, const std::string& name) {
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    PKCS12_add_key(&bags, key.get(), 0, 0, -1, nullptr);
    for (int i = 0; i < count; ++i) {
      PKCS12_SAFEBAG* bag = PKCS12_add_cert(&bags, cert.get());
      if (!name.empty()) PKCS12_add_friendlyname_utf8(bag, name.c_str(), static_cast<int>(name.size()));
    }
    return Pkcs12Of(bags);
  };
  ImportPkcs12(false, "most", withCertificates(62, {}), {}, {});  // with the part and the key: 64
  EXPECT_EQ(ReadContainerCertificate(false, "most"), PkiBytes("user.cer"));
  EXPECT_EQ(MessageOf([&] { ImportPkcs12(false, "bags", withCertificates(63, {}), {}, {}); }),
            "В файле PKCS#12 больше допустимых 64 элементов");
  const std::string large = withCertificates(2, std::string(300000, 'n'));
  ASSERT_GT(large.size(), kMaxKeyFileSize);
  EXPECT_EQ(MessageOf([&] { ImportPkcs12(false, "large", large, {}, {}); }),
            "Файл PKCS#12 больше допустимых 1048576 байт");
  EXPECT_EQ(EnumKeyContainers(false), (std::vector<std::string>{"most", "source"}));
}

TEST(ProviderContexts, TypesNamesAndContainers) {
  EXPECT_TRUE(AcquireProviderContext({}, {}, 75, kCryptVerifyContext));
  EXPECT_TRUE(AcquireProviderContext({}, "GOST R 34.10-2001 CSP", 2, kCryptVerifyContext));
  EXPECT_FALSE(AcquireProviderContext({}, {}, 1, kCryptVerifyContext));
  EXPECT_EQ(GetLastCryptError(), kNteProvTypeNotDef);
  EXPECT_FALSE(AcquireProviderContext({}, "Microsoft Base Provider", 75, kCryptVerifyContext));
  EXPECT_EQ(GetLastCryptError(), kNteKeysetNotDef);
  EXPECT_FALSE(AcquireProviderContext("c", {}, 75, 0));
  EXPECT_EQ(GetLastCryptError(), kNteBadKeyset);
  ProviderContextPtr created = AcquireProviderContext("c", {}, 75, kCryptNewKeyset | kCryptMachineKeyset);
  ASSERT_TRUE(created);
  EXPECT_TRUE(created->machineKeyset);
  EXPECT_TRUE(KeyContainerExists(true, "c"));
  EXPECT_FALSE(KeyContainerHasKey(true, "c"));
  EXPECT_FALSE(AcquireProviderContext("c", {}, 75, kCryptNewKeyset | kCryptMachineKeyset));
  EXPECT_EQ(GetLastCryptError(), kNteExists);
  EXPECT_FALSE(AcquireProviderContext("c", {}, 75, kCryptDeleteKeyset | kCryptMachineKeyset));
  EXPECT_FALSE(KeyContainerExists(true, "c"));
}

TEST(KeyContainers, KeyForCertificateFollowsTheProperty) {
  ImportPkcs8Key(true, "machine key", PkiBytes("user.key"), {}, {});
  ImportPkcs8Key(false, "other key", PkiBytes("revoked.key"), {}, {});
  CertContextPtr cert = CCertContext::FromDer(PkiBytes("user.cer"));
  EXPECT_EQ(CodeOf([&] { LoadKeyForCertificate(*cert); }), kCryptENoKeyProperty);
  cert->SetKeyProv(KeyProvInfo{"machine key", kGostProviderName, 75, 1 | kCryptMachineKeyset, 1});
  EXPECT_TRUE(LoadKeyForCertificate(*cert));
  cert->SetKeyProv(KeyProvInfo{"other key", kGostProviderName, 75, 1, 1});
  EXPECT_EQ(CodeOf([&] { LoadKeyForCertificate(*cert); }), kNteBadKey);
}

TEST(KeyContainers, LeftoversOfAnUnfinishedContainerAreDropped) {
  std::string folder = KeyContainerFolder(false, "half");
  ASSERT_TRUE(ForceDirectories(folder, 0700));
  WriteBytes(folder + "/key.p8", "stale");
  EXPECT_FALSE(KeyContainerExists(false, "half"));
  ASSERT_TRUE(CreateKeyContainerFolder(false, "half"));
  EXPECT_FALSE(KeyContainerHasKey(false, "half"));
}
