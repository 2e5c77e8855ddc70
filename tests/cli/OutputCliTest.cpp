// What vorlent prints for people: names from packages and certificates reach the terminal
// with their control characters escaped, so that they cannot fake or hide a line.
#include <gtest/gtest.h>

#include <string>

#include "cli/CliTest.h"
#include "pki/TestPki.h"

namespace {

using qvtest::ReadBytes;
using qvtest::RunCommand;
using qvtest::TestFolder;
using qvtest::TestPath;
using qvtest::Vorlent;
using qvtest::WriteBytes;

// No control character but the ends of lines, no DEL, no C1 control in UTF-8.
void ExpectTerminalSafe(const std::string& text, const std::string& what) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    EXPECT_FALSE((c < 0x20 && c != '\n') || c == 0x7F) << what << ": byte " << int(c) << " at " << i << "\n"
                                                       << text;
  }
  EXPECT_EQ(text.find("\xC2\x9B"), std::string::npos) << what << "\n" << text;
}

std::size_t Lines(const std::string& text) {
  std::size_t count = 0;
  for (char c : text) count += c == '\n';
  return count;
}

TEST(CliOutput, ControlCharactersFromPackagesAndCertificatesAreEscaped) {
  // A signer whose name fakes a verdict and then hides what follows.
  const std::string cn = "Иванов: подпись верна\x1b[8m\r\nскрыто";
  const std::string cnShown = "Иванов: подпись верна\\x1b[8m\\r\\nскрыто";
  ASSERT_EQ(RunCommand("cd '" + TestFolder() +
                       "' && bash -c 'source \"" QV_SOURCE_DIR
                       "/scripts/gost-openssl.sh\" && gost_openssl_head utf8' > req.cnf"),
            0);
  std::string log;
  ASSERT_EQ(
      RunCommand("cd '" + TestFolder() +
                     "' && OPENSSL_CONF=req.cnf openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:A "
                     "-nodes -keyout signer.key -out signer.pem -days 30 -subj \"/CN=$(printf "
                     "'Иванов: подпись верна\\033[8m\\r\\nскрыто')\" 2>&1",
                 &log),
      0)
      << log;

  // A document whose source name does the same. The library writes no control character but
  // line breaks into a manifest, so the package is made with a stand-in for the escape and
  // then given it the way another writer would (a character reference).
  const std::string name = "a.xml\n[0] a.xml подпись верна\x1b[8m.xml";
  const std::string nameShown = "a.xml\\n[0] a.xml подпись верна\\x1b[8m.xml";
  const std::string standIn = "a.xml\n[0] a.xml подпись верна~[8m.xml";
  WriteBytes(TestPath(standIn), "<a/>");
  ASSERT_EQ(
      Vorlent("new p.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 --add \"01:$(printf "
              "'a.xml\\n[0] a.xml подпись верна~[8m.xml')\"")
          .status,
      0);
  auto unsigned_ = Vorlent("verify p.zip --offline");
  EXPECT_EQ(
      unsigned_.out,
      "[0] a.xml\\n[0] a.xml подпись верна~[8m.xml: нет подписей\nЕсть неверные или отсутствующие подписи\n");

  ASSERT_EQ(qvtest::OpensslSignDetached(TestPath(standIn), TestPath("signer.pem"), TestPath("signer.key"),
                                        TestPath("s.p7s"), &log),
            0)
      << log;
  ASSERT_EQ(Vorlent("attach-signature p.zip --doc 0 s.p7s --role applicant").status, 0);
  ASSERT_EQ(qvtest::CopyWithManifest("p.zip", "p.zip",
                                     [](std::string text) {
                                       for (std::size_t at; (at = text.find("~[8m")) != std::string::npos;)
                                         text.replace(at, 4, "&#27;[8m");
                                       return text;
                                     }),
            0);

  auto verified = Vorlent("verify p.zip --offline --no-chain");
  EXPECT_EQ(verified.status, 0) << verified.err;
  ExpectTerminalSafe(verified.out, "verify");
  EXPECT_EQ(Lines(verified.out), 2u) << verified.out;
  EXPECT_NE(verified.out.find("[0] " + nameShown + " applicant " + cnShown + " ["), std::string::npos)
      << verified.out;
  // The library's message about the certificate is escaped as well.
  auto chain = Vorlent("verify p.zip --offline");
  EXPECT_EQ(chain.status, 1);
  ExpectTerminalSafe(chain.out, "verify with the chain");
  EXPECT_EQ(Lines(chain.out), 2u) << chain.out;

  auto shown = Vorlent("show p.zip");
  ExpectTerminalSafe(shown.out, "show");
  EXPECT_NE(shown.out.find("исходный файл: " + nameShown + "; "), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("подпись applicant: " + cnShown + " ["), std::string::npos) << shown.out;
  // JSON keeps the texts as they are.
  nlohmann::json doc = Vorlent("show p.zip --json").Json();
  EXPECT_EQ(doc["documents"][0]["sourceFile"], name);
  EXPECT_EQ(doc["documents"][0]["signatures"][0]["signer"], cn);

  auto missing =
      Vorlent("sign p.zip --doc \"$(printf 'x\\033[2J')\" --key 0011223344556677889900112233445566778899");
  EXPECT_EQ(missing.err, "vorlent: в пакете нет документа x\\x1b[2J\n");

  ASSERT_EQ(Vorlent("keys import-cert signer.pem").status, 0);
  auto listed = Vorlent("keys list --store uAddressBook");
  ExpectTerminalSafe(listed.out, "keys list");
  EXPECT_NE(listed.out.find("  " + cnShown + "\n"), std::string::npos) << listed.out;
  auto checked = Vorlent("cert check signer.pem");
  ExpectTerminalSafe(checked.out, "cert check");
  EXPECT_EQ(checked.out.rfind("Сертификат: " + cnShown + " [", 0), 0u) << checked.out;
}

}  // namespace
