#include "automation/KeyObject.h"

#include "package/VorlentTool.h"

namespace qv {

CVorlentKey_class::CVorlentKey_class() : record_(std::make_unique<CVorlentKey>()) {
  AddInterface(IID_IVorlentKeyContext, static_cast<IVorlentKeyContext*>(this));
}

CVorlentKey_class::~CVorlentKey_class() = default;

IVorlentKey* CVorlentKey_class::Create() {
  auto* object = new CVorlentKey_class();
  object->ObjAddRef();
  return object;
}

HRESULT CVorlentKey_class::GetText(BSTR* value, const std::string& (CVorlentKey::*getter)() const) {
  return Frame([&] {
    CheckOut(value, "Value");
    *value = TextToBstr(((*record_).*getter)());
  });
}

HRESULT CVorlentKey_class::PutText(BSTR value, void (CVorlentKey::*setter)(const std::string&)) {
  return Frame([&] { ((*record_).*setter)(BstrToText(value)); });
}

HRESULT CVorlentKey_class::get_ContainerName(BSTR* Value) {
  return GetText(Value, &CVorlentKey::ContainerName);
}
HRESULT CVorlentKey_class::put_ContainerName(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetContainerName);
}
HRESULT CVorlentKey_class::get_Sha1(BSTR* Value) {
  return GetText(Value, &CVorlentKey::Sha1);
}
HRESULT CVorlentKey_class::put_Sha1(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetSha1);
}
HRESULT CVorlentKey_class::get_SubjectCN(BSTR* Value) {
  return GetText(Value, &CVorlentKey::SubjectCN);
}
HRESULT CVorlentKey_class::put_SubjectCN(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetSubjectCN);
}

HRESULT CVorlentKey_class::get_SignRole(SIGN_ROLE_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = static_cast<SIGN_ROLE_TYPES>(CVorlentTool::RoleFromInternal(record_->SignRole()));
  });
}

HRESULT CVorlentKey_class::put_SignRole(SIGN_ROLE_TYPES Value) {
  return Frame([&] { record_->SetSignRole(CVorlentTool::RoleToInternal(Value)); });
}

HRESULT CVorlentKey_class::get_CertificateBody(BSTR* Value) {
  return GetText(Value, &CVorlentKey::CertificateBody);
}
HRESULT CVorlentKey_class::put_CertificateBody(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetCertificateBody);
}
HRESULT CVorlentKey_class::get_Subject(BSTR* Value) {
  return GetText(Value, &CVorlentKey::Subject);
}
HRESULT CVorlentKey_class::put_Subject(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetSubject);
}
HRESULT CVorlentKey_class::get_Issuer(BSTR* Value) {
  return GetText(Value, &CVorlentKey::Issuer);
}
HRESULT CVorlentKey_class::put_Issuer(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetIssuer);
}

HRESULT CVorlentKey_class::Init() {
  return Frame([&] { record_->Init(); });
}

HRESULT CVorlentKey_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

HRESULT CVorlentKey_class::get_SubjectSN(BSTR* Value) {
  return GetText(Value, &CVorlentKey::SubjectSN);
}
HRESULT CVorlentKey_class::put_SubjectSN(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetSubjectSN);
}
HRESULT CVorlentKey_class::get_SubjectG(BSTR* Value) {
  return GetText(Value, &CVorlentKey::SubjectG);
}
HRESULT CVorlentKey_class::put_SubjectG(BSTR Value) {
  return PutText(Value, &CVorlentKey::SetSubjectG);
}

// Frame-less: never fails but for a null pointer, never touches LastError.
HRESULT CVorlentKey_class::get_FlagCurrentUserStorage(VARIANT_BOOL* Value) {
  if (!Value) return E_POINTER;
  *Value = ToVariantBool(record_->FlagCurrentUserStorage());
  return S_OK;
}

HRESULT CVorlentKey_class::put_FlagCurrentUserStorage(VARIANT_BOOL Value) {
  record_->SetFlagCurrentUserStorage(FromVariantBool(Value));
  return S_OK;
}

HRESULT CVorlentKey_class::GetCertificateHandle(void** phCertificate) {
  return Frame([&] {
    CheckOut(phCertificate, "phCertificate");
    *phCertificate = record_->Certificate() ? const_cast<CertContextPtr*>(&record_->Certificate()) : nullptr;
  });
}

HRESULT CVorlentKey_class::SetCertificateHandle(void* hCertificate) {
  return Frame([&] {
    const auto* handle = static_cast<const CertContextPtr*>(hCertificate);
    record_->SetCertificate(handle ? *handle : CertContextPtr());
  });
}

}  // namespace qv
