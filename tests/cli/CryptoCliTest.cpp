// vorlent signing, counter-signing, encryption, verification and detached signatures, on the
// sandbox the demo leaves behind: the sender's home with the applicant's and the notary's keys,
// the receiver's with the tax authority's, and the demo's own PKI. The demo's server is gone
// afterwards, so the checks here run with the imported chain and without revocation lists.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "cli/CliTest.h"
#include "pki/TestPki.h"

namespace {

using nlohmann::json;
using qvtest::OpenSsl;
using qvtest::ReadBytes;
using qvtest::RunCommand;
using qvtest::TestPath;
using qvtest::Vorlent;
using qvtest::WriteBytes;

// Runs the demo once in the test folder; the commands below run as one of its sides.
class CliCrypto : public ::testing::Test {
 protected:
  void SetUp() override {
    auto demo = Vorlent("demo sandbox");
    ASSERT_EQ(demo.status, 0) << demo.out << demo.err;
    ASSERT_NE(demo.out.find("пропущено 0, ошибок 0"), std::string::npos) << demo.out;
    applicant_ = Thumbprint("applicant");
    notary_ = Thumbprint("notary");
    fns_ = Thumbprint("fns");
  }

  static std::string Side(const std::string& side) {
    const std::string root = TestPath("sandbox/" + side);
    return "QELVORLENT_HOME='" + root + "/home' QELVORLENT_REGISTRY='" + root + "/registry' TMP='" + root +
           "/tmp' ";
  }
  static qvtest::CliResult Receiver(const std::string& args) { return Vorlent(args, Side("receiver")); }

  static std::string Pki(const std::string& name) { return TestPath("sandbox/pki/" + name); }
  static std::string Thumbprint(const std::string& name) {
    std::string text;
    RunCommand(OpenSsl("x509 -in '" + Pki(name + ".pem") + "' -noout -fingerprint -sha1"), &text);
    std::string hex;
    for (char c : text.substr(text.find('=') + 1)) {
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    }
    return hex;
  }

  std::string applicant_;
  std::string notary_;
  std::string fns_;
};

TEST_F(CliCrypto, KeysOfBothSides) {
  auto keys = Vorlent("keys list", Side("sender"));
  ASSERT_EQ(keys.status, 0) << keys.err;
  // In thumbprint order, each with its container.
  std::string a = applicant_ + "  Иванов Иван Иванович  [applicant]\n";
  std::string n = notary_ + "  Петрова Мария Сергеевна  [notary]\n";
  EXPECT_EQ(qvtest::Headlines(keys.out), applicant_ < notary_ ? a + n : n + a);
  json book = Vorlent("keys list --store uAddressBook --json", Side("sender")).Json();
  ASSERT_EQ(book["keys"].size(), 1u);
  EXPECT_EQ(book["keys"][0]["thumbprint"], fns_);
  EXPECT_EQ(book["keys"][0]["subjectCN"], "Межрайонная ИФНС России № 46");
  EXPECT_EQ(Vorlent("keys containers", Side("receiver")).out, "fns\n");
  auto doctor = Vorlent("doctor --json", Side("sender"));
  EXPECT_EQ(doctor.status, 0) << doctor.out;
  EXPECT_EQ(doctor.Json()["healthy"], true);
}

TEST_F(CliCrypto, ReceivedPackageVerifiesAndAForeignSignatureDoesNot) {
  auto verified = Receiver("verify sandbox/received.zip --no-crl --json");
  ASSERT_EQ(verified.status, 0) << verified.out << verified.err;
  json doc = verified.Json();
  EXPECT_EQ(doc["valid"], true);
  ASSERT_EQ(doc["signatures"].size(), 3u);
  for (const json& signature : doc["signatures"]) {
    EXPECT_EQ(signature["valid"], true);
    EXPECT_EQ(signature["role"], "applicant");
    EXPECT_EQ(signature["thumbprint"], applicant_);
    ASSERT_EQ(signature["countersignatures"].size(), 1u);
    EXPECT_EQ(signature["countersignatures"][0]["role"], "notary");
    EXPECT_EQ(signature["countersignatures"][0]["thumbprint"], notary_);
    EXPECT_EQ(signature["countersignatures"][0]["valid"], true);
  }

  // A signature of the applicant over other bytes, attached to the first document.
  WriteBytes(TestPath("other.txt"), "не тот документ\n");
  ASSERT_EQ(qvtest::OpensslSignDetached(TestPath("other.txt"), Pki("applicant.pem"), Pki("applicant.key"),
                                        TestPath("sandbox/other.p7s")),
            0);
  auto attached = Receiver(
      "attach-signature sandbox/received.zip --doc заявление.xml sandbox/other.p7s --role "
      "applicant");
  ASSERT_EQ(attached.status, 0) << attached.err;
  EXPECT_EQ(attached.out, "Подпись other.p7s добавлена к документу [0]\n");
  auto broken = Receiver("verify sandbox/received.zip --no-crl");
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.out.find("[0] заявление.xml applicant Иванов Иван Иванович [" + applicant_ +
                            "]: ОШИБКА: Ошибка при проверке подписи"),
            std::string::npos)
      << broken.out;
  EXPECT_NE(
      broken.out.find("[2] квитанция.pdf applicant Иванов Иван Иванович [" + applicant_ + "]: подпись верна"),
      std::string::npos)
      << broken.out;
  EXPECT_EQ(broken.out.substr(broken.out.rfind("Есть")), "Есть неверные или отсутствующие подписи\n");
}

TEST_F(CliCrypto, EncryptedPackageOpensOnlyForItsRecipient) {
  // The sender's copy stays encrypted; the sender has no key of the tax authority.
  auto shown = Vorlent("show sandbox/package.zip --json", Side("sender"));
  ASSERT_EQ(shown.status, 0);
  json doc = shown.Json();
  EXPECT_EQ(doc["encrypted"], true);
  int encrypted = 0;
  for (const json& d : doc["documents"]) encrypted += d["encrypted"].get<bool>() ? 1 : 0;
  EXPECT_GT(encrypted, 0);
  auto verify = Vorlent("verify sandbox/package.zip --no-crl", Side("sender"));
  EXPECT_EQ(verify.status, 1);
  EXPECT_NE(verify.out.find("документ зашифрован, сначала расшифруйте пакет (vorlent decrypt)"),
            std::string::npos);
  auto extract = Vorlent("extract sandbox/package.zip -d out", Side("sender"));
  EXPECT_EQ(extract.status, 1);
  EXPECT_NE(extract.err.find("зашифрован: сначала расшифруйте пакет (vorlent decrypt)"), std::string::npos);
  const std::string before = ReadBytes(TestPath("sandbox/package.zip"));
  auto decrypt = Vorlent("decrypt sandbox/package.zip", Side("sender"));
  EXPECT_EQ(decrypt.status, 1);
  EXPECT_NE(decrypt.err, "");
  EXPECT_EQ(ReadBytes(TestPath("sandbox/package.zip")), before);

  // A fresh package encrypted by certificate file opens on the receiver's side.
  WriteBytes(TestPath("sandbox/a.xml"), "<a/>");
  ASSERT_EQ(Vorlent("new sandbox/p2.zip --transaction ul-reg --sender abonent:1 --receiver fns:7746 "
                    "--add 02:sandbox/a.xml",
                    Side("sender"))
                .status,
            0);
  // The owner's mode stays through encryption and decryption, whatever the umask.
  ASSERT_EQ(chmod(TestPath("sandbox/p2.zip").c_str(), 0600), 0);
  auto encrypt = Vorlent("encrypt sandbox/p2.zip --cert '" + Pki("fns.pem") + "' --json",
                         "umask 022 && " + Side("sender"));
  ASSERT_EQ(encrypt.status, 0) << encrypt.err;
  EXPECT_EQ(encrypt.Json()["encrypted"], json::array({"a.xml"}));
  EXPECT_EQ(qvtest::FileMode(TestPath("sandbox/p2.zip")), 0600);
  ASSERT_EQ(Vorlent("decrypt sandbox/p2.zip", "umask 022 && " + Side("receiver")).status, 0);
  EXPECT_EQ(qvtest::FileMode(TestPath("sandbox/p2.zip")), 0600);
  ASSERT_EQ(Vorlent("extract sandbox/p2.zip -d out2", Side("receiver")).status, 0);
  EXPECT_EQ(ReadBytes(TestPath("out2/a.xml")), "<a/>");
}

TEST_F(CliCrypto, DetachedSignatureOfAFile) {
  WriteBytes(TestPath("report.txt"), "отчёт\n");
  auto signedFile = Vorlent("sign-file report.txt --key " + applicant_, Side("sender"));
  ASSERT_EQ(signedFile.status, 0) << signedFile.err;
  EXPECT_EQ(signedFile.out, "Подпись: report.txt.p7s\n");
  // openssl agrees.
  WriteBytes(TestPath("chain.pem"), ReadBytes(Pki("root.pem")) + ReadBytes(Pki("inter.pem")));
  std::string opensslSays;
  EXPECT_EQ(RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + TestPath("report.txt.p7s") +
                               "' -content '" + TestPath("report.txt") + "' -CAfile '" +
                               TestPath("chain.pem") + "' -purpose any -out /dev/null 2>&1"),
                       &opensslSays),
            0)
      << opensslSays;
  auto checked = Vorlent("check-signature report.txt report.txt.p7s --no-crl --json", Side("receiver"));
  ASSERT_EQ(checked.status, 0) << checked.out;
  EXPECT_EQ(checked.Json()["signers"][0]["thumbprint"], applicant_);
  EXPECT_EQ(checked.Json()["chain"], true);
  EXPECT_EQ(checked.Json()["crl"], false);
  // Without the authority's chain in its stores, a fresh home cannot complete the chain offline.
  auto stranger = Vorlent("check-signature report.txt report.txt.p7s --offline");
  EXPECT_EQ(stranger.status, 1);
  EXPECT_EQ(stranger.out.rfind("Подпись НЕ верна: ", 0), 0u) << stranger.out;
  auto noKey = Vorlent("sign-file report.txt --key " + fns_, Side("sender"));
  EXPECT_EQ(noKey.status, 1);
  EXPECT_NE(noKey.err, "");
}

// Every signer of a detached signature is verified and chained, or the signature is refused, and
// a signer that was not verified is never shown: a second SignerInfo with a junk signature that
// names the real notary, or with a self-made "Нотариус" certificate that chains to nothing.
// Two good signers are both shown; as a signature of a package the same file is refused.
TEST_F(CliCrypto, EverySignerOfASignatureIsCheckedBeforeItIsShown) {
  WriteBytes(TestPath("report.txt"), "отчёт\n");
  std::string out;
  ASSERT_EQ(RunCommand(OpenSsl("req -new -x509 -newkey gost2012_256 -pkeyopt paramset:A -nodes -utf8 -subj "
                               "'/CN=Нотариус' -days 30 -keyout '" +
                               TestPath("self.key") + "' -out '" + TestPath("self.pem") + "' 2>&1"),
                       &out),
            0)
      << out;
  auto sign = [&](const std::string& second, const std::string& name) {
    std::string log;
    EXPECT_EQ(RunCommand(OpenSsl("cms -sign -binary -in '" + TestPath("report.txt") + "' -signer '" +
                                 Pki("applicant.pem") + "' -inkey '" + Pki("applicant.key") + "' -signer '" +
                                 second + ".pem' -inkey '" + second + ".key' -outform DER -out '" +
                                 TestPath(name) + "' 2>&1"),
                         &log),
              0)
        << log;
  };
  sign(Pki("notary"), "two.p7s");
  sign(TestPath("self"), "self.p7s");
  // The notary's signature, the last field of the file, spoiled.
  std::string junk = ReadBytes(TestPath("two.p7s"));
  junk[junk.size() - 5] ^= 0x40;
  WriteBytes(TestPath("junk.p7s"), junk);

  auto both = Receiver("check-signature report.txt two.p7s --no-crl");
  ASSERT_EQ(both.status, 0) << both.out;
  EXPECT_NE(both.out.find("[" + applicant_ + "]"), std::string::npos) << both.out;
  EXPECT_NE(both.out.find("[" + notary_ + "]"), std::string::npos) << both.out;
  for (const char* refused : {"junk.p7s", "self.p7s"}) {
    SCOPED_TRACE(refused);
    auto checked = Receiver(std::string("check-signature report.txt ") + refused + " --no-crl");
    EXPECT_EQ(checked.status, 1);
    EXPECT_EQ(checked.out.rfind("Подпись НЕ верна: ", 0), 0u) << checked.out;
    EXPECT_EQ(checked.out.find("Подписант"), std::string::npos) << checked.out;
  }
  EXPECT_NE(Receiver("check-signature report.txt junk.p7s --no-crl")
                .out.find("Ошибка при проверке подписи [0x80090006"),
            std::string::npos);

  // As a document's signature in a package, over the document.
  ASSERT_EQ(Receiver("extract sandbox/received.zip -d docs").status, 0);
  ASSERT_EQ(RunCommand(OpenSsl("cms -sign -binary -in '" + TestPath("docs/заявление.xml") + "' -signer '" +
                               Pki("applicant.pem") + "' -inkey '" + Pki("applicant.key") + "' -signer '" +
                               Pki("notary.pem") + "' -inkey '" + Pki("notary.key") +
                               "' -outform DER -out '" + TestPath("sandbox/two.p7s") + "' 2>&1"),
                       &out),
            0)
      << out;
  ASSERT_EQ(
      Receiver("attach-signature sandbox/received.zip --doc заявление.xml sandbox/two.p7s --role applicant")
          .status,
      0);
  auto verified = Receiver("verify sandbox/received.zip --no-crl");
  EXPECT_EQ(verified.status, 1);
  EXPECT_NE(verified.out.find(
                "ОШИБКА: Ошибка при проверке подписи: подпись содержит 2 подписантов, а должна одного"),
            std::string::npos)
      << verified.out;
}

// A file far larger than the bound on the commands' memory is signed and checked in pieces: the
// peak of each process stays under the bound, openssl accepts the signature, and a change in the
// file's last byte is noticed.
TEST_F(CliCrypto, LargeFileSignedAndCheckedInPieces) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr long kPeakKb = 160 * 1024;  // the sanitizers' own memory comes on top
#else
  constexpr long kPeakKb = 32 * 1024;
#endif
  constexpr long kFileMb = 64;
  // Sparse, so that it costs no disk: a first line, zeros, and a last byte.
  WriteBytes(TestPath("big.bin"), "начало\n");
  ASSERT_EQ(RunCommand("cd '" + qvtest::TestFolder() + "' && truncate -s " + std::to_string(kFileMb) +
                       "M big.bin && printf 1 | dd of=big.bin bs=1 seek=$((" + std::to_string(kFileMb) +
                       "*1048576-1)) conv=notrunc status=none"),
            0);
  auto peakKb = [](const std::string& name) { return std::stol("0" + ReadBytes(TestPath(name))); };
  auto measured = [](const std::string& name) { return "/usr/bin/time -f %M -o '" + TestPath(name) + "' "; };

  auto signedFile = Vorlent("sign-file big.bin --key " + applicant_, Side("sender") + measured("sign.kb"));
  ASSERT_EQ(signedFile.status, 0) << signedFile.err;
  EXPECT_GT(peakKb("sign.kb"), 0);
  EXPECT_LT(peakKb("sign.kb"), kPeakKb);
  WriteBytes(TestPath("chain.pem"), ReadBytes(Pki("root.pem")) + ReadBytes(Pki("inter.pem")));
  std::string opensslSays;
  EXPECT_EQ(RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + TestPath("big.bin.p7s") +
                               "' -content '" + TestPath("big.bin") + "' -CAfile '" + TestPath("chain.pem") +
                               "' -purpose any -out /dev/null 2>&1"),
                       &opensslSays),
            0)
      << opensslSays;

  auto checked =
      Vorlent("check-signature big.bin big.bin.p7s --no-crl --json", Side("receiver") + measured("check.kb"));
  ASSERT_EQ(checked.status, 0) << checked.out;
  EXPECT_EQ(checked.Json()["signers"][0]["thumbprint"], applicant_);
  EXPECT_GT(peakKb("check.kb"), 0);
  EXPECT_LT(peakKb("check.kb"), kPeakKb);

  ASSERT_EQ(RunCommand("cd '" + qvtest::TestFolder() + "' && printf 2 | dd of=big.bin bs=1 seek=$((" +
                       std::to_string(kFileMb) + "*1048576-1)) conv=notrunc status=none"),
            0);
  auto changed = Vorlent("check-signature big.bin big.bin.p7s --no-crl", Side("receiver"));
  EXPECT_EQ(changed.status, 1);
  EXPECT_EQ(changed.out.rfind("Подпись НЕ верна: ", 0), 0u) << changed.out;
  // An empty file is no content to check.
  WriteBytes(TestPath("empty.bin"), "");
  auto empty = Vorlent("check-signature empty.bin big.bin.p7s --no-crl", Side("receiver"));
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.out.rfind("Подпись НЕ верна: ", 0), 0u) << empty.out;
}

// Sound behaviour: what a signature covers is exactly what is saved. While another process
// rewrites the document in the package file, back and forth between the bytes opened and a
// forgery that keeps every check sum, signing either fails (the package file changed, or was
// caught half rewritten when it was opened) or saves the very document its new signature covers.
TEST_F(CliCrypto, WhatIsSignedIsWhatIsSavedWhileAnotherProcessRewritesThePackage) {
  std::string big(20 << 20, '\0');
  std::uint32_t x = 2024;
  for (char& c : big) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  WriteBytes(TestPath("big.bin"), big);
  ASSERT_EQ(Vorlent("new plain.zip --transaction ul-reg --sender abonent:2BM-7701234567-770101001 "
                    "--receiver fns:7746 --add 01:application/octet-stream:big.bin",
                    Side("sender"))
                .status,
            0);
  WriteBytes(TestPath("chain.pem"), ReadBytes(Pki("root.pem")) + ReadBytes(Pki("inter.pem")));
  const std::string plain = ReadBytes(TestPath("plain.zip"));
  const std::size_t at = plain.find(big);
  ASSERT_NE(at, std::string::npos);
  int saved = 0;
  for (int round = 0; round < 6; ++round) {
    WriteBytes(TestPath("p.zip"), plain);
    qvtest::CliResult result;
    {
      qvtest::FileRewriter rewriter(TestPath("p.zip"), at, big,
                                    qvtest::KeepingCrc32(big, 5000, "Подпись поставлена под другим текстом"));
      result = Vorlent("sign p.zip --all --key " + applicant_ + " --role applicant", Side("sender"));
    }
    if (result.status != 0) {
      EXPECT_TRUE(result.err.find("изменён после открытия") != std::string::npos ||
                  result.err.find("ошибка при разархивации") != std::string::npos)
          << result.err;
      continue;
    }
    ++saved;
    // the document saved and its one signature, which must cover it
    ASSERT_EQ(RunCommand("cd '" + qvtest::TestFolder() + "' && rm -rf out && unzip -q p.zip -d out"), 0);
    std::string names;
    RunCommand(
        "cd '" + TestPath("out") + "' && ls *.p7s && ls | grep -v -e '.p7s$' -e '^packageDescription.xml$'",
        &names);
    const std::string signature = names.substr(0, names.find('\n'));
    const std::string document = names.substr(signature.size() + 1, names.size() - signature.size() - 2);
    std::string opensslSays;
    EXPECT_EQ(RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + TestPath("out/" + signature) +
                                 "' -content '" + TestPath("out/" + document) + "' -CAfile '" +
                                 TestPath("chain.pem") + "' -purpose any -out /dev/null 2>&1"),
                         &opensslSays),
              0)
        << "round " << round << ": " << opensslSays;
  }
  RecordProperty("saved", saved);
}

}  // namespace
