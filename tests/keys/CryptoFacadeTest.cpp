// The cryptography facade: the key-management tool's store checks and container binding, and the
// package model's verification with its signer list.
#include <gtest/gtest.h>

#include "common/TestEnv.h"
#include "crypto/CmsTestKit.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoUtils.h"
#include "crypto/VorlentCryptoTool.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "keys/PackageCryptoService.h"
#include "package/VorlentKey.h"
#include "pki/TestPki.h"

using namespace qv;
using namespace qvtest;
using U = CCryptoAPI20Utils;

TEST(CryptoFacade, StoresAndArgumentsAreCheckedBeforeAnyStoreOpens) {
  CCryptoAPI20Tool tool;
  ASSERT_NE(tool.Handle(), nullptr);
  EXPECT_EQ(tool.ProviderType(), 75u);
  EXPECT_EQ(tool.Location(), 2);
  CStrArray list;
  EXPECT_EQ(Message([&] { tool.FindBySha1(0, "AB"); }), "Неизвестное имя хранилища"_cp);
  EXPECT_EQ(Message([&] { tool.EnumStore(kStoreMy, nullptr); }), "Передан пустой аргумент: certArray"_cp);
  EXPECT_EQ(Message([&] { tool.FindBySha1(kStoreMy, ""); }), "Передан пустой аргумент: sSha1"_cp);
  EXPECT_EQ(Message([&] { tool.CertificateFromBody(""); }), "Передан пустой аргумент: CertificateBody"_cp);
  EXPECT_EQ(Message([&] { tool.GetCertificateBody(nullptr); }), "Передан пустой аргумент: CertContext"_cp);
  EXPECT_EQ(Message([&] { tool.ImportP7B(""); }), "Передан пустой аргумент: p7b-body"_cp);
  tool.SetLocation(0);
  EXPECT_EQ(Message([&] { tool.EnumStore(kStoreMy, &list); }), "Неизвестное хранилище"_cp);

  // An opponent certificate goes in without a container, and has none.
  tool.SetLocation(kStoreCurrentUser);
  CertContextPtr cert = tool.CertificateFromBody(PkiBytes("user.cer"));
  tool.AddToStore(kStoreAddressBook, cert, {});
  CertContextPtr found = tool.FindBySha1(kStoreAddressBook, cert->Sha1Text());
  ASSERT_TRUE(found);
  EXPECT_EQ(tool.GetContainerName(found), "");
  EXPECT_EQ(tool.GetCertificateBody(found), cert->Encoded());
  tool.EnumStore(kStoreAddressBook, &list);
  EXPECT_EQ(list.Count(), 1);
}

TEST(CryptoFacade, KeyProviderPropertyAndContainerLinks) {
  CCryptoAPI20Tool tool;
  CertContextPtr cert = U::CertificateFromText(PkiBytes("user.cer"));
  tool.SetKeyProvInfo(cert, "box", false);
  ASSERT_TRUE(cert->KeyProv());
  EXPECT_EQ(cert->KeyProv()->flags, 0u);
  EXPECT_EQ(cert->KeyProv()->keySpec, 1u);
  EXPECT_EQ(tool.GetContainerName(cert), "box");
  tool.SetKeyProvInfo(cert, "box", true);
  EXPECT_EQ(cert->KeyProv()->flags, 1u);

  // A container that does not exist is named in the message; the tool keeps its own context.
  const CProviderContext* own = tool.Handle();
  std::string message = Message([&] { tool.LinkToContainer(cert, "нет такого"_cp, false); });
  EXPECT_EQ(message.rfind("Ошибка при инициализации с контейнером [нет такого] криптопровайдера: "_cp, 0), 0u)
      << Cp1251ToUtf8(message);
  EXPECT_EQ(tool.Handle(), own);

  // A real container: the certificate is written into it and bound.
  ImportPkcs8Key(false, "linked", PkiBytes("user.key"), {}, {});
  CertContextPtr fresh = U::CertificateFromText(PkiBytes("user.cer"));
  tool.LinkToContainer(fresh, "linked", true);
  EXPECT_EQ(tool.GetContainerName(fresh), "linked");
  EXPECT_EQ(fresh->KeyProv()->flags, 1u);
}

TEST(CryptoFacade, VerificationFillsTheSignerListWithTheCertificateAndAKeyRecord) {
  InstallPackageCrypto();
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreRoot, {}, U::CertificateFromText(PkiBytes("root.cer")));
  U::AddToStore(nullptr, kStoreCurrentUser, kStoreCA, {}, U::CertificateFromText(PkiBytes("inter.cer")));
  std::string content = "content";
  std::string in = Put("content.bin", content);
  std::string out = TestPath("content.p7s");
  std::string output;
  ASSERT_EQ(RunCommand(OpenSsl("cms -sign -binary -outform DER -md md_gost12_256 -in '" + in + "' -signer '" +
                               PkiPath("user.cer") + "' -inkey '" + PkiPath("user.key") + "' -out '" + out +
                               "' 2>&1"),
                       &output),
            0)
      << output;
  std::string signature = ReadBytes(out);
  CStrArray list;
  list.SetOwnership(CStrArray::kOwnDestroy);
  EXPECT_EQ(
      Message([&] { CVorlentCryptoTool::VerifySignature(true, content, signature, nullptr, false, false); }),
      "Передан пустой аргумент: pSignerList"_cp);
  CVorlentCryptoTool::VerifySignature(true, content, signature, &list, false, false);
  ASSERT_EQ(list.Count(), 2);
  std::string sha1 = U::CertificateFromText(PkiBytes("user.cer"))->Sha1Text();
  EXPECT_EQ(list.Key(0), sha1);
  EXPECT_EQ(list.Key(1), sha1);
  EXPECT_NE(dynamic_cast<CZUMECCertificate*>(static_cast<CBaseClass*>(list.Object(0))), nullptr);
  auto* record = dynamic_cast<CVorlentKey*>(static_cast<CBaseClass*>(list.Object(1)));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Sha1(), sha1);
  EXPECT_EQ(record->CertificateBody(), U::CertificateFromText(PkiBytes("user.cer"))->Encoded());
  // Verified again: the list is refilled, not appended to.
  CVorlentCryptoTool::VerifySignature(true, content, signature, &list, false, false);
  EXPECT_EQ(list.Count(), 2);
  // Over other bytes: the verification's own failure.
  EXPECT_NE(
      Message([&] { CVorlentCryptoTool::VerifySignature(true, "other", signature, &list, false, false); }),
      "<no error>");
}
