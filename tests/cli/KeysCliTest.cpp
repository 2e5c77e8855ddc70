// vorlent on keys, certificates and detached signatures, against material made by the
// openssl command-line tool (the test PKI).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/CliTest.h"
#include "pki/TestPki.h"

namespace {

using qvtest::OpenSsl;
using qvtest::PkiPath;
using qvtest::ReadBytes;
using qvtest::RunCommand;
using qvtest::TestPath;
using qvtest::Vorlent;
using qvtest::WriteBytes;

// The container folder of the user's key set for a plain ASCII name.
std::string ContainerKey(const std::string& name) {
  return std::string(std::getenv("QELVORLENT_HOME")) + "/user/keys/" + name + "/key.p8";
}

// The SHA-1 thumbprint of a certificate of the test PKI, as openssl computes it.
std::string Thumbprint(const std::string& certificate) {
  std::string text;
  RunCommand(OpenSsl("x509 -in '" + PkiPath(certificate) + "' -noout -fingerprint -sha1"), &text);
  std::string hex;
  for (char c : text.substr(text.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  }
  return hex;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(CliKeys, NewContainerWritesARequestOpensslAccepts) {
  auto made = Vorlent(
      "keys new-container applicant --algorithm gost2012-512 "
      "--subject '/CN=Иванов Иван/SN=Иванов/INN=007701234567' -o applicant.req");
  ASSERT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out, "Создан контейнер applicant (gost2012-512), запрос на сертификат: applicant.req\n");
  std::string subject;
  ASSERT_EQ(RunCommand(OpenSsl("req -in '" + TestPath("applicant.req") +
                               "' -verify -noout -subject -nameopt utf8 2>&1"),
                       &subject),
            0)
      << subject;
  EXPECT_NE(subject.find("CN=Иванов Иван, SN=Иванов, INN=007701234567"), std::string::npos) << subject;
  std::string text;
  RunCommand(OpenSsl("req -in '" + TestPath("applicant.req") + "' -noout -text"), &text);
  EXPECT_NE(text.find("GOST R 34.10-2012 with 512 bit modulus"), std::string::npos) << text;

  auto again = Vorlent("keys new-container applicant --json");
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "vorlent: Контейнер ключа уже существует: [applicant]\n");
  EXPECT_EQ(again.Json()["ok"], false);
  auto bad = Vorlent("keys new-container other --subject 'CN'");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "vorlent: Неверная часть имени субъекта: CN\n");
}

// Every PIN source protects the new key with the same PIN; the PIN never reaches the output.
TEST(CliKeys, PinSourcesProtectTheKey) {
  WriteBytes(TestPath("pin.txt"), "s3cret-1\nignored\n");
  const struct {
    const char* name;
    std::string args;
    std::string environment;
  } cases[] = {
      {"k-pass", "--pin pass:s3cret-1", ""},     {"k-env", "--pin env:MY_PIN", "MY_PIN=s3cret-1 "},
      {"k-file", "--pin file:pin.txt", ""},      {"k-fd", "--pin fd:3 3<pin.txt", ""},
      {"k-var", "", "QELVORLENT_PIN=s3cret-1 "},
  };
  for (const auto& c : cases) {
    auto made = Vorlent(std::string("keys new-container ") + c.name + " " + c.args, c.environment);
    ASSERT_EQ(made.status, 0) << c.name << made.err;
    EXPECT_EQ(made.out.find("s3cret"), std::string::npos);
    EXPECT_EQ(made.err.find("s3cret"), std::string::npos);
    const std::string key = ContainerKey(c.name);
    EXPECT_NE(RunCommand(OpenSsl("pkcs8 -inform DER -in '" + key +
                                 "' -passin pass:wrong -out /dev/null 2>/dev/null")),
              0)
        << c.name;
    EXPECT_EQ(
        RunCommand(OpenSsl("pkcs8 -inform DER -in '" + key + "' -passin pass:s3cret-1 -out /dev/null 2>&1")),
        0)
        << c.name;
  }
  // Without a PIN the key is stored plain.
  ASSERT_EQ(Vorlent("keys new-container k-plain").status, 0);
  EXPECT_EQ(RunCommand(OpenSsl("pkey -inform DER -in '" + ContainerKey("k-plain") + "' -noout 2>&1")), 0);
}

// A PIN source that cannot be read, is not a file, a pipe or a terminal, gives nothing or
// too much, or a pipe nobody writes to, is an error: no container, no request, no key in the clear.
TEST(CliKeys, PinSourcesThatGiveNoPinAreRefused) {
  WriteBytes(TestPath("empty.txt"), "");
  WriteBytes(TestPath("long.txt"), std::string(5000, 'a') + "\n");
  ASSERT_EQ(RunCommand("mkfifo '" + TestPath("silent.fifo") + "'"), 0);
  const struct {
    const char* name;
    std::string args;
    int status;
    std::string message;
  } cases[] = {
      {"closed", "--pin fd:7", 1, "vorlent: --pin: дескриптор 7 не открыт\n"},
      {"folder", "--pin fd:3 3<.", 1,
       "vorlent: --pin: дескриптор 3: не обычный файл, не канал и не терминал\n"},
      {"wide", "--pin fd:4294967296", 2, "vorlent: --pin: неверный номер дескриптора 4294967296\n"},
      {"device", "--pin file:/dev/zero", 1,
       "vorlent: --pin: файл /dev/zero: не обычный файл, не канал и не терминал\n"},
      {"empty", "--pin file:empty.txt", 1, "vorlent: --pin: PIN из file:empty.txt пуст\n"},
      {"no-text", "--pin pass:", 1, "vorlent: --pin: PIN из pass: пуст\n"},
      {"long", "--pin file:long.txt", 1, "vorlent: --pin: файл long.txt: первая строка длиннее 4096 байт\n"},
      // the command holds the pipe open for writing itself, so only the wait ends it
      {"silent", "--pin fd:3 3<>silent.fifo", 1,
       "vorlent: --pin: дескриптор 3: канал не дал строки за 1 с\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // `timeout` ends what would hang or grow without the bounds
    auto made = Vorlent(std::string("keys new-container ") + c.name + " -o " + c.name + ".req " + c.args,
                        "QELVORLENT_PIN_WAIT=1 timeout 30 ");
    EXPECT_EQ(made.status, c.status);
    EXPECT_EQ(made.err.substr(0, made.err.find("Использование")), c.message);
    EXPECT_EQ(qvtest::FileMode(ContainerKey(c.name)), -1);
    EXPECT_EQ(qvtest::FileMode(TestPath(std::string(c.name) + ".req")), -1);
  }
  auto password = Vorlent("keys import-key imported '" + PkiPath("user-enc.p8") + "' --password fd:7");
  EXPECT_EQ(password.status, 1);
  EXPECT_EQ(password.err, "vorlent: --password: дескриптор 7 не открыт\n");
  EXPECT_EQ(qvtest::FileMode(ContainerKey("imported")), -1);
  // A pipe opened by name is waited for until its writer writes.
  ASSERT_EQ(
      RunCommand("cd '" + qvtest::TestFolder() +
                 "' && ('" VORLENT_BIN "' keys new-container piped --pin file:silent.fifo >/dev/null 2>&1 & "
                 "echo s3cret-1 >silent.fifo; wait $!)"),
      0);
  EXPECT_EQ(RunCommand(OpenSsl("pkcs8 -inform DER -in '" + ContainerKey("piped") +
                               "' -passin pass:s3cret-1 -out /dev/null 2>&1")),
            0);
}

TEST(CliKeys, ImportKeyOfOpenssl) {
  auto imported = Vorlent("keys import-key signer '" + PkiPath("user.key") + "'");
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(imported.out, "Ключ импортирован в контейнер signer\n");
  // The same key comes back out of the container.
  std::string original;
  std::string stored;
  RunCommand(OpenSsl("pkey -in '" + PkiPath("user.key") + "' -pubout"), &original);
  RunCommand(OpenSsl("pkey -inform DER -in '" + ContainerKey("signer") + "' -pubout"), &stored);
  EXPECT_FALSE(original.empty());
  EXPECT_EQ(original, stored);

  auto encrypted = Vorlent("keys import-key enc '" + PkiPath("user-enc.p8") + "' --password pass:secret");
  EXPECT_EQ(encrypted.status, 0) << encrypted.err;
  auto wrong = Vorlent("keys import-key enc2 '" + PkiPath("user-enc.p8") + "' --password pass:nope");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.out, "");
  EXPECT_EQ(Vorlent("keys import-key signer '" + PkiPath("user.key") + "'").status, 1);
}

// A bundle beyond the bound is refused by its count before anything is stored, as PKCS #7 in
// DER and PEM and as PEM certificates, on import and as the trusted file of a check.
TEST(CliKeys, BundlesOfTooManyCertificatesAreRefusedBeforeStoring) {
  std::string pem = ReadBytes(PkiPath("root.pem"));
  std::string many;
  for (int i = 0; i < 1001; ++i) many += i == 0 ? ReadBytes(PkiPath("inter.pem")) : pem;
  WriteBytes(TestPath("many.pem"), many);
  ASSERT_EQ(RunCommand(OpenSsl("crl2pkcs7 -nocrl -certfile '" + TestPath("many.pem") +
                               "' -outform DER -out '" + TestPath("many.p7b") + "' 2>&1")),
            0);
  ASSERT_EQ(RunCommand(OpenSsl("crl2pkcs7 -nocrl -certfile '" + TestPath("many.pem") + "' -out '" +
                               TestPath("many-pem.p7b") + "' 2>&1")),
            0);
  const std::string refused = "vorlent: В наборе больше допустимых 1000 сертификатов\n";
  for (const char* file : {"many.p7b", "many-pem.p7b", "many.pem"}) {
    SCOPED_TRACE(file);
    auto imported = Vorlent(std::string("keys import-chain ") + file);
    EXPECT_EQ(imported.status, 1);
    EXPECT_EQ(imported.err, refused);
    auto checked = Vorlent(std::string("cert check '") + PkiPath("user.pem") + "' --trusted " + file);
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.err, refused);
  }
  // nothing of the bundle was stored, not even the certificate that leads it
  EXPECT_EQ(Vorlent("keys list --store uCA").out, "В хранилище uCA нет сертификатов\n");
  // At the bound the bundle goes in, each store read once.
  many.resize(many.size() - pem.size());
  WriteBytes(TestPath("most.pem"), many);
  ASSERT_EQ(Vorlent("keys import-chain most.pem").status, 0);
  // both are authorities (critical basicConstraints with cA): 1000 certificates, two distinct
  EXPECT_EQ(Vorlent("keys list --store uCA --json").Json()["keys"].size(), 2u);
}

// What a store cannot read back (a certificate above 1 MiB) it does not take.
TEST(CliKeys, CertificateTooLargeForTheStoreIsRefusedAtImport) {
  WriteBytes(TestPath("big.cnf"),
             "[req]\ndistinguished_name=dn\nx509_extensions=ext\nprompt=no\n[dn]\nCN=big\n"
             "[ext]\nnsComment=" +
                 std::string(1200000, 'A') + "\n");
  ASSERT_EQ(RunCommand(OpenSsl("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
                               TestPath("big.key") + "' -config '" + TestPath("big.cnf") +
                               "' -outform DER -out '" + TestPath("big.cer") + "' 2>&1")),
            0);
  auto imported = Vorlent("keys import-cert big.cer");
  EXPECT_EQ(imported.status, 1);
  EXPECT_NE(imported.err.find("Сертификат больше допустимых 1048576 байт"), std::string::npos)
      << imported.err;
  EXPECT_EQ(Vorlent("keys list --store uAddressBook").out, "В хранилище uAddressBook нет сертификатов\n");
  EXPECT_EQ(RunCommand("ls '" + std::string(std::getenv("QELVORLENT_HOME")) +
                       "/user/stores/addressbook/' | grep -q ."),
            1);
}

TEST(CliSignature, CheckSignatureOfOpensslChosenChecks) {
  WriteBytes(TestPath("doc.txt"), "документ\n");
  ASSERT_EQ(qvtest::OpensslSignDetached(TestPath("doc.txt"), PkiPath("user.cer"), PkiPath("user.key"),
                                        TestPath("doc.p7s")),
            0);
  auto good = Vorlent("check-signature doc.txt doc.p7s --no-chain");
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_NE(good.out.find("Подписант: "), std::string::npos);
  EXPECT_NE(good.out.find("CN=Иванов Иван Иванович"), std::string::npos) << good.out;
  const std::string sha1 = Thumbprint("user.cer");
  EXPECT_EQ(sha1.size(), 40u);
  EXPECT_NE(good.out.find("[" + sha1 + "]"), std::string::npos) << good.out;
  EXPECT_TRUE(EndsWith(good.out, "\nПодпись верна\n")) << good.out;

  auto json = Vorlent("check-signature doc.txt doc.p7s --no-chain --json");
  nlohmann::json doc = json.Json();
  EXPECT_EQ(doc["valid"], true);
  EXPECT_EQ(doc["chain"], false);
  EXPECT_EQ(doc["crl"], false);
  ASSERT_EQ(doc["signers"].size(), 1u);
  EXPECT_EQ(doc["signers"][0]["thumbprint"], sha1);
  EXPECT_EQ(doc["signers"][0]["signingTime"].get<std::string>().size(), 20u);

  // Offline the chain cannot be completed: the intermediate is not in any store.
  auto offline = Vorlent("check-signature doc.txt doc.p7s --offline --json");
  EXPECT_EQ(offline.status, 1);
  EXPECT_EQ(offline.Json()["error"],
            "Не найден сертификат УЦ [Test Intermediate CA]. URL для скачивания: "
            "[http://127.0.0.1:18080/inter.cer]");

  // A signature file beyond any real one is refused before it is read (a sparse file of 64 MiB + 1).
  ASSERT_EQ(RunCommand("truncate -s 67108865 '" + TestPath("huge.p7s") + "'"), 0);
  auto huge = Vorlent("check-signature doc.txt huge.p7s --no-chain");
  EXPECT_EQ(huge.status, 1);
  EXPECT_NE(huge.err.find("файл больше 67108864 байт: huge.p7s"), std::string::npos) << huge.err;

  WriteBytes(TestPath("doc.txt"), "документ изменён\n");
  auto changed = Vorlent("check-signature doc.txt doc.p7s --no-chain");
  EXPECT_EQ(changed.status, 1);
  EXPECT_EQ(changed.out.rfind("Подпись НЕ верна: Ошибка при проверке подписи", 0), 0u) << changed.out;
}

TEST(CliCert, FormalIssuerAndRevocationChecks) {
  auto checked =
      Vorlent("cert check '" + PkiPath("user.cer") + "' --trusted '" + PkiPath("bundle.p7b") + "'");
  ASSERT_EQ(checked.status, 0) << checked.err;
  EXPECT_EQ(checked.out, "Сертификат: Иванов Иван Иванович [" + Thumbprint("user.cer") +
                             "]\n"
                             "Формальная проверка: пройдена\n"
                             "Издатель среди доверенных: найден\n");

  auto selfSigned = Vorlent("cert check '" + PkiPath("nocn.cer") + "' --json");
  EXPECT_EQ(selfSigned.status, 1);
  nlohmann::json doc = selfSigned.Json();
  EXPECT_EQ(doc["formal"]["ok"], false);
  EXPECT_FALSE(doc["formal"]["error"].get<std::string>().empty());

  // Nothing serves the revocation list here: the check fails, it never passes unchecked.
  auto crl = Vorlent("cert check '" + PkiPath("user.cer") + "' --crl --quiet");
  EXPECT_EQ(crl.status, 1);
  EXPECT_EQ(crl.out, "");

  auto notCertificate = Vorlent("cert check '" + PkiPath("user.key") + "'");
  EXPECT_EQ(notCertificate.status, 1);
  EXPECT_EQ(notCertificate.err, "vorlent: Файл не содержит сертификата\n");
}

TEST(CliCert, RevocationCheckShowsTheDatesOfTheListAndWarnsWhenItIsStale) {
  qvtest::LoopbackWebServer server("www");
  ASSERT_FALSE(server.Port().empty());
  std::string log;
  ASSERT_EQ(RunCommand("bash '" QV_SOURCE_DIR "/tests/keys/make-package-pki.sh' '" + TestPath("www") + "' " +
                           server.Port() + " 2>&1",
                       &log),
            0)
      << log;
  auto check = [&](const std::string& last, const std::string& next) {
    EXPECT_EQ(
        RunCommand("cd '" + TestPath("www") +
                   "' && bash -c 'source \"" QV_SOURCE_DIR
                   "/scripts/gost-openssl.sh\" && OPENSSL_CONF=$PWD/openssl.cnf gost_crl ca_inter inter.key "
                   "inter.pem inter.crl \"" +
                   last + "\" \"" + next + "\"' 2>&1"),
        0);
    return Vorlent("cert check www/applicant.pem --trusted www/inter.pem --crl");
  };
  const std::string url = "http://127.0.0.1:" + server.Port() + "/inter.crl";

  // A list past its next update is accepted by the checker, and shown as stale.
  auto stale = check("-20 days", "-2 days");
  EXPECT_NE(stale.out.find("\nОтзыв: не отозван\nСписок отзыва " + url + ": выпущен 20"), std::string::npos)
      << stale.out;
  EXPECT_NE(stale.out.find("\nВНИМАНИЕ: список отзыва устарел: следующий выпуск ожидался 20"),
            std::string::npos)
      << stale.out;
  nlohmann::json doc = Vorlent("cert check www/applicant.pem --trusted www/inter.pem --crl --json").Json();
  EXPECT_EQ(doc["crl"]["ok"], true);
  EXPECT_EQ(doc["crl"]["stale"], true);
  EXPECT_EQ(doc["crl"]["url"], url);
  EXPECT_EQ(doc["crl"]["nextUpdate"].get<std::string>().size(), 23u);

  auto fresh = check("-1 day", "+30 days");
  EXPECT_NE(fresh.out.find("\nОтзыв: не отозван\nСписок отзыва " + url + ": выпущен 20"), std::string::npos)
      << fresh.out;
  EXPECT_EQ(fresh.out.find("устарел"), std::string::npos) << fresh.out;
}

}  // namespace

namespace {

TEST(CliKeys, Pkcs12GoesToAContainerAndMyAndLinkMovesIt) {
  auto imported = Vorlent("keys import-key pfx '" + PkiPath("user.p12") + "' --password pass:secret --json");
  ASSERT_EQ(imported.status, 0) << imported.err;
  const std::string sha1 = Thumbprint("user.cer");
  EXPECT_EQ(imported.Json()["key"]["thumbprint"], sha1);
  EXPECT_EQ(imported.Json()["key"]["container"], "pfx");
  EXPECT_EQ(qvtest::Headlines(Vorlent("keys list").out), sha1 + "  Иванов Иван Иванович  [pfx]\n");

  ASSERT_EQ(Vorlent("keys import-key other '" + PkiPath("user.key") + "'").status, 0);
  auto linked = Vorlent("keys link " + sha1 + " other");
  ASSERT_EQ(linked.status, 0) << linked.err;
  EXPECT_EQ(linked.out, "Сертификат " + sha1 + " связан с контейнером other\n");
  EXPECT_EQ(qvtest::Headlines(Vorlent("keys list").out), sha1 + "  Иванов Иван Иванович  [other]\n");
  EXPECT_EQ(Vorlent("keys containers").out, "other\npfx\n");

  auto recipient = Vorlent("keys import-cert '" + PkiPath("user.pem") + "'");
  ASSERT_EQ(recipient.status, 0) << recipient.err;
  EXPECT_EQ(recipient.out, "Сертификат импортирован в uAddressBook: " + sha1 + "\n");
  EXPECT_EQ(qvtest::Headlines(Vorlent("keys list --store uAddressBook").out),
            sha1 + "  Иванов Иван Иванович\n");
}

TEST(CliDownload, FetchesFromALoopbackServerAndFailsClearly) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  qvtest::LoopbackWebServer server("www");
  const std::string port = server.Port();
  WriteBytes(TestPath("www/file.bin"), bytes);
  ASSERT_FALSE(port.empty());
  auto got = Vorlent("download http://127.0.0.1:" + port + "/file.bin -o got.bin");
  auto quiet = Vorlent("download http://127.0.0.1:" + port + "/file.bin -o quiet.bin --quiet");
  server.Stop();
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(got.out, "Загружено 256 байт в got.bin\n");
  EXPECT_EQ(got.err, "Загрузка http://127.0.0.1:" + port + "/file.bin …\n");
  EXPECT_EQ(ReadBytes(TestPath("got.bin")), bytes);
  EXPECT_EQ(quiet.out + quiet.err, "");

  auto refused = Vorlent("download http://127.0.0.1:" + port + "/file.bin -o late.bin");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("vorlent: Ошибка при отправке запроса"), std::string::npos) << refused.err;
}

TEST(CliKeys, PinGivenAsTextIsOverwrittenInTheProcessArguments) {
  WriteBytes(TestPath("a.xml"), "<a/>");
  ASSERT_EQ(
      Vorlent("new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add 01:a.xml").status,
      0);
  // The command waits on a named pipe for its document while its arguments are looked at.
  const std::string pipe = TestPath("slow.pdf");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::vector<std::string> words = {VORLENT_BIN, "add",   TestPath("p.zip"),  "04",
                                    pipe,        "--pin", "pass:TopSecret-1", "--pin=pass:TopSecret-2",
                                    "--quiet"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, VORLENT_BIN, nullptr, nullptr, argv.data(), environ), 0);
  int fd = -1;
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 3000 && fd < 0 && !ended; ++i) {
    fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // succeeds once the command reads
    if (fd < 0) {
      ended = waitpid(pid, &status, WNOHANG) == pid;
      usleep(10000);
    }
  }
  std::string arguments = fd >= 0 ? ReadBytes("/proc/" + std::to_string(pid) + "/cmdline") : "";
  if (fd >= 0) {
    EXPECT_EQ(write(fd, "%PDF", 4), 4);
    close(fd);
  } else if (!ended) {
    kill(pid, SIGKILL);
  }
  if (!ended) waitpid(pid, &status, 0);
  ASSERT_FALSE(arguments.empty()) << "the command never opened its document";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(arguments.find("TopSecret"), std::string::npos) << arguments;
  EXPECT_NE(arguments.find(std::string("--pin\0pass:xxxxxxxxxxx\0--pin=pass:xxxxxxxxxxx\0", 46)),
            std::string::npos)
      << arguments;
  EXPECT_EQ(Vorlent("show p.zip --json").Json()["documents"].size(), 2u);
}

}  // namespace
