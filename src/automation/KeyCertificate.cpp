#include "automation/KeyCertificate.h"

#include "automation/AutoObject.h"
#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"

namespace qv {

namespace {

// Releases an interface reference taken by QueryInterface.
struct ReleaseInterface {
  void operator()(IUnknown* p) const { p->Release(); }
};

}  // namespace

std::unique_ptr<CCryptCertificate> CertificateOfKey(IVorlentKey* key, const char* name) {
  if (!key) RaiseNullArgument(name);
  void* raw = nullptr;
  HRESULT hr = key->QueryInterface(IID_IVorlentKeyContext, &raw);
  if (FAILED(hr) || !raw) {
    throw COSException("Такой интерфейс не поддерживается"_cp, E_NOINTERFACE);
  }
  std::unique_ptr<IVorlentKeyContext, ReleaseInterface> context(static_cast<IVorlentKeyContext*>(raw));
  void* handle = nullptr;
  hr = context->GetCertificateHandle(&handle);
  if (FAILED(hr)) throw COSException(SystemErrorText(hr), hr);
  const CertContextPtr* certificate = static_cast<const CertContextPtr*>(handle);
  if (!certificate || !*certificate) RaiseErrorFmt("Объект ключа %s не содержит сертификата"_cp, {name});
  // a reference of the checker's own: the key may let its certificate go once the call ends
  return CCryptCertificate::Create(*certificate);
}

}  // namespace qv
