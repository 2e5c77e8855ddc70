#include <gtest/gtest.h>
#include <sys/stat.h>

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
