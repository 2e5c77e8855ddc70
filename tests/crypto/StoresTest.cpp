#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoUtils.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/FileFaults.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "pki/TestPki.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"

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

CertContextPtr Cert(const std::string& name) {
  return U::CertificateFromText(PkiBytes(name));
}

std::vector<std::string> StoreThumbprints(int location, int name) {
  CStrArray list;
  list.SetOwnership(CStrArray::kOwnDestroy);
  U::EnumStore(nullptr, location, name, &list);
  std::vector<std::string> keys;
  for (int i = 0; i < list.Count(); ++i) keys.push_back(list.Key(i));
  return keys;
}

}  // namespace

TEST(StoreCodes, FlagsNamesAndMessages) {
  EXPECT_EQ(U::GetStoreFlags(kStoreLocalMachine), 0x00021001u);
  EXPECT_EQ(U::GetStoreFlags(kStoreCurrentUser), 0x00011001u);
  EXPECT_EQ(U::GetStoreName(kStoreMy), "MY");
  EXPECT_EQ(U::GetStoreName(kStoreAddressBook), "addressbook");
  EXPECT_EQ(Message([] { U::GetStoreFlags(3); }), "Недоступное хранилище: [3]"_cp);
  EXPECT_EQ(Message([] { U::GetStoreName(5); }), "Недоступное имя хранилища: [5]"_cp);
  EXPECT_EQ(Message([] { U::EnumStore(nullptr, 0, 1, nullptr); }), "Неизвестное хранилище"_cp);
  EXPECT_EQ(Message([] { U::EnumStore(nullptr, 2, 0, nullptr); }), "Неизвестное имя хранилища"_cp);
  EXPECT_EQ(Message([] { U::EnumStore(nullptr, 2, 1, nullptr); }), "Передан пустой аргумент: certArray"_cp);
  EXPECT_TRUE(U::IsCryptoProviderInstalled());
}

TEST(StoreHelpers, FindBySha1IsCaseSensitive) {
  CertContextPtr user = Cert("user.cer");
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreAddressBook, {}, user);
  std::string sha1 = U::GetCertSha1(user);
  ASSERT_EQ(sha1.size(), 40u);
  CertContextPtr found = U::FindBySha1(nullptr, kStoreCurrentUser, kStoreAddressBook, sha1);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->Encoded(), user->Encoded());
  std::string lower;
  for (char c : sha1) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_FALSE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreAddressBook, lower));
  EXPECT_FALSE(U::FindBySha1(nullptr, kStoreLocalMachine, kStoreAddressBook, sha1));
  EXPECT_EQ(StoreThumbprints(kStoreCurrentUser, kStoreAddressBook), (std::vector<std::string>{sha1}));
}

TEST(StoreHelpers, AddressBookKeepsExistingMyReplaces) {
  CertContextPtr marked = Cert("user.cer");
  marked->SetKeyProv(KeyProvInfo{"old", kGostProviderName, 75, 1, 1});
  for (const char* name : {"addressbook", "MY"}) {
    ASSERT_TRUE(OpenSystemStore(kLocationCurrentUser, name)->AddCertificate(marked, kStoreAddAlways));
  }
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreAddressBook, {}, Cert("user.cer"));
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreMy, {}, Cert("user.cer"));
  std::string sha1 = marked->Sha1Text();
  EXPECT_TRUE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreAddressBook, sha1)->KeyProv());
  EXPECT_FALSE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, sha1)->KeyProv());
}

TEST(Bundles, ClassificationOfEachKind) {
  EXPECT_EQ(U::ClassifyCertificate(Cert("root.cer")), kStoreCA);  // keyUsage first, then critical cA
  EXPECT_EQ(U::ClassifyCertificate(Cert("inter.cer")), kStoreCA);
  EXPECT_EQ(U::ClassifyCertificate(Cert("user.cer")), kStoreAddressBook);
  EXPECT_EQ(U::ClassifyCertificate(Cert("selfnoca.cer")), kStoreRoot);  // critical cA false, same CN
  EXPECT_EQ(U::ClassifyCertificate(Cert("nocn.cer")), kStoreRoot);      // "na" equals "na"
  // A self-signed certificate made elsewhere without basicConstraints.
  EXPECT_EQ(U::ClassifyCertificate(U::CertificateFromText(
                ReadBytes(ConformancePath("01_tk26cms_signeddata_pygost/cert_256_example.pem")))),
            kStoreRoot);
}

TEST(Bundles, ImportPkcs7DerAndPemForms) {
  U::ImportBundle(nullptr, kStoreCurrentUser, PkiBytes("bundle.p7b"));
  EXPECT_EQ(StoreThumbprints(kStoreCurrentUser, kStoreCA).size(), 2u);
  EXPECT_EQ(StoreThumbprints(kStoreCurrentUser, kStoreAddressBook),
            (std::vector<std::string>{Cert("user.cer")->Sha1Text()}));
  EXPECT_TRUE(StoreThumbprints(kStoreCurrentUser, kStoreMy).empty());
  EXPECT_TRUE(StoreThumbprints(kStoreCurrentUser, kStoreRoot).empty());

  // One DER certificate, one PEM certificate, Base64 of a PKCS #7 bundle.
  U::ImportBundle(nullptr, kStoreLocalMachine, PkiBytes("selfnoca.cer"));
  EXPECT_EQ(StoreThumbprints(kStoreLocalMachine, kStoreRoot),
            (std::vector<std::string>{Cert("selfnoca.cer")->Sha1Text()}));
  U::ImportBundle(nullptr, kStoreLocalMachine, PkiBytes("revoked.pem"));
  EXPECT_EQ(StoreThumbprints(kStoreLocalMachine, kStoreAddressBook).size(), 1u);
  std::string output;
  ASSERT_EQ(RunCommand("base64 '" + PkiPath("bundle.p7b") + "'", &output), 0);
  U::ImportBundle(nullptr, kStoreLocalMachine, output);
  EXPECT_EQ(StoreThumbprints(kStoreLocalMachine, kStoreCA).size(), 2u);
  EXPECT_EQ(StoreThumbprints(kStoreLocalMachine, kStoreAddressBook).size(), 2u);
}

TEST(Bundles, SeveralPemCertificatesAreAllImported) {
  U::ImportBundle(nullptr, kStoreCurrentUser, PkiBytes("bundle.pem"));
  EXPECT_EQ(StoreThumbprints(kStoreCurrentUser, kStoreCA).size(), 2u);
  EXPECT_EQ(StoreThumbprints(kStoreCurrentUser, kStoreAddressBook).size(), 1u);
  EXPECT_THROW(U::ImportBundle(nullptr, kStoreCurrentUser, "no certificate here!"), CVorlentException);
  // A PKCS #7 bundle in PEM armour.
  U::ImportBundle(nullptr, kStoreLocalMachine, PkiBytes("chain-crl.p7b"));
  EXPECT_EQ(StoreThumbprints(kStoreLocalMachine, kStoreCA),
            (std::vector<std::string>{Cert("inter.cer")->Sha1Text()}));
}

TEST(Binding, MyWithContainerWritesPropertyAndCertificate) {
  ImportPkcs8Key(false, "user key", PkiBytes("user.key"), {}, {});
  CCryptoProvider provider;
  provider.Open(75, {}, false, false);
  ASSERT_TRUE(provider.Acquired());
  CertContextPtr user = Cert("user.cer");
  U::AddToStore(provider.Handle(), kStoreCurrentUser, kStoreMy, "user key", user);
  EXPECT_EQ(ReadContainerCertificate(false, "user key"), user->Encoded());
  CertContextPtr stored = U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, user->Sha1Text());
  ASSERT_TRUE(stored && stored->KeyProv());
  EXPECT_EQ(stored->KeyProv()->containerName, "user key");
  EXPECT_EQ(stored->KeyProv()->providerType, 75u);
  EXPECT_EQ(stored->KeyProv()->keySpec, 1u);
  CZUMECCertificate wrapper;
  ASSERT_TRUE(wrapper.SetFromContext(stored, false));
  EXPECT_EQ(wrapper.GetContainerName(), "user key");

  // A container that does not exist.
  std::string missing =
      Message([&] { U::AddToStore(provider.Handle(), kStoreCurrentUser, kStoreMy, "none", user); });
  EXPECT_EQ(
      missing.rfind(
          "Ошибка при инициализации с контейнером [none] криптопровайдера: 0x80090016 (-2146893802): "_cp, 0),
      0u)
      << missing;
  // A container without a key.
  provider.Close();
  provider.Open(75, "empty", false, true);
  provider.Close();
  provider.Open(75, {}, false, false);
  std::string nokey =
      Message([&] { U::AddToStore(provider.Handle(), kStoreCurrentUser, kStoreMy, "empty", user); });
  EXPECT_NE(nokey.find("Ошибка при получении закрытого ключа из контейнера: 0x8009000D"_cp),
            std::string::npos)
      << nokey;
  // No provider context to read the provider from.
  EXPECT_EQ(Message([&] {
              U::AddToStore(nullptr, kStoreCurrentUser, kStoreMy, "user key", user);
            }).rfind("CCryptoAPI20Utils.GetProvInfo: 0x", 0),
            0u);
}

TEST(Provider, OpenQuietCloseAndContainers) {
  CCryptoProvider provider;
  provider.Open(99, {}, true, false);
  EXPECT_FALSE(provider.Acquired());
  EXPECT_EQ(provider.Handle(), nullptr);
  std::string message = Message([&] { provider.Open(99, {}, false, false); });
  EXPECT_EQ(message.rfind("CCryptoProvider.AcquireContext\n\r", 0), 0u);
  provider.Open(75, {}, false, false);
  EXPECT_TRUE(provider.Acquired());
  EXPECT_EQ(provider.Flags(), kCryptVerifyContext);
  std::uint32_t type;
  std::string name;
  U::GetProvInfo(provider.Handle(), type, name);
  EXPECT_EQ(type, 75u);
  EXPECT_EQ(name, kGostProviderName);
  provider.SetMachineKeyset(true);  // ignored while acquired
  EXPECT_FALSE(provider.MachineKeyset());
  provider.Close();
  EXPECT_EQ(provider.ProviderType(), 0u);

  CStrArray list;
  list.AddKey("stale");
  provider.EnumContainers(75, list);
  EXPECT_EQ(list.Count(), 0);
  provider.Open(75, "first", false, true);
  provider.Close();
  provider.SetMachineKeyset(true);
  provider.Open(75, "machine", false, true);
  EXPECT_EQ(provider.Flags(), kCryptNewKeyset | kCryptMachineKeyset);
  EXPECT_STREQ(provider.Container().Get(), "machine");
  provider.EnumContainers(75, list);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_EQ(list.Key(0), "machine");
}

TEST(Provider, CryptoStoreOpensEachKind) {
  CCryptoProvider provider;
  CCryptoStore store;
  store.SetProvider(&provider);
  store.Open(kStoreProvSystem, "MY");
  EXPECT_TRUE(store.Handle());
  store.Open(kStoreProvPkcs7, PkiBytes("bundle.p7b"));
  EXPECT_EQ(store.Handle()->Certificates().size(), 3u);
  store.Open(kStoreProvFilename, PkiPath("bundle.pem"));
  EXPECT_EQ(store.Handle()->Certificates().size(), 3u);
  EXPECT_THROW(store.Open(kStoreProvFilename, TestPath("none")), COSException);
  EXPECT_FALSE(store.Handle());
  CZeroString zero;
  EXPECT_EQ(Message([&] { zero.Open(nullptr); }), "Parameter pszObjId = NULL of CZeroString.Open is invalid");
}

TEST(SystemStoreObjects, EnumeratesThroughTheModel) {
  U::ImportBundle(nullptr, kStoreCurrentUser, PkiBytes("bundle.p7b"));
  CCryptSystemStore store;
  store.Open(kStoreCurrentUser, kStoreCA);
  auto certs = CCryptCollection::Of<CCryptCertificate>();
  store.EnumCertificates(*certs);
  EXPECT_EQ(certs->Count(), 2);
  bool selfSigned = false;
  CCryptCertificate* issuer =
      store.FindIssuer(*CCryptCertificate::Create(Cert("user.cer")), *certs, selfSigned, false);
  ASSERT_NE(issuer, nullptr);
  EXPECT_EQ(issuer->GetNameInfo().CN, "Test Intermediate CA");
}

TEST(StoreHelpers, EnumStoreItemsHoldTheirOwnReferences) {
  U::ImportBundle(nullptr, kStoreCurrentUser, PkiBytes("bundle.p7b"));
  CStrArray list;
  U::EnumStore(nullptr, kStoreCurrentUser, kStoreCA, &list);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetOwnership(), CStrArray::kOwnDestroy);
  auto* item = static_cast<CCertHandleItem*>(list.Object(0));
  EXPECT_EQ(item->Context->Sha1Text(), list.Key(0));
  EXPECT_LT(list.Key(0), list.Key(1));
}

TEST(Binding, ImportIntoMyIsOneStepWhetherItFailsDiesOrRunsConcurrently) {
  ImportPkcs8Key(false, "user key", PkiBytes("user.key"), {}, {});
  CCryptoProvider provider;
  provider.Open(75, "empty", false, true);  // a container without a key
  provider.Close();
  provider.Open(75, {}, false, false);
  ASSERT_TRUE(provider.Acquired());
  const std::string sha1 = Cert("user.cer")->Sha1Text();
  const std::string folder = LocationRoot(kLocationCurrentUser) + "/stores/MY";
  auto import = [&] {
    U::AddToStore(provider.Handle(), kStoreCurrentUser, kStoreMy, "user key", Cert("user.cer"));
  };
  auto listing = [&] {
    CStrArray names;
    ListFiles(folder, "*", kListFiles, names);
    return names.Join(" ");
  };
  // A refused import leaves the store as it was.
  ASSERT_TRUE(ForceDirectories(folder));
  for (const char* container : {"none", "empty"}) {
    EXPECT_NE(Message([&] {
                U::AddToStore(provider.Handle(), kStoreCurrentUser, kStoreMy, container, Cert("user.cer"));
              }),
              "<no error>");
    EXPECT_EQ(listing(), "") << container;
  }

  // The process killed at any step of an import: the store shows the certificate with its
  // binding, or does not show it.
  int steps = 0;
  SetFileFaultHook([&](FileStep, const std::string&) { return ++steps, 0; });
  import();
  SetFileFaultHook(nullptr);
  for (int step = 0; step < steps; ++step) {
    DeleteFiles(folder, "*");
    EXPECT_EQ(RunInChild([&] {
                int at = 0;
                SetFileFaultHook([&](FileStep, const std::string&) {
                  if (at++ == step) ::_exit(7);
                  return 0;
                });
                import();
                return 0;
              }),
              7)
        << step;
    CertContextPtr stored = U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, sha1);
    EXPECT_TRUE(!stored || (stored->KeyProv() && stored->KeyProv()->containerName == "user key"))
        << step << ": " << listing();
  }

  // Six processes importing the certificate at once all succeed, round after round: each stops
  // at its first commit until one more import has finished, then all go on together.
  for (int round = 0; round < 10; ++round) {
    DeleteFiles(folder, "*");
    int go[2], ready[2];
    ASSERT_EQ(::pipe(go), 0);
    ASSERT_EQ(::pipe(ready), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 6; ++i) {
      pid_t child = ::fork();
      if (child == 0) {
        ::close(go[1]);
        bool waited = false;
        SetFileFaultHook([&](FileStep step, const std::string&) {
          if (step == FileStep::kCommit && !waited) {
            waited = true;
            char byte = 1;
            if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) < 0) ::_exit(2);
          }
          return 0;
        });
        int code = 0;
        try {
          import();
        } catch (const CVorlentException& e) {
          std::fprintf(stderr, "%s\n", Cp1251ToUtf8(e.Message()).c_str());
          code = 1;
        }
        ::_exit(code);
      }
      children.push_back(child);
    }
    ::close(go[0]);
    ::close(ready[1]);
    char byte;
    for (int i = 0; i < 6; ++i) ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    import();
    ::close(go[1]);  // all go on together
    for (pid_t child : children) {
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << round;
    }
    CertContextPtr stored = U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, sha1);
    EXPECT_TRUE(stored && stored->KeyProv()) << round;
  }
}

// A system store is read and parsed once and kept under the status of each file: opening it
// again reads nothing that did not change and hands out contexts of its own (properties set on
// one stay there), and whatever changed between two openings, by this process or another, is
// what the next opening shows. Several threads open it while it changes.
TEST(SystemStores, KeptOnceAndSeenAgainWhenTheyChange) {
  SetStoreFileSettle(0);  // the files here are kept as soon as they are written
  struct Restore {
    ~Restore() { SetStoreFileSettle(kStoreFileSettle); }
  } restore;
  const std::string folder = CombinePath(LocationRoot(kLocationCurrentUser), "stores/kept");
  auto open = [] { return OpenSystemStore(kLocationCurrentUser, "kept"); };
  auto thumbprints = [](const CertStorePtr& store) {
    std::vector<std::string> list;
    for (const CertContextPtr& cert : store->Certificates()) list.push_back(cert->Sha1Text());
    return list;
  };
  CertContextPtr user = Cert("user.cer"), inter = Cert("inter.cer"), root = Cert("root.cer");
  ASSERT_TRUE(open()->Certificates().empty());

  // Written by another process, with properties; read once, then kept.
  const std::string userFile = CombinePath(folder, user->Sha1Text() + ".cer");
  ASSERT_TRUE(WriteFileAtomic(userFile, user->Encoded(), 0644));
  ASSERT_TRUE(WriteFileAtomic(
      CombinePath(folder, user->Sha1Text() + ".prop"),
      "ContainerName=6F6C64\nProviderName=6F6C64\nProviderType=75\nFlags=1\nKeySpec=1\n", 0600));
  CertStorePtr first = open(), second = open();
  ASSERT_EQ(thumbprints(second), std::vector<std::string>{user->Sha1Text()});
  EXPECT_EQ(first->Certificates()[0]->Cert(), second->Certificates()[0]->Cert());  // parsed once
  EXPECT_NE(first->Certificates()[0], second->Certificates()[0]);
  ASSERT_TRUE(second->Certificates()[0]->KeyProv());
  EXPECT_EQ(second->Certificates()[0]->KeyProv()->containerName, "old");
  second->Certificates()[0]->SetKeyProv(std::nullopt);
  EXPECT_TRUE(first->Certificates()[0]->KeyProv());
  EXPECT_TRUE(open()->Certificates()[0]->KeyProv());

  // Added by this process; the properties changed by another; a file replaced by other bytes.
  ASSERT_TRUE(first->AddCertificate(inter, kStoreAddNew));
  EXPECT_EQ(thumbprints(open()).size(), 2u);
  ASSERT_TRUE(WriteFileAtomic(
      CombinePath(folder, user->Sha1Text() + ".prop"),
      "ContainerName=6E6577\nProviderName=6E6577\nProviderType=75\nFlags=1\nKeySpec=1\n", 0600));
  EXPECT_EQ(open()->FindBySha1Hash(user->Sha1Hash())->KeyProv()->containerName, "new");
  ASSERT_TRUE(WriteFileAtomic(userFile, root->Encoded(), 0644));
  CertStorePtr replaced = open();
  EXPECT_FALSE(replaced->FindBySha1Hash(user->Sha1Hash()));
  EXPECT_TRUE(replaced->FindBySha1Hash(root->Sha1Hash()));
  // Removed by another process.
  ASSERT_EQ(::unlink(SysPath(userFile).c_str()), 0);
  EXPECT_EQ(thumbprints(open()), std::vector<std::string>{inter->Sha1Text()});

  // Threads open the store while one adds and removes a certificate: each opening shows the
  // certificate that stays, and the last shows the store as it is left.
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop) {
        if (!open()->FindBySha1Hash(inter->Sha1Hash())) ++bad;
      }
    });
  }
  for (int round = 0; round < 20; ++round) {
    CertStorePtr store = open();
    ASSERT_TRUE(store->AddCertificate(user, kStoreAddNew));
    ASSERT_TRUE(store->DeleteCertificate(user));
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(thumbprints(open()), std::vector<std::string>{inter->Sha1Text()});
}
