#include "automation/VorlentCryptObject.h"

namespace qv {

CVorlentCrypt_class::CVorlentCrypt_class() : CAutoObject<IVorlentCrypt>(ClassInfo().progId) {}

const CClassInfo& CVorlentCrypt_class::ClassInfo() {
  static const CClassInfo info{CLSID_VorlentCrypt, IID_IVorlentCrypt, "VorlentCrypt",
                               "QelVorlentLib.VorlentCrypt", &CreateObject<CVorlentCrypt_class>};
  return info;
}

HRESULT CVorlentCrypt_class::Init(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlentCrypt.Init");
  });
}

HRESULT CVorlentCrypt_class::GetPrivateKeyCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    RaiseNotAvailable("IVorlentCrypt.GetPrivateKeyCount");
  });
}

HRESULT CVorlentCrypt_class::GetPrivateKey(LONG /*iIndex*/, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlentCrypt.GetPrivateKey");
  });
}

HRESULT CVorlentCrypt_class::GetOpponentKeyCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    RaiseNotAvailable("IVorlentCrypt.GetOpponentKeyCount");
  });
}

HRESULT CVorlentCrypt_class::GetOpponentKey(LONG /*iIndex*/, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlentCrypt.GetOpponentKey");
  });
}

HRESULT CVorlentCrypt_class::ImportP7BChain(BSTR /*wsP7BFileContent*/) {
  return Frame([&] { RaiseNotAvailable("IVorlentCrypt.ImportP7BChain"); });
}

HRESULT CVorlentCrypt_class::ImportOpponentCertificate(BSTR /*wsCertificateBody*/, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlentCrypt.ImportOpponentCertificate");
  });
}

HRESULT CVorlentCrypt_class::ImportPrivateCertificate(BSTR /*wsCertificateBody*/, BSTR /*wsContainerName*/,
                                                      IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlentCrypt.ImportPrivateCertificate");
  });
}

HRESULT CVorlentCrypt_class::CheckSignature(BSTR /*wsContent*/, BSTR /*wsSignature*/) {
  return Frame([&] { RaiseNotAvailable("IVorlentCrypt.CheckSignature"); });
}

HRESULT CVorlentCrypt_class::GetContainerCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    RaiseNotAvailable("IVorlentCrypt.GetContainerCount");
  });
}

HRESULT CVorlentCrypt_class::GetContainer(LONG /*iIndex*/, BSTR* wsResult) {
  return Frame([&] {
    CheckOut(wsResult, "wsResult");
    RaiseNotAvailable("IVorlentCrypt.GetContainer");
  });
}

HRESULT CVorlentCrypt_class::GetOpponentKeyBySha1(BSTR /*wsSha1*/, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlentCrypt.GetOpponentKeyBySha1");
  });
}

HRESULT CVorlentCrypt_class::GetPrivateKeyBySha1(BSTR /*wsSha1*/, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlentCrypt.GetPrivateKeyBySha1");
  });
}

HRESULT CVorlentCrypt_class::IsCryptographyOk(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlentCrypt.IsCryptographyOk");
  });
}

HRESULT CVorlentCrypt_class::get_FlagUsageUserStorage(VARIANT_BOOL* Value) {
  // Frame-less: never fails but for a null pointer.
  if (!Value) return E_POINTER;
  *Value = ToVariantBool(flagUsageUserStorage_);
  return S_OK;
}

HRESULT CVorlentCrypt_class::put_FlagUsageUserStorage(VARIANT_BOOL Value) {
  return Frame([&] {
    bool value = FromVariantBool(Value);
    if (value == flagUsageUserStorage_) return;
    // The new value stays stored even when the reload fails.
    flagUsageUserStorage_ = value;
    RaiseNotAvailable("IVorlentCrypt.Init");
  });
}

HRESULT CVorlentCrypt_class::LinkPrivateKey(IVorlentKey* /*pKey*/, VARIANT_BOOL /*bCaching*/) {
  return Frame([&] { RaiseNotAvailable("IVorlentCrypt.LinkPrivateKey"); });
}

HRESULT CVorlentCrypt_class::SignFile(BSTR /*wsFilename*/, IVorlentKey* /*pKey*/, BSTR /*wsSignFileName*/) {
  return Frame([&] { RaiseNotAvailable("IVorlentCrypt.SignFile"); });
}

HRESULT CVorlentCrypt_class::SetPrivateKeyCaching(IVorlentKey* /*pKey*/, VARIANT_BOOL /*bCaching*/) {
  return Frame([&] { RaiseNotAvailable("IVorlentCrypt.SetPrivateKeyCaching"); });
}

HRESULT CVorlentCrypt_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

HRESULT CVorlentCrypt_class::DownloadFile(BSTR /*wsUrl*/, BSTR /*wsFilename*/) {
  return Frame([&] { RaiseNotAvailable("IVorlentCrypt.DownloadFile"); });
}

}  // namespace qv
