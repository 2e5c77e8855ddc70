// vorlent for holders of qualified certificates: the trusted and intermediate stores, personal
// certificates whose key comes later, the fields of a certificate, bare encrypted files that
// openssl reads and writes, and the flow and special operator of a package.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli/CliTest.h"
#include "pki/TestPki.h"

namespace {

using nlohmann::json;
using qvtest::OpenSsl;
using qvtest::PkiPath;
using qvtest::ReadBytes;
using qvtest::RunCommand;
using qvtest::TestPath;
using qvtest::Vorlent;
using qvtest::WriteBytes;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string ThumbprintOf(const qvtest::CliResult& imported) {
  return imported.Json()["key"]["thumbprint"].get<std::string>();
}

TEST(CliStores, RootAndCaStoresTakeListAndGiveUpCertificates) {
  // A signature of the test PKI's user checks offline once its root and intermediate are installed.
  WriteBytes(TestPath("doc.txt"), "документ\n");
  ASSERT_EQ(qvtest::OpensslSignDetached(TestPath("doc.txt"), PkiPath("user.cer"), PkiPath("user.key"),
                                        TestPath("doc.p7s")),
            0);
  EXPECT_EQ(Vorlent("check-signature doc.txt doc.p7s --offline --no-crl").status, 1);

  auto root = Vorlent("keys import-cert '" + PkiPath("root.pem") + "' --store uRoot");
  ASSERT_EQ(root.status, 0) << root.err;
  const std::string rootSha1 = Vorlent("cert show '" + PkiPath("root.pem") + "' --json").Json()["thumbprint"];
  EXPECT_EQ(root.out, "Сертификат импортирован в uRoot: " + rootSha1 +
                          "\nУстановлен доверенный корневой сертификат: CN=Test Root CA, O=Test PKI, C=RU\n"
                          "Отпечаток SHA-1: " +
                          rootSha1 + "\n");
  auto inter = Vorlent("keys import-cert '" + PkiPath("inter.pem") + "' --store uca --json");
  ASSERT_EQ(inter.status, 0) << inter.err;
  const std::string interSha1 = ThumbprintOf(inter);
  auto checked = Vorlent("check-signature doc.txt doc.p7s --offline --no-crl");
  EXPECT_EQ(checked.status, 0) << checked.out;

  json roots = Vorlent("keys list --store uRoot --json").Json();
  ASSERT_EQ(roots["keys"].size(), 1u);
  EXPECT_EQ(roots["keys"][0]["thumbprint"], rootSha1);
  EXPECT_EQ(roots["keys"][0]["subjectCN"], "Test Root CA");
  EXPECT_FALSE(roots["keys"][0].contains("privateKey"));
  auto cas = Vorlent("keys list --store uCA");
  EXPECT_EQ(cas.out.rfind(interSha1 + "  Test Intermediate CA\n    Владелец: CN=Test Intermediate CA", 0), 0u)
      << cas.out;
  // The machine's stores are apart from the user's.
  EXPECT_EQ(Vorlent("keys list --store mRoot").out, "В хранилище mRoot нет сертификатов\n");
  ASSERT_EQ(Vorlent("keys import-cert '" + PkiPath("root.pem") + "' --store mRoot").status, 0);
  EXPECT_EQ(Vorlent("keys list --store mRoot --json").Json()["keys"].size(), 1u);

  // Removed, the chain is incomplete again; a second removal and unknown stores fail clearly.
  auto removed = Vorlent("keys remove " + rootSha1 + " --store uRoot");
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(removed.out, "Сертификат " + rootSha1 + " удалён из uRoot\n");
  EXPECT_EQ(Vorlent("keys list --store uRoot").out, "В хранилище uRoot нет сертификатов\n");
  EXPECT_EQ(Vorlent("check-signature doc.txt doc.p7s --offline --no-crl").status, 1);
  auto again = Vorlent("keys remove " + rootSha1 + " --store uRoot");
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "vorlent: Сертификат с отпечатком [" + rootSha1 + "] не найден в хранилище ROOT\n");
  EXPECT_EQ(Vorlent("keys remove " + rootSha1).status, 2);
  auto unknown = Vorlent("keys list --store uTrust");
  EXPECT_EQ(unknown.status, 2);
  EXPECT_TRUE(Has(unknown.err, "неизвестное хранилище uTrust (uMy, uAddressBook, uRoot, uCA,"))
      << unknown.err;
  EXPECT_EQ(Vorlent("keys import-cert '" + PkiPath("root.pem") + "' --store uRoot --container x").status, 2);
}

TEST(CliStores, PersonalCertificateBeforeItsKeyAndItsFields) {
  auto imported = Vorlent("keys import-cert '" + PkiPath("user.pem") + "' --store uMy");
  ASSERT_EQ(imported.status, 0) << imported.err;
  json unbound = Vorlent("keys list --json").Json()["keys"];
  ASSERT_EQ(unbound.size(), 1u);
  const std::string sha1 = unbound[0]["thumbprint"];
  EXPECT_EQ(imported.out, "Сертификат импортирован в uMy: " + sha1 +
                              "\nЗакрытый ключ не связан: vorlent keys link " + sha1 + " КОНТЕЙНЕР\n");
  EXPECT_EQ(unbound[0]["container"], "");
  EXPECT_EQ(unbound[0]["privateKey"], false);
  // The key comes later: linked, it is reachable.
  ASSERT_EQ(Vorlent("keys import-key signer '" + PkiPath("user.key") + "'").status, 0);
  ASSERT_EQ(Vorlent("keys link " + sha1 + " signer").status, 0);
  json key = Vorlent("keys list --json").Json()["keys"][0];
  EXPECT_EQ(key["container"], "signer");
  EXPECT_EQ(key["privateKey"], true);
  EXPECT_EQ(key["inn"], "007701234567");
  EXPECT_EQ(key["snils"], "12345678901");
  EXPECT_EQ(key["ogrn"], "1027700132195");
  EXPECT_EQ(key["ogrnip"], "");
  EXPECT_EQ(key["innLe"], "");
  EXPECT_EQ(key["keyAlgorithm"], "1.2.643.7.1.1.1.1");
  EXPECT_EQ(key["notBefore"].get<std::string>().size(), 23u);
  EXPECT_EQ(key["notAfter"].get<std::string>().size(), 23u);
  // --json keeps the library's name text; people read the attributes by name.
  EXPECT_TRUE(Has(key["subject"], "OID.1.2.643.3.131.1.1=007701234567")) << key["subject"];
  auto listed = Vorlent("keys list");
  EXPECT_EQ(listed.out.rfind(sha1 + "  Иванов Иван Иванович  [signer]\n", 0), 0u) << listed.out;
  EXPECT_TRUE(Has(listed.out, "ИНН=007701234567")) << listed.out;
  EXPECT_FALSE(Has(listed.out, "OID.1.2.643")) << listed.out;
  EXPECT_TRUE(Has(listed.out, "\n    ИНН 007701234567, СНИЛС 12345678901, ОГРН 1027700132195\n"))
      << listed.out;
  EXPECT_TRUE(Has(listed.out, "\n    Алгоритм ключа: ГОСТ Р 34.10-2012 (256 бит) (1.2.643.7.1.1.1.1)\n"));
  EXPECT_TRUE(Has(listed.out, "\n    Закрытый ключ: доступен в контейнере signer\n")) << listed.out;
  // A container that is gone leaves the certificate without a reachable key.
  ASSERT_EQ(RunCommand("rm -r '" + std::string(std::getenv("QELVORLENT_HOME")) + "/user/keys/signer'"), 0);
  EXPECT_EQ(Vorlent("keys list --json").Json()["keys"][0]["privateKey"], false);
  EXPECT_TRUE(Has(Vorlent("keys list").out, "\n    Закрытый ключ: контейнер signer не найден\n"));
}

TEST(CliCert, ShowNamesTheFieldsOfAQualifiedCertificate) {
  auto shown = Vorlent("cert show '" + PkiPath("user.cer") + "'");
  ASSERT_EQ(shown.status, 0) << shown.err;
  for (const char* part :
       {"Сертификат: Иванов Иван Иванович\n", "ИНН 007701234567, СНИЛС 12345678901, ОГРН 1027700132195\n",
        "Издатель: CN=Test Intermediate CA, O=Test PKI, C=RU\n", "Политика: 1.2.643.100.113.1\n",
        "Политика: 1.2.643.100.113.2\n", "Список отзыва: ldap://127.0.0.1/", "OCSP: http://127.0.0.1:",
        "Сертификат издателя: http://127.0.0.1:", "/inter.cer\n", "Серийный номер: ", "Отпечаток SHA-1: "}) {
    EXPECT_TRUE(Has(shown.out, part)) << part << "\n" << shown.out;
  }
  EXPECT_FALSE(Has(shown.out, "OID.1.2.643")) << shown.out;
  json doc = Vorlent("cert show '" + PkiPath("user.cer") + "' --json").Json();
  EXPECT_EQ(doc["inn"], "007701234567");
  EXPECT_EQ(doc["policies"], json::array({"1.2.643.100.113.1", "1.2.643.100.113.2"}));
  ASSERT_EQ(doc["crlUrls"].size(), 2u);
  EXPECT_EQ(doc["crlUrls"][0].get<std::string>().rfind("http://127.0.0.1:", 0), 0u);
  ASSERT_EQ(doc["authorityInfo"].size(), 2u);
  EXPECT_EQ(doc["authorityInfo"][0]["method"], "ocsp");
  EXPECT_EQ(doc["authorityInfo"][1]["method"], "caIssuers");
  std::string serial;
  RunCommand(OpenSsl("x509 -in '" + PkiPath("user.cer") + "' -noout -serial"), &serial);
  EXPECT_EQ("serial=" + doc["serial"].get<std::string>() + "\n", serial);
  EXPECT_TRUE(Has(doc["subject"], "OID.1.2.643.100.3=12345678901")) << doc["subject"];

  json old = Vorlent("cert show '" + PkiPath("k2001.pem") + "' --json").Json();
  EXPECT_EQ(old["keyAlgorithmName"], "ГОСТ Р 34.10-2001");
  EXPECT_EQ(old["policies"], json::array());
  auto notCertificate = Vorlent("cert show '" + PkiPath("user.key") + "'");
  EXPECT_EQ(notCertificate.status, 1);
  EXPECT_EQ(notCertificate.out, "");
}

TEST(CliEncrypt, BareEnvelopesGoBothWaysWithOpenssl) {
  ASSERT_EQ(Vorlent("keys import-key u '" + PkiPath("user.key") + "'").status, 0);
  auto mine = Vorlent("keys import-cert '" + PkiPath("user.pem") + "' --store uMy --container u --json");
  ASSERT_EQ(mine.status, 0) << mine.err;
  const std::string sha1 = ThumbprintOf(mine);
  const std::string content = std::string("отчёт\0\x01 binary\n", 19);
  WriteBytes(TestPath("report.bin"), content);

  // vorlent encrypts, openssl decrypts.
  auto encrypted = Vorlent("encrypt-file report.bin --cert '" + PkiPath("user.cer") + "' -o report.p7m");
  ASSERT_EQ(encrypted.status, 0) << encrypted.err;
  EXPECT_EQ(encrypted.out.rfind("Зашифровано: report.p7m (", 0), 0u) << encrypted.out;
  ASSERT_EQ(RunCommand(OpenSsl("cms -decrypt -binary -inform DER -in '" + TestPath("report.p7m") +
                               "' -recip '" + PkiPath("user.cer") + "' -inkey '" + PkiPath("user.key") +
                               "' -out '" + TestPath("by-openssl.bin") + "' 2>&1")),
            0);
  EXPECT_EQ(ReadBytes(TestPath("by-openssl.bin")), content);
  // By thumbprint, and back through vorlent.
  ASSERT_EQ(Vorlent("encrypt-file report.bin --recipient " + sha1 + " -o mine.p7m").status, 0);
  auto decrypted = Vorlent("decrypt-file mine.p7m -o mine.bin --json");
  ASSERT_EQ(decrypted.status, 0) << decrypted.out;
  EXPECT_EQ(decrypted.Json()["size"], content.size());
  EXPECT_EQ(ReadBytes(TestPath("mine.bin")), content);

  // openssl encrypts (DER and PEM), vorlent decrypts.
  for (const char* form : {"DER", "PEM"}) {
    ASSERT_EQ(RunCommand(OpenSsl("cms -encrypt -binary -gost89 -in '" + TestPath("report.bin") +
                                 "' -outform " + form + " -out '" + TestPath("openssl.p7m") + "' '" +
                                 PkiPath("user.cer") + "' 2>&1")),
              0);
    auto opened = Vorlent("decrypt-file openssl.p7m -o from-openssl.bin --force");
    ASSERT_EQ(opened.status, 0) << form << opened.err;
    EXPECT_EQ(ReadBytes(TestPath("from-openssl.bin")), content) << form;
  }

  // No overwrite without --force; the existing file stays.
  auto exists = Vorlent("decrypt-file mine.p7m -o report.bin");
  EXPECT_EQ(exists.status, 1);
  EXPECT_EQ(exists.err, "vorlent: файл уже существует: report.bin (--force перезапишет)\n");
  EXPECT_EQ(ReadBytes(TestPath("report.bin")), content);
  // Without the recipient's key, or without a recipient, nothing is written.
  ASSERT_EQ(RunCommand(OpenSsl("cms -encrypt -binary -gost89 -in '" + TestPath("report.bin") +
                               "' -outform DER -out '" + TestPath("other.p7m") + "' '" + PkiPath("k512.pem") +
                               "' 2>&1")),
            0);
  EXPECT_EQ(Vorlent("decrypt-file other.p7m -o other.bin").status, 1);
  EXPECT_EQ(qvtest::FileMode(TestPath("other.bin")), -1);
  EXPECT_EQ(Vorlent("encrypt-file report.bin -o x.p7m").status, 2);
  EXPECT_EQ(
      Vorlent("encrypt-file report.bin --recipient 00112233445566778899AABBCCDDEEFF00112233 -o x.p7m").status,
      1);
}

TEST(CliPackage, ShowNamesTheFlowAndTheSpecialOperator) {
  WriteBytes(TestPath("a.xml"), "<a/>\n");
  ASSERT_EQ(
      Vorlent("new p.zip --transaction ul-reg --sender abonent:2BM-1 --receiver fns:7746 --add 01:a.xml")
          .status,
      0);
  // Another writer's package names a special operator (with an escape in its identifier).
  ASSERT_EQ(qvtest::CopyWithManifest("p.zip", "s.zip",
                                     [](const std::string& text) {
                                       const std::size_t at = text.find("<получатель");
                                       return text.substr(0, at) +
                                              "<спецоператор идентификаторСубъекта=\"2AE&#27;x\" "
                                              "типСубъекта=\"спецоператор\"/>" +
                                              text.substr(at);
                                     }),
            0);
  auto plain = Vorlent("show p.zip --json");
  ASSERT_EQ(plain.status, 0) << plain.out;
  json doc = plain.Json();
  EXPECT_EQ(doc["flow"]["code"], "ЮЛ");
  EXPECT_EQ(doc["flow"]["type"], "РегистрацияЮЛ");
  EXPECT_EQ(doc["flow"]["id"].get<std::string>().size(), 32u);
  EXPECT_EQ(doc["specialOperator"]["id"], "");
  EXPECT_TRUE(Has(Vorlent("show p.zip").out, "\nСпецоператор: нет\n"));

  auto special = Vorlent("show s.zip");
  ASSERT_EQ(special.status, 0) << special.err;
  EXPECT_TRUE(Has(special.out, "\nДокументооборот: ЮЛ РегистрацияЮЛ, идентификатор " +
                                   doc["flow"]["id"].get<std::string>() + "\n"))
      << special.out;
  EXPECT_TRUE(Has(special.out, "\nСпецоператор: спецоператор 2AE\\x1bx\n")) << special.out;
  json specialDoc = Vorlent("show s.zip --json").Json();
  EXPECT_EQ(specialDoc["specialOperator"]["id"], "2AE\x1bx");
  EXPECT_EQ(specialDoc["specialOperator"]["role"], "спецоператор");
}

}  // namespace
