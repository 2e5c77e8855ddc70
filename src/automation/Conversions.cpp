#include "automation/Conversions.h"

#include "automation/AutoObject.h"
#include "automation/EntryObjects.h"
#include "automation/KeyObject.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"
#include "package/VorlentKey.h"
#include "package/VorlentTool.h"

namespace qv {

namespace {

// Raises the failure of a call on a key object with its message and status.
void Check(HRESULT hr) {
  if (SUCCEEDED(hr)) return;
  std::string message;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR description = nullptr;
    if (SUCCEEDED(info->GetDescription(&description))) message = BstrToText(description);
    SysFreeString(description);
    info->Release();
  }
  if (message.empty())
    message = FormatText("Ошибка вызова объекта ключа: 0x%.8x"_cp, {static_cast<unsigned>(hr)});
  throw COSException(message, hr);
}

void PutText(IVorlentKey* key, HRESULT (STDMETHODCALLTYPE IVorlentKey::*put)(BSTR), const std::string& text) {
  CBstr value(TextToBstr(text));
  Check((key->*put)(value.Get()));
}

std::string GetText(IVorlentKey* key, HRESULT (STDMETHODCALLTYPE IVorlentKey::*get)(BSTR*)) {
  CBstr value;
  Check((key->*get)(value.Out()));
  return value.Text();
}

// Releases an interface pointer when it goes out of scope.
template <class I>
struct CReleaser {
  I* pointer = nullptr;
  ~CReleaser() {
    if (pointer) pointer->Release();
  }
  I* Detach() { return std::exchange(pointer, nullptr); }
};

}  // namespace

IVorlentKey* KeyToInterface(const CVorlentKey* record) {
  CValueCheckTool::CheckNotNil(record, "pСVorlentKey"_cp);
  CReleaser<IVorlentKey> key{CVorlentKey_class::Create()};
  PutText(key.pointer, &IVorlentKey::put_ContainerName, record->ContainerName());
  PutText(key.pointer, &IVorlentKey::put_Sha1, record->Sha1());
  PutText(key.pointer, &IVorlentKey::put_SubjectCN, record->SubjectCN());
  PutText(key.pointer, &IVorlentKey::put_SubjectSN, record->SubjectSN());
  PutText(key.pointer, &IVorlentKey::put_SubjectG, record->SubjectG());
  Check(key.pointer->put_SignRole(
      static_cast<SIGN_ROLE_TYPES>(CVorlentTool::RoleFromInternal(record->SignRole()))));
  PutText(key.pointer, &IVorlentKey::put_CertificateBody, record->CertificateBody());
  PutText(key.pointer, &IVorlentKey::put_Subject, record->Subject());
  PutText(key.pointer, &IVorlentKey::put_Issuer, record->Issuer());
  Check(key.pointer->put_FlagCurrentUserStorage(ToVariantBool(record->FlagCurrentUserStorage())));
  CReleaser<IVorlentKeyContext> context;
  Check(key.pointer->QueryInterface(IID_IVorlentKeyContext, reinterpret_cast<void**>(&context.pointer)));
  Check(context.pointer->SetCertificateHandle(
      record->Certificate() ? const_cast<CertContextPtr*>(&record->Certificate()) : nullptr));
  return key.Detach();
}

void KeyFromInterface(IVorlentKey* key, CVorlentKey* record) {
  CValueCheckTool::CheckNotNil(record, "pCVorlentKey");
  CValueCheckTool::CheckNotNil(key, "pKey");
  record->SetContainerName(GetText(key, &IVorlentKey::get_ContainerName));
  record->SetSha1(GetText(key, &IVorlentKey::get_Sha1));
  record->SetSubjectCN(GetText(key, &IVorlentKey::get_SubjectCN));
  SIGN_ROLE_TYPES role = SIGN_ROLE_TYPE_UNKNOWN;
  Check(key->get_SignRole(&role));
  record->SetSignRole(CVorlentTool::RoleToInternal(role));
  record->SetCertificateBody(GetText(key, &IVorlentKey::get_CertificateBody));
  VARIANT_BOOL flag = VARIANT_FALSE;
  Check(key->get_FlagCurrentUserStorage(&flag));
  record->SetFlagCurrentUserStorage(FromVariantBool(flag));
  CReleaser<IVorlentKeyContext> context;
  HRESULT hr = key->QueryInterface(IID_IVorlentKeyContext, reinterpret_cast<void**>(&context.pointer));
  if (hr == E_NOINTERFACE) {
    record->SetCertificate(nullptr);
    return;
  }
  Check(hr);
  void* handle = nullptr;
  Check(context.pointer->GetCertificateHandle(&handle));
  record->SetCertificate(handle ? *static_cast<const CertContextPtr*>(handle) : CertContextPtr());
}

std::unique_ptr<CVorlentKey> KeyArgument(IVorlentKey* key, const char* name) {
  if (!key) RaiseNullArgument(name);
  auto record = std::make_unique<CVorlentKey>();
  KeyFromInterface(key, record.get());
  return record;
}

IVorlentFile* FileToInterface(const std::shared_ptr<CVorlentDocument>& entry, const ObjectLock& lock) {
  CValueCheckTool::CheckNotNil(entry.get(), "pCVorlentDocument");
  auto* view = new CVorlentFile_class(entry);
  if (lock) view->ShareLock(lock);
  view->ObjAddRef();
  return view;
}

IVorlentSignature* SignatureToInterface(const std::shared_ptr<CVorlentSignature>& entry,
                                        const ObjectLock& lock) {
  CValueCheckTool::CheckNotNil(entry.get(), "pCVorlentSignature");
  auto* view = new CVorlentSignature_class(entry);
  if (lock) view->ShareLock(lock);
  view->ObjAddRef();
  return view;
}

}  // namespace qv
