// vorlent on key containers made by the commercial GOST provider (tests/data/provider-containers):
// from the copied folder to a signed package that openssl accepts with the container's
// certificate, and nothing written when the folder cannot be imported.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli/CliTest.h"
#include "pki/TestPki.h"

namespace {

using qvtest::OpenSsl;
using qvtest::ReadBytes;
using qvtest::RunCommand;
using qvtest::TestPath;
using qvtest::Vorlent;

std::string Provider(const std::string& name) {
  return qvtest::DataPath("provider-containers/" + name);
}

std::string KeysFolder() {
  return std::string(std::getenv("QELVORLENT_HOME")) + "/user/keys";
}

struct Sample {
  const char* folder;
  const char* pin;  // the --pin option, empty for none
  const char* subject;
  const char* thumbprint;
  const char* during;  // a time within the certificate's validity, for openssl
};

// Each container goes into a container of ours with its certificate in uMy, in two commands
// ("keys import-container", "sign"); openssl verifies the signature of the package's document
// with the certificate header.key carried, as the trusted one, at a time it was valid.
TEST(CliProviderContainer, CopiedFolderToASignedPackageOpensslAccepts) {
  const Sample samples[] = {
      {"91team/srv.000", "", "CN=test.91.gost.dev", "55B8A6951997C06C86E83D6DD900BEAE4CA94DCF", "1710000000"},
      {"get-cpcert/g2012256.000", "--pin pass:1",
       "C=RU, S=state, L=town, O=org, OU=dep, CN=user, E=user@localhost",
       "77B97AE3E05572A77D185DFEF58D54E3317F1D84", "1554854400"},
      {"get-cpcert/g2012512.000", "--pin pass:1",
       "C=RU, S=state, L=town, O=org, OU=dep, CN=user, E=user@localhost",
       "54AB2259B3D5EC26D59C5B60635482BA3003DC37", "1554854400"},
  };
  qvtest::WriteBytes(TestPath("заявление.xml"), "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a/>");
  int index = 0;
  for (const Sample& sample : samples) {
    SCOPED_TRACE(sample.folder);
    const std::string name = "key" + std::to_string(index);
    const std::string package = "p" + std::to_string(index++) + ".zip";
    auto imported =
        Vorlent("keys import-container '" + Provider(sample.folder) + "' " + name + " " + sample.pin);
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.out, "Ключ из " + Provider(sample.folder) + " импортирован в контейнер " + name +
                                "\nСертификат в uMy: " + sample.subject + " [" + sample.thumbprint + "]\n");
    ASSERT_EQ(Vorlent("new " + package +
                      " --transaction ul-reg --sender abonent:2BM-7701234567-770101001 --receiver fns:7746 "
                      "--add 02:text/xml:заявление.xml")
                  .status,
              0);
    auto signedPackage =
        Vorlent("sign " + package + " --all --key " + sample.thumbprint + " --role applicant " + sample.pin);
    ASSERT_EQ(signedPackage.status, 0) << signedPackage.err;

    const std::string out = TestPath("out" + std::to_string(index));
    ASSERT_EQ(RunCommand("unzip -q '" + TestPath(package) + "' -d '" + out + "'"), 0);
    std::string document;
    RunCommand("cd '" + out + "' && ls | grep -v -e '.p7s$' -e '^packageDescription.xml$'", &document);
    document = document.substr(0, document.find('\n'));
    ASSERT_EQ(RunCommand(OpenSsl("x509 -inform DER -in '" + KeysFolder() + "/" + name +
                                 "/certificate.cer' -out '" + out + ".pem'")),
              0);
    std::string opensslSays;
    EXPECT_EQ(RunCommand(OpenSsl("cms -verify -binary -inform DER -in '" + out + "/" + document +
                                 ".zayav_1.p7s" + "' -content '" + out + "/" + document + "' -CAfile '" +
                                 out + ".pem' -partial_chain -purpose any -attime " + sample.during +
                                 " -out /dev/null 2>&1"),
                         &opensslSays),
              0)
        << opensslSays;
  }
}

// A wrong PIN, no PIN to be had, a damaged file: a clear message naming the folder or the file,
// and no container and no certificate written.
TEST(CliProviderContainer, WhatCannotBeImportedLeavesNothing) {
  const std::string folder = Provider("get-cpcert/g2012256.000");
  auto wrong = Vorlent("keys import-container '" + folder + "' k --pin pass:2");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err, "vorlent: Неверный PIN контейнера ключа [" + folder + "]\n");
  auto none = Vorlent("keys import-container '" + folder + "' k");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "vorlent: Не указан PIN контейнера ключа [" + folder + "]\n");
  ASSERT_EQ(RunCommand("cp -r '" + folder + "' '" + TestPath("copy.000") + "' && truncate -s 50 '" +
                       TestPath("copy.000/masks.key") + "'"),
            0);
  auto damaged = Vorlent("keys import-container copy.000 k --pin pass:1");
  EXPECT_EQ(damaged.status, 1);
  EXPECT_EQ(damaged.err, "vorlent: Файл контейнера ключа [copy.000/masks.key] поврежден: файл обрезан\n");
  EXPECT_EQ(qvtest::FileMode(KeysFolder() + "/k"), -1);
  EXPECT_EQ(Vorlent("keys containers").out, "Контейнеров нет\n");
  EXPECT_EQ(Vorlent("keys list").out, "В хранилище uMy нет сертификатов\n");
}

}  // namespace
