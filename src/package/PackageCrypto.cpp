#include "package/PackageCrypto.h"

#include <mutex>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "platform/CertServices.h"
#include "platform/Ossl.h"

namespace qv {

namespace {

std::mutex& ServiceLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<CPackageCryptoService>& ServiceSlot() {
  static std::shared_ptr<CPackageCryptoService> service;
  return service;
}

}  // namespace

void ReadSignerKey(const std::string& signature, std::uint8_t role, CVorlentKey& key) {
  CertStorePtr store = OpenPkcs7Store(signature);
  if (!store || store->Certificates().empty()) RaiseError("Подпись не содержит сертификата подписанта"_cp);
  CertContextPtr signer = store->Certificates().front();
  // A signature may carry the signer's authorities as well: the signer is the certificate its
  // first signer information names.
  BioPtr bio = MemoryBio(signature);
  CmsPtr cms(d2i_CMS_bio(bio.get(), nullptr));
  ERR_clear_error();
  if (cms) {
    STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
    if (infos && sk_CMS_SignerInfo_num(infos) > 0) {
      CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, 0);
      for (const CertContextPtr& candidate : store->Certificates()) {
        if (candidate->Cert() && CMS_SignerInfo_cert_cmp(info, candidate->Cert()) == 0) {
          signer = candidate;
          break;
        }
      }
    }
  }
  key.FillFromSignerCertificate(*signer, role);
}

std::unique_ptr<CContentSigning> CSharedSigner::Start(bool currentUser) {
  ContentSigner start;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!opened_) {
      opened_ = true;
      try {
        start_ = PackageCryptoService()->OpenSigner(currentUser, key_);
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
    if (failure_) std::rethrow_exception(failure_);
    start = start_;
  }
  return start();
}

void SetPackageCryptoService(std::shared_ptr<CPackageCryptoService> service) {
  std::lock_guard<std::mutex> guard(ServiceLock());
  ServiceSlot() = std::move(service);
}

std::shared_ptr<CPackageCryptoService> PackageCryptoService() {
  std::shared_ptr<CPackageCryptoService> service;
  {
    std::lock_guard<std::mutex> guard(ServiceLock());
    service = ServiceSlot();
  }
  if (!service) RaisePackageCryptoUnavailable();
  return service;
}

bool PackageCryptoProviderInstalled() {
  std::shared_ptr<CPackageCryptoService> service;
  {
    std::lock_guard<std::mutex> guard(ServiceLock());
    service = ServiceSlot();
  }
  if (!service) return false;
  try {
    return service->IsCryptoProviderInstalled();
  } catch (...) {
    return false;
  }
}

void RequirePackageCryptoProvider(bool installed, const std::string& operation) {
  if (installed) return;
  PackageCryptoService();  // no services at all: say so rather than blame the provider
  RaiseErrorFmt("Не установлен СКЗИ КриптоПро, который требуется для операции: %s"_cp, {operation});
}

}  // namespace qv
