// The key-management engine on stores and key containers in the test's own QELVORLENT_HOME,
// with certificates and keys made by the openssl tool and a loopback server for downloads,
// authority certificates and revocation lists.
#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>

#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/FileFaults.h"
#include "keys/KeyTestKit.h"
#include "keys/VorlentCrypt.h"
#include "platform/CertServices.h"
#include "platform/KeyContainer.h"

namespace {

using namespace qv;
using namespace qvtest;
using U = CCryptoAPI20Utils;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class Keys : public ::testing::Test {
 protected:
  KeyPki& pki = KeyPki::Get();
  CVorlentCrypt crypt;

  void SetUp() override { pki.ServeNothing(); }
  CertContextPtr Cert(const std::string& name) { return U::CertificateFromText(pki.File(name)); }
  // The user's key in container `container` and its certificate imported bound to it.
  std::unique_ptr<CVorlentKey> ImportUser(const std::string& container, const std::string& name = "user") {
    ImportPkcs8Key(false, container, pki.File(name + ".key"), {}, {});
    return crypt.ImportPrivateCertificate(pki.File(name + ".pem"), container);
  }
  // Root in "ROOT", the root's list in "CA"; the intermediate and its list come from the server.
  void TrustRoot() {
    U::AddToStore(nullptr, kStoreCurrentUser, kStoreRoot, {}, Cert("root.cer"));
    pki.Serve("inter.cer", pki.File("inter.cer"));
    pki.Serve("inter.crl", pki.File("inter.crl"));
    pki.Serve("root.crl", pki.File("root.crl"));
  }
};

TEST_F(Keys, BeforeInitOnlyCountsPresenceAndDownloadsWork) {
  EXPECT_EQ(crypt.PrivateKeyCount(), 0);
  EXPECT_EQ(crypt.OpponentKeyCount(), 0);
  EXPECT_EQ(crypt.ContainerCount(), 0);
  EXPECT_TRUE(CVorlentCrypt::IsCryptographyOk());
  EXPECT_EQ(Message([&] { crypt.PrivateKey(0); }),
            "Не установлен СКЗИ, который требуется для операции: получение личного ключа"_cp);
  EXPECT_EQ(Message([&] { crypt.Container(0); }),
            "Не установлен СКЗИ, который требуется для операции: получение имени контейнера"_cp);
  EXPECT_EQ(Message([&] { crypt.OpponentKeyBySha1("AB"); }),
            "Не установлен СКЗИ, который требуется для операции: получение ключа по отпечатку"_cp);
  EXPECT_EQ(Message([&] { crypt.ImportP7BChain("x"); }),
            "Не установлен СКЗИ, который требуется для операции: импорт цепочки сертификатов"_cp);
  EXPECT_EQ(
      Message([&] { crypt.CheckSignature("a", "b"); }),
      "Криптопровайдер не инициализирован (требуется успешный вызов Init) для операции: проверка подписи"_cp);
  pki.Serve("file.bin", std::string("\0\x01\xff", 3));
  std::string target = Utf8ToCp1251(TestPath("загрузка.bin"));
  CVorlentCrypt::DownloadFile(pki.Url("file.bin"), target);
  EXPECT_EQ(ReadBytes(TestPath("загрузка.bin")), std::string("\0\x01\xff", 3));
}

TEST_F(Keys, EmptyListsGiveTheRangeDefinitionMessage) {
  ASSERT_TRUE(crypt.Init(true));
  EXPECT_EQ(
      Message([&] { crypt.PrivateKey(0); }),
      "privateKeyIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)"_cp);
  EXPECT_EQ(
      Message([&] { crypt.OpponentKey(0); }),
      "opponentKeyIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)"_cp);
  EXPECT_EQ(
      Message([&] { crypt.Container(-1); }),
      "containerIndex: ошибка задания диапазона - минимальное значение (0) больше максимального(-1)"_cp);
  EXPECT_EQ(Message([&] { crypt.PrivateKeyBySha1("00"); }),
            "Не найден личный сертификат по отпечатку [00]"_cp);
  EXPECT_EQ(Message([&] { crypt.OpponentKeyBySha1("00"); }), "Не найден сертификат по отпечатку [00]"_cp);
}

TEST_F(Keys, OpponentImportIsListedInItsLocationOnly) {
  ASSERT_TRUE(crypt.Init(true));
  std::unique_ptr<CVorlentKey> key = crypt.ImportOpponentCertificate(pki.File("user.pem"));
  EXPECT_EQ(key->Sha1(), Cert("user.cer")->Sha1Text());
  EXPECT_EQ(key->ContainerName(), "");
  ASSERT_EQ(crypt.OpponentKeyCount(), 1);
  EXPECT_EQ(crypt.OpponentKey(0).Sha1(), key->Sha1());
  EXPECT_EQ(crypt.OpponentKeyBySha1(Lower(key->Sha1())).SubjectCN(), "Chain User");
  EXPECT_EQ(crypt.PrivateKeyCount(), 0);
  crypt.Init(false);
  EXPECT_EQ(crypt.OpponentKeyCount(), 0) << "the local machine's stores are other folders";
  crypt.ImportOpponentCertificate(pki.File("inter.cer"));
  crypt.Init(true);
  ASSERT_EQ(crypt.OpponentKeyCount(), 1);
  EXPECT_EQ(crypt.OpponentKey(0).Sha1(), key->Sha1());
  EXPECT_NE(Message([&] {
              crypt.ImportOpponentCertificate("not a certificate");
            }).rfind("Ошибка при импорте сертификата: "_cp, 0),
            std::string::npos);
  EXPECT_EQ(Message([&] { crypt.ImportOpponentCertificate(""); }),
            "Передан пустой аргумент: certificateBody"_cp);
}

TEST_F(Keys, BundleOfTheOpensslToolIsFiledByKind) {
  std::string bundle = TestPath("chain.p7b");
  std::string output;
  ASSERT_EQ(RunCommand("openssl crl2pkcs7 -nocrl -certfile '" + pki.Path("root.pem") + "' -certfile '" +
                           pki.Path("inter.pem") + "' -certfile '" + pki.Path("user.pem") +
                           "' -outform DER -out '" + bundle + "' 2>&1",
                       &output),
            0)
      << output;
  ASSERT_TRUE(crypt.Init(true));
  EXPECT_EQ(Message([&] { crypt.ImportP7BChain(""); }), "Передан пустой аргумент: P7B-content"_cp);
  crypt.ImportP7BChain(ReadBytes(bundle));
  // The root carries a critical CA constraint: it is filed with the authorities.
  EXPECT_TRUE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreCA, Cert("root.cer")->Sha1Text()));
  EXPECT_TRUE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreCA, Cert("inter.cer")->Sha1Text()));
  ASSERT_EQ(crypt.OpponentKeyCount(), 1) << "the lists are reloaded after the import";
  EXPECT_EQ(crypt.OpponentKey(0).Sha1(), Cert("user.cer")->Sha1Text());
}

TEST_F(Keys, PrivateImportBindsSignsAndIsVerifiedByOpenssl) {
  ASSERT_TRUE(crypt.Init(true));
  std::string container = "Контейнер 1"_cp;
  std::unique_ptr<CVorlentKey> key = ImportUser(container);
  EXPECT_EQ(key->ContainerName(), container);
  ASSERT_EQ(crypt.PrivateKeyCount(), 1);
  EXPECT_EQ(crypt.PrivateKeyBySha1(Lower(key->Sha1())).ContainerName(), container);
  ASSERT_EQ(crypt.ContainerCount(), 1);
  EXPECT_EQ(crypt.Container(0), container);

  std::string document = Utf8ToCp1251(TestPath("документ.xml"));
  WriteBytes(TestPath("документ.xml"), "<doc>данные</doc>");
  EXPECT_EQ(crypt.SignFile(document, Lower(key->Sha1()), ""), document + ".p7s");
  std::string output;
  EXPECT_TRUE(OpenSslVerifies(TestPath("документ.xml"), TestPath("документ.xml.p7s"), &output)) << output;
  // The library's own check with the chain and revocation lists over the loopback server.
  TrustRoot();
  crypt.CheckSignature(ReadBytes(TestPath("документ.xml")), ReadBytes(TestPath("документ.xml.p7s")));

  EXPECT_EQ(Message([&] { crypt.SignFile(document, "00", ""); }), "Ключ по отпечатку [00] не найден"_cp);
  EXPECT_EQ(Message([&] { crypt.SignFile(document, "", ""); }), "Передан пустой аргумент: Sha1"_cp);
  EXPECT_EQ(Message([&] { crypt.SignFile(document + ".нет"_cp, key->Sha1(), ""); }),
            "Файл не найден: ["_cp + document + ".нет]"_cp);
  EXPECT_EQ(Message([&] { crypt.SignFile(document, key->Sha1(), document); }),
            "Файл подписи совпадает с подписываемым файлом: ["_cp + document + "]");
  EXPECT_EQ(ReadBytes(TestPath("документ.xml")), "<doc>данные</doc>");
}

TEST_F(Keys, PrivateImportIntoAMissingContainerLeavesTheStoreAsItWas) {
  ASSERT_TRUE(crypt.Init(true));
  std::string message =
      Message([&] { crypt.ImportPrivateCertificate(pki.File("user.pem"), "нет такого"_cp); });
  // each step of the binding has its own message; only the property is the binding's
  EXPECT_EQ(
      message.rfind("Ошибка при инициализации с контейнером [нет такого] криптопровайдера: 0x80090016"_cp, 0),
      0u)
      << message;
  // the certificate is not added without its binding
  EXPECT_FALSE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, Cert("user.cer")->Sha1Text()));
}

TEST_F(Keys, BindingToAContainerOfAnotherKeyIsRefusedAndWritesNothing) {
  ASSERT_TRUE(crypt.Init(true));
  const std::string container = "чужой"_cp;
  ImportPkcs8Key(false, container, pki.File("revoked.key"), {}, {});
  CertContextPtr user = Cert("user.cer");
  const std::string refused =
      "Закрытый ключ контейнера [чужой] не соответствует сертификату ["_cp + user->Sha1Text() + "]";
  auto stored = [&] { return U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, user->Sha1Text()); };

  // Import: the store stays without the certificate, the container without it.
  EXPECT_EQ(Message([&] { crypt.ImportPrivateCertificate(pki.File("user.pem"), container); }), refused);
  EXPECT_FALSE(stored());
  EXPECT_EQ(ReadContainerCertificate(false, container), "");

  // Link of a certificate already in the store: no binding property, nothing in the container.
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreMy, {}, user);
  CVorlentKey record;
  record.SetSha1(user->Sha1Text());
  record.SetContainerName(container);
  EXPECT_EQ(Message([&] { crypt.LinkPrivateKey(record, true); }), refused);
  ASSERT_TRUE(stored());
  EXPECT_FALSE(stored()->KeyProv());
  EXPECT_EQ(ReadContainerCertificate(false, container), "");

  // The facade's link: the certificate object is left unbound as well.
  CCryptoAPI20Tool tool;
  CertContextPtr fresh = Cert("user.cer");
  EXPECT_EQ(Message([&] { tool.LinkToContainer(fresh, container, true); }), refused);
  EXPECT_FALSE(fresh->KeyProv());
  EXPECT_EQ(ReadContainerCertificate(false, container), "");

  // A key that cannot be read is reported as the key step's failure.
  ImportPkcs8Key(false, "под PIN"_cp, pki.File("user.key"), {}, "1234");
  std::string locked = Message([&] { crypt.ImportPrivateCertificate(pki.File("user.pem"), "под PIN"_cp); });
  EXPECT_EQ(
      locked,
      "Ошибка при получении закрытого ключа из контейнера: Не указан PIN контейнера ключа [под PIN]"_cp);
  EXPECT_FALSE(stored()->KeyProv());
  EXPECT_EQ(ReadContainerCertificate(false, "под PIN"_cp), "");
}

TEST_F(Keys, LinkAndCachingWriteTheBindingProperty) {
  ASSERT_TRUE(crypt.Init(true));
  CertContextPtr user = Cert("user.cer");
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreMy, {}, user);
  ImportPkcs8Key(false, "link", pki.File("user.key"), {}, {});
  crypt.Init(true);
  ASSERT_EQ(crypt.PrivateKeyCount(), 1);
  CVorlentKey record;
  record.SetSha1(user->Sha1Text());
  record.SetContainerName("link");
  std::string document = Utf8ToCp1251(TestPath("a.txt"));
  WriteBytes(TestPath("a.txt"), "a");
  EXPECT_NE(Message([&] { crypt.SignFile(document, user->Sha1Text(), ""); }), "<no error>")
      << "a certificate never bound to its container cannot sign";

  crypt.LinkPrivateKey(record, false);
  auto binding = [&] {
    return U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, user->Sha1Text())
        ->KeyProv()
        .value_or(KeyProvInfo{});
  };
  EXPECT_EQ(binding().containerName, "link");
  EXPECT_EQ(binding().flags, 0u);
  EXPECT_EQ(binding().keySpec, kAtKeyExchange);
  EXPECT_EQ(ReadContainerCertificate(false, "link"), user->Encoded());
  crypt.SetPrivateKeyCaching(record, true);
  EXPECT_EQ(binding().flags, 1u);
  EXPECT_EQ(binding().containerName, "link");
  crypt.SetPrivateKeyCaching(record, false);
  EXPECT_EQ(binding().flags, 0u);

  crypt.Init(true);
  crypt.SignFile(document, user->Sha1Text(), Utf8ToCp1251(TestPath("a.sig")));
  std::string output;
  EXPECT_TRUE(OpenSslVerifies(TestPath("a.txt"), TestPath("a.sig"), &output)) << output;

  // The store's thumbprints are upper-case; the lookup is exact.
  CVorlentKey lower;
  lower.SetContainerName("link");
  lower.SetSha1(Lower(user->Sha1Text()));
  EXPECT_EQ(Message([&] { crypt.LinkPrivateKey(lower, true); }),
            "Не найден личный сертификат по отпечатку ["_cp + lower.Sha1() + "]");
  CVorlentKey other;
  other.SetSha1(Cert("inter.cer")->Sha1Text());
  other.SetContainerName("link");
  EXPECT_EQ(Message([&] { crypt.SetPrivateKeyCaching(other, true); }),
            "Не найден личный сертификат по отпечатку ["_cp + other.Sha1() + "]");
  record.SetContainerName("нет такого"_cp);
  EXPECT_EQ(Message([&] {
              crypt.LinkPrivateKey(record, true);
            }).rfind("Ошибка при инициализации с контейнером [нет такого] криптопровайдера: "_cp, 0),
            0u);
}

TEST_F(Keys, AFailedBindingPropertyIsTheBindingsOwnMessageAndWritesNothingElse) {
  ASSERT_TRUE(crypt.Init(true));
  CertContextPtr user = Cert("user.cer");
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreMy, {}, user);
  ImportPkcs8Key(false, "link", pki.File("user.key"), {}, {});
  CVorlentKey record;
  record.SetSha1(user->Sha1Text());
  record.SetContainerName("link");
  // the store cannot take the property: a full disk
  SetFileFaultHook([](FileStep step, const std::string&) { return step == FileStep::kOpen ? ENOSPC : 0; });
  std::string linked = Message([&] { crypt.LinkPrivateKey(record, true); });
  std::string cached = Message([&] { crypt.SetPrivateKeyCaching(record, true); });
  SetFileFaultHook({});
  const std::string prefix =
      "Ошибка при связывании сертификата с контейнером: [Ошибка присвоения свойств сертификата: 0x"_cp;
  EXPECT_EQ(linked.rfind(prefix, 0), 0u) << Cp1251ToUtf8(linked);
  EXPECT_EQ(cached.rfind(prefix, 0), 0u) << Cp1251ToUtf8(cached);
  EXPECT_FALSE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreMy, user->Sha1Text())->KeyProv());
  EXPECT_EQ(ReadContainerCertificate(false, "link"), "");
}

TEST_F(Keys, CheckSignatureFailsOnContentRevocationAndUnknownRoot) {
  ASSERT_TRUE(crypt.Init(true));
  std::string content = "content";
  WriteBytes(TestPath("c.txt"), content);
  auto sign = [&](const std::string& who) {
    std::string output;
    EXPECT_EQ(RunCommand(OpenSsl("cms -sign -binary -outform DER -md md_gost12_256 -in '" +
                                 TestPath("c.txt") + "' -signer '" + pki.Path(who + ".pem") + "' -inkey '" +
                                 pki.Path(who + ".key") + "' -out '" + TestPath(who + ".p7s") + "' 2>&1"),
                         &output),
              0)
        << output;
    return ReadBytes(TestPath(who + ".p7s"));
  };
  std::string good = sign("user");
  EXPECT_NE(Message([&] { crypt.CheckSignature(content, good); }), "<no error>") << "the root is not trusted";
  TrustRoot();
  crypt.CheckSignature(content, good);
  EXPECT_NE(Message([&] { crypt.CheckSignature("other content", good); }), "<no error>");
  std::string revoked = sign("revoked");
  std::string message = Message([&] { crypt.CheckSignature(content, revoked); });
  EXPECT_NE(message.find("сертификат был отозван"_cp), std::string::npos) << message;
  pki.ServeNothing();
  EXPECT_NE(Message([&] { CVorlentCrypt().CheckSignature(content, good); }), "<no error>");
}

TEST_F(Keys, DownloadWritesAnyBodyAndRefusesOtherSchemes) {
  std::string target = Utf8ToCp1251(TestPath("page.html"));
  CVorlentCrypt::DownloadFile(pki.Url("missing"), target);
  EXPECT_EQ(ReadBytes(TestPath("page.html")), "not here") << "the status is not examined";
  EXPECT_NE(Message([&] { CVorlentCrypt::DownloadFile("file:///etc/passwd", target); }), "<no error>");
  EXPECT_EQ(ReadBytes(TestPath("page.html")), "not here");
  EXPECT_EQ(Message([&] { CVorlentCrypt::DownloadFile(pki.Url("missing"), ""); }),
            "Передан пустой аргумент: FileName"_cp);
  // An empty body replaces the file with an empty one.
  pki.Serve("empty", "");
  CVorlentCrypt::DownloadFile(pki.Url("empty"), target);
  EXPECT_EQ(ReadBytes(TestPath("page.html")), "");
}

TEST_F(Keys, ClientCertificateComesFromThePersonalStoreAndItsContainer) {
  std::string certificate, key;
  EXPECT_FALSE(CertificateForThumbprint(Cert("user.cer")->Sha1Text(), certificate, key));
  ASSERT_TRUE(crypt.Init(true));
  ImportUser("tls");
  ASSERT_TRUE(CertificateForThumbprint(Lower(Cert("user.cer")->Sha1Text()), certificate, key));
  WriteBytes(TestPath("c.pem"), certificate);
  WriteBytes(TestPath("k.pem"), key);
  std::string output;
  EXPECT_EQ(RunCommand(OpenSsl("x509 -noout -in '" + TestPath("c.pem") + "' -fingerprint -sha1"), &output),
            0);
  std::string theirs = output;
  EXPECT_EQ(RunCommand(OpenSsl("x509 -noout -in '" + pki.Path("user.pem") + "' -fingerprint -sha1"), &output),
            0);
  EXPECT_EQ(theirs, output);
  EXPECT_EQ(RunCommand(OpenSsl("pkey -noout -in '" + TestPath("k.pem") + "' 2>&1"), &output), 0) << output;
}

}  // namespace
