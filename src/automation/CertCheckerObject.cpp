#include "automation/CertCheckerObject.h"

#include "automation/KeyCertificate.h"

namespace qv {

CCertChecker_class::CCertChecker_class() : CAutoObject<ICertChecker>(ClassInfo().progId) {}

CCertChecker_class::~CCertChecker_class() = default;

const CClassInfo& CCertChecker_class::ClassInfo() {
  static const CClassInfo info{CLSID_CertChecker, IID_ICertChecker, "CertChecker",
                               "QelVorlentLib.CertChecker", &CreateObject<CCertChecker_class>};
  return info;
}

void CCertChecker_class::CreateEngine() {
  engine_ = std::make_unique<CCertChecker>();
}

HRESULT CCertChecker_class::Init(BSTR wsP7BFileName) {
  return Frame([&] { engine_->Init(BstrToFileName(wsP7BFileName)); });
}

HRESULT CCertChecker_class::CheckFormal(IVorlentKey* pKey) {
  return Frame([&] {
    std::unique_ptr<CCryptCertificate> certificate = CertificateOfKey(pKey, "pKey");
    engine_->CheckFormal(*certificate);
  });
}

HRESULT CCertChecker_class::CheckIssuer(IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    std::unique_ptr<CCryptCertificate> certificate = CertificateOfKey(pKey, "pKey");
    *bResult = ToVariantBool(engine_->CheckIssuer(*certificate));
  });
}

HRESULT CCertChecker_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

HRESULT CCertChecker_class::CheckCrl(IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    std::unique_ptr<CCryptCertificate> certificate = CertificateOfKey(pKey, "pKey");
    *bResult = ToVariantBool(engine_->CheckCrl(*certificate));
  });
}

}  // namespace qv
