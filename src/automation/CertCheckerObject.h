// The creatable class CertChecker ("QelVorlentLib.CertChecker") with its dual interface ICertChecker.
//
// CheckFormal needs no Init. CheckIssuer before a successful Init fails with
// "Не загружены доверенные сертификаты: проверка издателя возможна только после Init";
// CheckCrl before Init looks the issuer of the lists up in the "CA" and "ROOT" stores only.
#pragma once

#include <memory>

#include "automation/Server.h"
#include "validation/CertChecker.h"

namespace qv {

class CCertChecker_class final : public CAutoObject<ICertChecker> {
 public:
  CCertChecker_class();
  ~CCertChecker_class() override;
  static const CClassInfo& ClassInfo();

  HRESULT STDMETHODCALLTYPE Init(BSTR wsP7BFileName) override;
  HRESULT STDMETHODCALLTYPE CheckFormal(IVorlentKey* pKey) override;
  HRESULT STDMETHODCALLTYPE CheckIssuer(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE CheckCrl(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;

 protected:
  void CreateEngine() override;

 private:
  std::unique_ptr<CCertChecker> engine_;
};

}  // namespace qv
