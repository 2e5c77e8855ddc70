#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "pki/TestPki.h"
#include "platform/CertServices.h"
#include "platform/CryptError.h"
#include "platform/Ossl.h"

using namespace qv;
using namespace qvtest;

namespace {

CertContextPtr LoadCert(const std::string& name) {
  CertContextPtr cert = CCertContext::FromDer(PkiBytes(name));
  EXPECT_TRUE(cert) << name;
  return cert;
}

// Whether the sanitizer build's leak checker finds memory no one holds any more.
bool LeaksFound() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

}  // namespace

TEST(GostEngine, LoadsOnceWithoutOpensslConf) {
  ::unsetenv("OPENSSL_CONF");
  EXPECT_TRUE(EnsureGostEngine());
  EXPECT_TRUE(EnsureGostEngine());
  EXPECT_NE(EVP_get_digestbyname("md_gost12_256"), nullptr);
}

// The engine builds the curve of a parameter set the first time a key of that set is read and
// keeps it, without a lock: threads that read keys at once, first thing after the engine is
// loaded, each built it, and all but one of those curves were lost. Each round is a new process
// with the engine loaded anew; the leak checker of the sanitizer build is what sees the loss.
TEST(GostEngine, ThreadsReadingKeysOfEveryParameterSetAtOnceLoseNothing) {
  const std::string pem = ReadBytes(DataPath("gost-public-keys/public-keys.pem"));
  for (int round = 0; round < 12; ++round) {
    const int code = RunInChild([&] {
      if (!EnsureGostEngine()) return 1;
      std::atomic<int> waiting{4};
      std::atomic<int> read{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
          BioPtr bio = MemoryBio(pem);
          for (--waiting; waiting.load() > 0;) {
          }
          while (EvpPkeyPtr key{PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)}) ++read;
        });
      for (std::thread& thread : threads) thread.join();
      if (read.load() != 4 * 14) return 2;
      return LeaksFound() ? 3 : 0;
    });
    ASSERT_EQ(code, 0) << "round " << round;
  }
}

TEST(NameText, RendersLastToFirstWithShortNamesAndOids) {
  CertContextPtr user = LoadCert("user.cer");
  EXPECT_EQ(NameToX500Text(X509_get_subject_name(user->Cert())),
            "E=ivanov@example.ru, OID.1.2.643.100.1=1027700132195, OID.1.2.643.100.3=12345678901, "
            "OID.1.2.643.3.131.1.1=007701234567, CN=Иванов Иван Иванович, G=Иван Иванович, SN=Иванов, "
            "T=Директор, OU=Отдел два, OU=Отдел один, O=ООО Ромашка, L=Москва, C=RU"_cp);
  EXPECT_EQ(NameToX500Text(X509_get_issuer_name(user->Cert())), "CN=Test Intermediate CA, O=Test PKI, C=RU");
}

TEST(NameText, QuotesSpecialValuesAndConvertsEveryStringType) {
  EXPECT_EQ(NameToX500Text(X509_get_subject_name(LoadCert("cyr-utf8.cer")->Cert())),
            "CN=Пётр Первый, O=\"Ёлка, \"\"и\"\" палка\", C=RU"_cp);
  // BMPString values
  EXPECT_EQ(NameToX500Text(X509_get_subject_name(LoadCert("cyr-bmp.cer")->Cert())),
            "CN=Сидор Сидоров, C=RU"_cp);
  EXPECT_FALSE(CCertContext::FromDer(""));
  EXPECT_EQ(GetLastCryptError(), kCryptEAsn1BadTag);
}

TEST(Dates, DaysSince1899) {
  EXPECT_DOUBLE_EQ(UnixTimeToDateTime(0), 25569.0);
  ASN1_TIME* t = ASN1_TIME_new();
  ASSERT_TRUE(ASN1_TIME_set_string(t, "20240229123000Z"));
  EXPECT_NEAR(Asn1TimeToDateTime(t), 45351.0 + 12.5 / 24, 1e-9);  // 2024-02-29 12:30 UTC
  ASN1_TIME_free(t);
  ::setenv("TZ", "Europe/Moscow", 1);
  tzset();
  EXPECT_NEAR(UtcToLocalDateTime(45351.5), 45351.5 + 3.0 / 24, 1e-9);
  ::unsetenv("TZ");
  tzset();
}

TEST(SystemStore, KeepsCertificatesPropertiesAndOrderOnDisk) {
  CertStorePtr store = OpenSystemStore(kLocationCurrentUser, "my");
  ASSERT_TRUE(store);
  std::string folder = LocationRoot(kLocationCurrentUser) + "/stores/MY";
  EXPECT_EQ(ModeOf(folder), 0700u);
  CertContextPtr user = LoadCert("user.cer"), root = LoadCert("root.cer"), inter = LoadCert("inter.cer");
  KeyProvInfo info{"контейнер"_cp, kGostProviderName, 75, 1, 1};
  user->SetKeyProv(info);
  ASSERT_TRUE(store->AddCertificate(user, kStoreAddReplaceExisting));
  ASSERT_TRUE(store->AddCertificate(root, kStoreAddUseExisting));
  ASSERT_TRUE(store->AddCertificate(inter, kStoreAddNew));
  EXPECT_FALSE(store->AddCertificate(inter, kStoreAddNew));
  EXPECT_EQ(GetLastCryptError(), kCryptEExists);
  EXPECT_EQ(ModeOf(folder + "/" + user->Sha1Text() + ".prop"), 0600u);

  // A damaged file is skipped, the rest is read back in thumbprint order with the properties.
  WriteBytes(folder + "/0000000000000000000000000000000000000000.cer", "not a certificate");
  CertStorePtr again = OpenSystemStore(kLocationCurrentUser, "MY");
  ASSERT_EQ(again->Certificates().size(), 3u);
  for (std::size_t i = 1; i < 3; ++i) {
    EXPECT_LT(again->Certificates()[i - 1]->Sha1Text(), again->Certificates()[i]->Sha1Text());
  }
  CertContextPtr read = again->FindBySha1Hash(user->Sha1Hash());
  ASSERT_TRUE(read && read->KeyProv());
  EXPECT_TRUE(*read->KeyProv() == info);
  EXPECT_FALSE(again->FindBySha1Hash(root->Sha1Hash())->KeyProv());

  // Use-existing keeps the stored copy with its property; replace takes the new one.
  CertContextPtr plain = LoadCert("user.cer");
  ASSERT_TRUE(again->AddCertificate(plain, kStoreAddUseExisting));
  EXPECT_TRUE(OpenSystemStore(kLocationCurrentUser, "MY")->FindBySha1Hash(user->Sha1Hash())->KeyProv());
  ASSERT_TRUE(again->AddCertificate(plain, kStoreAddReplaceExisting));
  EXPECT_FALSE(OpenSystemStore(kLocationCurrentUser, "MY")->FindBySha1Hash(user->Sha1Hash())->KeyProv());
  EXPECT_TRUE(again->DeleteCertificate(plain));
  EXPECT_EQ(OpenSystemStore(kLocationCurrentUser, "MY")->Certificates().size(), 2u);

  // The machine location is a separate tree under the test's home.
  EXPECT_EQ(OpenSystemStore(kLocationLocalMachine, "MY")->Certificates().size(), 0u);
  EXPECT_FALSE(OpenSystemStore(3, "MY"));
}

TEST(SystemStore, KeepsCrls) {
  CertStorePtr store = OpenSystemStore(kLocationCurrentUser, "CA");
  CrlContextPtr crl = CCrlContext::FromDer(PkiBytes("inter.crl.der"));
  ASSERT_TRUE(crl);
  ASSERT_TRUE(store->AddCrl(crl, kStoreAddUseExisting));
  ASSERT_TRUE(store->AddCrl(crl, kStoreAddUseExisting));
  EXPECT_EQ(OpenSystemStore(kLocationCurrentUser, "CA")->Crls().size(), 1u);
}

TEST(MessageStores, Pkcs7AndFileStores) {
  CertStorePtr bundle = OpenPkcs7Store(PkiBytes("bundle.p7b"));
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->Certificates().size(), 3u);
  EXPECT_FALSE(bundle->AddCertificate(LoadCert("nocn.cer"), kStoreAddAlways));
  EXPECT_EQ(GetLastCryptError(), kErrorAccessDenied);

  CertStorePtr withCrl = OpenPkcs7Store(PkiBytes("chain-crl.p7b"));
  ASSERT_TRUE(withCrl);
  EXPECT_EQ(withCrl->Certificates().size(), 1u);
  EXPECT_EQ(withCrl->Crls().size(), 1u);

  EXPECT_FALSE(OpenPkcs7Store(PkiBytes("user.cer")));
  EXPECT_FALSE(OpenPkcs7Store("garbage"));

  EXPECT_EQ(OpenFileStore(PkiPath("bundle.pem"))->Certificates().size(), 3u);
  EXPECT_EQ(OpenFileStore(PkiPath("user.cer"))->Certificates().size(), 1u);
  EXPECT_EQ(OpenFileStore(PkiPath("inter.crl"))->Crls().size(), 1u);
  EXPECT_FALSE(OpenFileStore(TestPath("missing.p7b")));
  EXPECT_EQ(GetLastCryptError(), kErrorFileNotFound);
}

TEST(Issuers, SignatureFlagAndSelfSigned) {
  CertStorePtr store = OpenMemoryStore();
  CertContextPtr other = LoadCert("inter-other.cer"), inter = LoadCert("inter.cer"),
                 user = LoadCert("user.cer");
  store->AddCertificate(other, kStoreAddAlways);
  store->AddCertificate(inter, kStoreAddAlways);
  std::uint32_t flags = 1;
  CertContextPtr first = GetIssuerFromStore(*store, *user, nullptr, flags);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Sha1Hash(), other->Sha1Hash());
  EXPECT_EQ(flags, 1u);
  flags = 1;
  CertContextPtr second = GetIssuerFromStore(*store, *user, first.get(), flags);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Sha1Hash(), inter->Sha1Hash());
  EXPECT_EQ(flags, 0u);
  EXPECT_FALSE(GetIssuerFromStore(*store, *user, second.get(), flags));
  EXPECT_EQ(GetLastCryptError(), kCryptENotFound);
  EXPECT_FALSE(GetIssuerFromStore(*store, *LoadCert("root.cer"), nullptr, flags));
  EXPECT_EQ(GetLastCryptError(), kCryptESelfSigned);
}

TEST(Revocation, FindsTheRevokedSerialOnly) {
  CrlContextPtr crl = CCrlContext::FromDer(PkiBytes("inter.crl.der"));
  double date = -1;
  EXPECT_TRUE(FindCertificateInCrl(*LoadCert("revoked.cer"), *crl, date));
  EXPECT_NEAR(date, NowUtcDateTime(), 1.0);
  EXPECT_FALSE(FindCertificateInCrl(*LoadCert("user.cer"), *crl, date));
  EXPECT_EQ(date, 0);
}

TEST(LastError, TextsAndDetail) {
  SetLastCryptError(kCryptENotFound, "detail");
  EXPECT_EQ(GetLastCryptError(), kCryptENotFound);
  EXPECT_EQ(LastErrorMessage(), "Объект или свойство не найдено. (detail)"_cp);
  RegisterCryptErrorTexts();
  EXPECT_EQ(SystemErrorText(kNteBadKeyset), "Набор ключей не существует."_cp);
}

TEST(AtomicWrite, LeavesExactlyTheBytesAndMode) {
  std::string path = TestPath("file.bin");
  WriteBytes(path, "old content that is longer");
  ASSERT_TRUE(WriteFileAtomic(path, "new", 0600));
  EXPECT_EQ(ReadBytes(path), "new");
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(WriteFileAtomic(TestPath("no/such/folder/file"), "x", 0600));
}

TEST(Dates, ShortDateAndLongTime) {
  double value = 45351.0 + (9 * 3600 + 5 * 60 + 7) / 86400.0;  // 2024-02-29 9:05:07
  EXPECT_EQ(ShortDateText(value), "29.02.2024");
  EXPECT_EQ(LongTimeText(value), "9:05:07");
  EXPECT_EQ(ShortDateText(45351.0 - 1e-9), "29.02.2024");
}

TEST(SystemStore, DamagedFilesAreSkippedWithATrace) {
  std::vector<std::string> lines;
  SetTraceSink([&](const std::string& line) { lines.push_back(line); });
  CertStorePtr store = OpenSystemStore(kLocationCurrentUser, "CA");
  CertContextPtr root = LoadCert("root.cer");
  root->SetKeyProv(KeyProvInfo{"x", "y", 75, 1, 1});
  ASSERT_TRUE(store->AddCertificate(root, kStoreAddNew));
  std::string folder = LocationRoot(kLocationCurrentUser) + "/stores/CA/";
  WriteBytes(folder + root->Sha1Text() + ".prop", "ContainerName=zz\n");
  WriteBytes(folder + "FFFF.cer", "");
  WriteBytes(folder + "0000.crl", std::string("\x30\x82\xFF", 3));
  CertStorePtr again = OpenSystemStore(kLocationCurrentUser, "CA");
  SetTraceSink(nullptr);
  ASSERT_EQ(again->Certificates().size(), 1u);
  EXPECT_FALSE(again->Certificates()[0]->KeyProv());
  EXPECT_TRUE(again->Crls().empty());
  int damaged = 0;
  for (const std::string& line : lines) damaged += line.find("Поврежденный"_cp) != std::string::npos;
  EXPECT_EQ(damaged, 3);
}
