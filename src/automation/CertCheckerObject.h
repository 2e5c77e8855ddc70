// The creatable class CertChecker ("QelVorlentLib.CertChecker") with its dual interface ICertChecker.
#pragma once

#include "automation/Server.h"

namespace qv {

class CCertChecker_class final : public CAutoObject<ICertChecker> {
 public:
  CCertChecker_class();
  static const CClassInfo& ClassInfo();

  HRESULT STDMETHODCALLTYPE Init(BSTR wsP7BFileName) override;
  HRESULT STDMETHODCALLTYPE CheckFormal(IVorlentKey* pKey) override;
  HRESULT STDMETHODCALLTYPE CheckIssuer(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE CheckCrl(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;

 private:
};

}  // namespace qv
