#include "automation/CertCheckerObject.h"

namespace qv {

CCertChecker_class::CCertChecker_class() : CAutoObject<ICertChecker>(ClassInfo().progId) {}

const CClassInfo& CCertChecker_class::ClassInfo() {
  static const CClassInfo info{CLSID_CertChecker, IID_ICertChecker, "CertChecker",
                               "QelVorlentLib.CertChecker", &CreateObject<CCertChecker_class>};
  return info;
}

HRESULT CCertChecker_class::Init(BSTR /*wsP7BFileName*/) {
  return Frame([&] { RaiseNotAvailable("ICertChecker.Init"); });
}

HRESULT CCertChecker_class::CheckFormal(IVorlentKey* /*pKey*/) {
  return Frame([&] { RaiseNotAvailable("ICertChecker.CheckFormal"); });
}

HRESULT CCertChecker_class::CheckIssuer(IVorlentKey* /*pKey*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("ICertChecker.CheckIssuer");
  });
}

HRESULT CCertChecker_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

HRESULT CCertChecker_class::CheckCrl(IVorlentKey* /*pKey*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("ICertChecker.CheckCrl");
  });
}

}  // namespace qv
