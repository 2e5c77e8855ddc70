// The key object: one key record across the automation boundary (IVorlentKey), with the
// library's own access to the certificate behind it (IVorlentKeyContext). Clients never
// create it; the library hands it out and takes it back as an argument.
#pragma once

#include <memory>

#include "automation/AutoObject.h"
#include "package/VorlentKey.h"

namespace qv {

// The certificate handle of IVorlentKeyContext is the address of a CertContextPtr: Get
// gives the address of the object's own (null without a certificate), valid while the
// object lives; Set copies the pointed-to reference (null clears it), so the object keeps
// the certificate valid for its whole life.
class CVorlentKey_class final : public CAutoDual<IVorlentKey>, public IVorlentKeyContext {
 public:
  CVorlentKey_class();
  ~CVorlentKey_class() override;

  // A new empty key object with one reference held by the caller.
  static IVorlentKey* Create();

  QV_AUTO_DUAL_SLOTS(IVorlentKey)

  HRESULT STDMETHODCALLTYPE get_ContainerName(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_ContainerName(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_Sha1(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Sha1(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_SubjectCN(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_SubjectCN(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_SignRole(SIGN_ROLE_TYPES* Value) override;
  HRESULT STDMETHODCALLTYPE put_SignRole(SIGN_ROLE_TYPES Value) override;
  HRESULT STDMETHODCALLTYPE get_CertificateBody(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_CertificateBody(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_Subject(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Subject(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_Issuer(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Issuer(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE Init() override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_SubjectSN(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_SubjectSN(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_SubjectG(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_SubjectG(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_FlagCurrentUserStorage(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_FlagCurrentUserStorage(VARIANT_BOOL Value) override;

  HRESULT STDMETHODCALLTYPE GetCertificateHandle(void** phCertificate) override;
  HRESULT STDMETHODCALLTYPE SetCertificateHandle(void* hCertificate) override;

  const CVorlentKey& Record() const { return *record_; }

 private:
  HRESULT GetText(BSTR* value, const std::string& (CVorlentKey::*getter)() const);
  HRESULT PutText(BSTR value, void (CVorlentKey::*setter)(const std::string&));

  std::unique_ptr<CVorlentKey> record_;
};

}  // namespace qv
