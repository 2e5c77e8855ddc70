// The key record and the key object: defaults, the empty-value trace, conversions between
// records and objects, filling from a certificate checked against openssl, and Init.
#include <gtest/gtest.h>

#include "automation/Conversions.h"
#include "automation/ObjectTestUtil.h"
#include "common/TestEnv.h"
#include "foundation/Errors.h"
#include "platform/CertServices.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"

namespace {

using namespace qvtest;

constexpr HRESULT kFailed = E_UNEXPECTED;

std::string ConformanceCert() {
  return DataPath("conformance/14_rfc4491bis_certs_crls_csrs_pygost/cert_256_paramsetA.pem");
}

qv::CertContextPtr LoadCertificate() {
  qv::CertStorePtr store = qv::OpenFileStore(qv::Utf8ToCp1251(ConformanceCert()));
  if (!store || store->Certificates().empty()) return nullptr;
  return store->Certificates().front();
}

// "SHA1 Fingerprint=AA:BB:..." of the openssl tool as 40 hexadecimal digits.
std::string OpenSslThumbprint(const std::string& path) {
  std::string output;
  EXPECT_EQ(RunCommand("openssl x509 -noout -fingerprint -sha1 -in '" + path + "'", &output), 0);
  std::string digits;
  for (char c : output.substr(output.find('=') + 1)) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += static_cast<char>(std::toupper(c));
  }
  return digits;
}

TEST(KeyObject, ANewKeyIsAnApplicantInTheMachineKeySet) {
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  ASSERT_EQ(key->get_SignRole(&role), S_OK);
  EXPECT_EQ(role, SIGN_ROLE_TYPE_APPLICANT);
  VARIANT_BOOL flag = VARIANT_TRUE;
  ASSERT_EQ(key->get_FlagCurrentUserStorage(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  for (auto get : {&IVorlentKey::get_ContainerName, &IVorlentKey::get_Sha1, &IVorlentKey::get_SubjectCN,
                   &IVorlentKey::get_CertificateBody, &IVorlentKey::get_Subject, &IVorlentKey::get_Issuer,
                   &IVorlentKey::get_SubjectSN, &IVorlentKey::get_SubjectG, &IVorlentKey::get_LastError}) {
    EXPECT_EQ(Text(key.Get(), get), "");
  }
  Ref<IVorlentKeyContext> context;
  ASSERT_EQ(key->QueryInterface(IID_IVorlentKeyContext, reinterpret_cast<void**>(context.Out())), S_OK);
  void* handle = &flag;
  ASSERT_EQ(context->GetCertificateHandle(&handle), S_OK);
  EXPECT_EQ(handle, nullptr);
}

TEST(KeyObject, EmptyValuesOfTheTracedFieldsAreStoredWithOneTraceLine) {
  std::vector<std::string> lines;
  qv::SetTraceSink([&](const std::string& line) { lines.push_back(line); });
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  ASSERT_EQ(key->put_Sha1(B("AB")), S_OK);
  EXPECT_TRUE(lines.empty());
  ASSERT_EQ(key->put_Sha1(B("")), S_OK);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Отпечаток подписи не определен (пусто)"_cp), std::string::npos) << lines[0];
  EXPECT_EQ(Text(key.Get(), &IVorlentKey::get_Sha1), "");
  Late late;
  CallByName(key.Get(), u"Issuer", DISPATCH_PROPERTYPUT, Args().Str(""), late);
  EXPECT_EQ(late.hr, S_OK);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("Изготовитель сертификата"_cp), std::string::npos);
  // Untraced fields take empty values silently.
  key->put_ContainerName(B(""));
  key->put_SubjectSN(B(""));
  EXPECT_EQ(lines.size(), 2u);
  qv::SetTraceSink({});
  EXPECT_EQ(LastError(key.Get()), "");
}

TEST(KeyObject, RolesConvertBetweenRecordAndObject) {
  qv::CVorlentKey record;
  record.SetSignRole(qv::kSubjectMFC);
  Ref<IVorlentKey> key(qv::KeyToInterface(&record));
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  ASSERT_EQ(key->get_SignRole(&role), S_OK);
  EXPECT_EQ(role, 10);

  record.SetSignRole(qv::kSubjectFCOD);
  try {
    qv::KeyToInterface(&record);
    ADD_FAILURE() << "a role without an interface value was converted";
  } catch (const qv::CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Неизвестная роль: [11]"_cp);
  }
  Late late;
  CallByName(key.Get(), u"SignRole", DISPATCH_PROPERTYPUT, Args().Int(11), late);
  EXPECT_EQ(late.scode, kFailed);
  EXPECT_EQ(late.description, "Неизвестная роль: [11]"_cp);
  // The failed put leaves the role and the text of the failure.
  ASSERT_EQ(key->get_SignRole(&role), S_OK);
  EXPECT_EQ(role, 10);
  EXPECT_EQ(LastError(key.Get()), "Неизвестная роль: [11]"_cp);
}

TEST(KeyObject, AnObjectBecomesARecordWithoutNamesAndIssuer) {
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  key->put_ContainerName(B("контейнер"_cp));
  key->put_Sha1(B("ABCD"));
  key->put_SubjectCN(B("Петров"_cp));
  key->put_SubjectSN(B("Петров"_cp));
  key->put_SubjectG(B("Пётр"_cp));
  key->put_Subject(B("CN=Петров"_cp));
  key->put_Issuer(B("CN=УЦ"_cp));
  key->put_SignRole(SIGN_ROLE_TYPE_NOTARY);
  key->put_FlagCurrentUserStorage(VARIANT_TRUE);
  std::string body("\x30\x82\x00\x98\xff", 5);
  key->put_CertificateBody(B(body));

  qv::CVorlentKey record;
  qv::KeyFromInterface(key.Get(), &record);
  EXPECT_EQ(record.ContainerName(), "контейнер"_cp);
  EXPECT_EQ(record.Sha1(), "ABCD");
  EXPECT_EQ(record.SubjectCN(), "Петров"_cp);
  EXPECT_EQ(record.SignRole(), qv::kSubjectNotary);
  EXPECT_EQ(record.CertificateBody(), body);
  EXPECT_TRUE(record.FlagCurrentUserStorage());
  EXPECT_EQ(record.Subject(), "");
  EXPECT_EQ(record.Issuer(), "");
  EXPECT_EQ(record.SubjectSN(), "");
  EXPECT_EQ(record.SubjectG(), "");

  Ref<IVorlentKey> back(qv::KeyToInterface(&record));
  EXPECT_EQ(Text(back.Get(), &IVorlentKey::get_Subject), "");
  EXPECT_EQ(Text(back.Get(), &IVorlentKey::get_CertificateBody), body);

  try {
    qv::FileToInterface(nullptr);
    ADD_FAILURE();
  } catch (const qv::CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Передан пустой аргумент: pCVorlentDocument"_cp);
  }
  try {
    qv::KeyToInterface(nullptr);
    ADD_FAILURE();
  } catch (const qv::CVorlentException& e) {
    EXPECT_EQ(e.Message(), "Передан пустой аргумент: pСVorlentKey"_cp);
  }
}

TEST(KeyObject, ARecordFilledFromACertificateAgreesWithOpenSslAndKeepsItsCertificate) {
  qv::CertContextPtr certificate = LoadCertificate();
  ASSERT_TRUE(certificate);
  certificate->SetKeyProv(qv::KeyProvInfo{"контейнер"_cp, "", qv::kProvGost, 0, qv::kAtKeyExchange});
  auto record = std::make_unique<qv::CVorlentKey>();
  record->FillFromCertificate(certificate);
  EXPECT_EQ(record->Sha1(), OpenSslThumbprint(ConformanceCert()));
  EXPECT_EQ(record->SubjectCN(), "Example");
  EXPECT_EQ(record->Subject(), "CN=Example");
  EXPECT_EQ(record->Issuer(), "CN=Example");
  EXPECT_EQ(record->SubjectSN(), "");
  EXPECT_EQ(record->ContainerName(), "контейнер"_cp);
  EXPECT_EQ(record->CertificateBody(), certificate->Encoded());
  EXPECT_TRUE(record->OwnsCertificate());

  Ref<IVorlentKey> key(qv::KeyToInterface(record.get()));
  record.reset();
  certificate.reset();
  // The object holds its own reference to the certificate.
  Ref<IVorlentKeyContext> context;
  ASSERT_EQ(key->QueryInterface(IID_IVorlentKeyContext, reinterpret_cast<void**>(context.Out())), S_OK);
  void* handle = nullptr;
  ASSERT_EQ(context->GetCertificateHandle(&handle), S_OK);
  ASSERT_NE(handle, nullptr);
  const auto& held = *static_cast<const qv::CertContextPtr*>(handle);
  ASSERT_TRUE(held);
  EXPECT_EQ(held->Sha1Text(), OpenSslThumbprint(ConformanceCert()));
  // A temporary record made from the object shares it.
  qv::CVorlentKey temporary;
  qv::KeyFromInterface(key.Get(), &temporary);
  EXPECT_EQ(temporary.Certificate(), held);
  EXPECT_FALSE(temporary.OwnsCertificate());
}

TEST(KeyObject, InitOpensTheNamedContainerOnce) {
  Ref<IVorlentKey> key(qv::CVorlentKey_class::Create());
  key->put_ContainerName(B("нет такого"_cp));
  // The provider's own status, and its text in the system error form: no such key set.
  EXPECT_EQ(key->Init(), static_cast<HRESULT>(0x80090016u));
  EXPECT_EQ(LastError(key.Get()), "System Error.  Code: -2146893802.\r\n" +
                                      qv::CryptErrorText(static_cast<std::int32_t>(0x80090016u)));

  ASSERT_TRUE(qv::CreateKeyContainerFolder(false, "user-keys"));
  key->put_FlagCurrentUserStorage(VARIANT_TRUE);
  key->put_ContainerName(B("user-keys"));
  Late late;
  CallByName(key.Get(), u"Init", DISPATCH_METHOD, Args(), late);
  ASSERT_EQ(late.hr, S_OK) << late.description;
  // A later change of the name does not reopen.
  key->put_ContainerName(B("нет такого"_cp));
  EXPECT_EQ(key->Init(), S_OK);
  auto* object = static_cast<qv::CVorlentKey_class*>(key.Get());
  ASSERT_NE(object->Record().ContainerHandle(), nullptr);
  EXPECT_EQ(object->Record().ContainerHandle()->container, "user-keys");
  EXPECT_FALSE(object->Record().ContainerHandle()->machineKeyset);

  // The machine key set is another set.
  Ref<IVorlentKey> machine(qv::CVorlentKey_class::Create());
  machine->put_ContainerName(B("user-keys"));
  EXPECT_LT(machine->Init(), 0);
}

}  // namespace
