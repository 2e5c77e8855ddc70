// The registration flow of a client that knows only the public headers and the shared
// library (client/FlowClient.cc): documents made on one side come back byte for byte on
// the other, in the package and on disk.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "qelvorlent/QelVorlentLib.h"

namespace {

using qv::operator""_cp;

void RegisterServer() {
  typedef HRESULT (*RegisterProc)();
  void* handle = dlopen(QV_SERVER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(reinterpret_cast<RegisterProc>(dlsym(handle, "DllRegisterServer"))(), S_OK);
  dlclose(handle);
}

TEST(FlowClient, FourDocumentsTravelFromTheSenderToTheReceiver) {
  RegisterServer();

  std::string output;
  ASSERT_EQ(qvtest::RunCommand(std::string(QV_TEST_FLOW_CLIENT) + " '" + qvtest::TestFolder() + "'", &output),
            0)
      << output;
  EXPECT_EQ(output,
            "create 00000000\n"
            "added ЗаявлениеЮЛ\n"
            "added ПриложенныйДокумент\n"
            "added ПДГоспошлина\n"
            "added ОписьДокументовЮЛ\n"
            "saved -1\n"
            "sender 2BM-7701234567-770101001\n"
            "files 4\n"
            "file 0 заявление.pdf same 00000000\n"
            "file 1 устав.pdf same 00000000\n"
            "file 2 квитанция.pdf same 00000000\n"
            "file 3 опись.xml same 00000000\n"
            "unload 00000000\n"_cp);

  std::string allBytes;
  for (int i = 0; i < 256; ++i) allBytes += static_cast<char>(i);
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("out_устав.pdf")), allBytes);
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("out_квитанция.pdf")), std::string("fee\0receipt", 11));
  EXPECT_EQ(qvtest::ReadBytes(qvtest::TestPath("out_опись.xml")),
            "<?xml version=\"1.0\" encoding=\"windows-1251\"?><\xEE\xEF\xE8\xF1\xFC/>");
}

// The same flow with the package cryptography: keys bound in "MY" of the client's user, the
// authorities installed, the tax authority's certificate in "addressbook".
TEST(FlowClient, SignedCounterSignedAndEncryptedDocumentsAreDecryptedAndCheckedOnTheOtherSide) {
  RegisterServer();
  using U = qv::CCryptoAPI20Utils;
  std::string pki = qvtest::TestPath("flow-pki");
  std::string output;
  ASSERT_EQ(qvtest::RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/keys/make-package-pki.sh' '" +
                                   pki + "' 1 2>&1",
                               &output),
            0)
      << output;
  auto file = [&](const std::string& name) { return qvtest::ReadBytes(pki + "/" + name); };
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreRoot, {}, U::CertificateFromText(file("root.cer")));
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreCA, {}, U::CertificateFromText(file("inter.cer")));
  U::AddToStore(nullptr, qv::kStoreCurrentUser, qv::kStoreAddressBook, {},
                U::CertificateFromText(file("tax.cer")));
  std::string sha1[3];
  int n = 0;
  for (const char* name : {"applicant", "notary", "tax"}) {
    sha1[n++] =
        qvtest::BindKey(name, file(std::string(name) + ".key"), file(std::string(name) + ".pem"))->Sha1Text();
  }

  ASSERT_EQ(qvtest::RunCommand(std::string(QV_TEST_FLOW_CLIENT) + " '" + qvtest::TestFolder() + "' " +
                                   sha1[0] + " " + sha1[1] + " " + sha1[2] + " 2>&1",
                               &output),
            0)
      << output;
  EXPECT_EQ(output,
            "create 00000000\n"
            "added ЗаявлениеЮЛ\n"
            "added ПриложенныйДокумент\n"
            "added ПДГоспошлина\n"
            "added ОписьДокументовЮЛ\n"
            "signed 1 encrypted -1\n"
            "saved -1\n"
            "sender 2BM-7701234567-770101001\n"
            "files 4\n"
            "file 0 заявление.pdf same 00000000\n"
            "check 0 00000000  signatures 1\n"
            "signer .pdf.zayav_1.p7s Ivanov Ivan Ivanovich\n"
            "signer .pdf.zayav_1.p7s.notarius_1.p7s Notary Petrov\n"
            "file 1 устав.pdf same 00000000\n"
            "check 1 00000000  signatures 1\n"
            "signer .pdf.zayav_1.p7s Ivanov Ivan Ivanovich\n"
            "file 2 квитанция.pdf same 00000000\n"
            "check 2 00000000  signatures 1\n"
            "signer .pdf.zayav_1.p7s Ivanov Ivan Ivanovich\n"
            "file 3 опись.xml same 00000000\n"
            "check 3 00000000  signatures 1\n"
            "signer .xml.zayav_1.p7s Ivanov Ivan Ivanovich\n"
            "unload 00000000\n"_cp);
}

}  // namespace
