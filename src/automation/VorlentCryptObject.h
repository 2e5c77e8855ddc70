// The creatable class VorlentCrypt ("QelVorlentLib.VorlentCrypt") with its dual interface IVorlentCrypt.
#pragma once

#include <memory>

#include "automation/Server.h"

namespace qv {

class CVorlentCrypt;
class CVorlentKey;

class CVorlentCrypt_class final : public CAutoObject<IVorlentCrypt> {
 public:
  CVorlentCrypt_class();
  ~CVorlentCrypt_class() override;
  static const CClassInfo& ClassInfo();

  HRESULT STDMETHODCALLTYPE Init(VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE GetPrivateKeyCount(LONG* iResult) override;
  HRESULT STDMETHODCALLTYPE GetPrivateKey(LONG iIndex, IVorlentKey** pResult) override;
  HRESULT STDMETHODCALLTYPE GetOpponentKeyCount(LONG* iResult) override;
  HRESULT STDMETHODCALLTYPE GetOpponentKey(LONG iIndex, IVorlentKey** pResult) override;
  HRESULT STDMETHODCALLTYPE ImportP7BChain(BSTR wsP7BFileContent) override;
  HRESULT STDMETHODCALLTYPE ImportOpponentCertificate(BSTR wsCertificateBody, IVorlentKey** pResult) override;
  HRESULT STDMETHODCALLTYPE ImportPrivateCertificate(BSTR wsCertificateBody, BSTR wsContainerName,
                                                     IVorlentKey** pResult) override;
  HRESULT STDMETHODCALLTYPE CheckSignature(BSTR wsContent, BSTR wsSignature) override;
  HRESULT STDMETHODCALLTYPE GetContainerCount(LONG* iResult) override;
  HRESULT STDMETHODCALLTYPE GetContainer(LONG iIndex, BSTR* wsResult) override;
  HRESULT STDMETHODCALLTYPE GetOpponentKeyBySha1(BSTR wsSha1, IVorlentKey** pResult) override;
  HRESULT STDMETHODCALLTYPE GetPrivateKeyBySha1(BSTR wsSha1, IVorlentKey** pResult) override;
  HRESULT STDMETHODCALLTYPE IsCryptographyOk(VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_FlagUsageUserStorage(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_FlagUsageUserStorage(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE LinkPrivateKey(IVorlentKey* pKey, VARIANT_BOOL bCaching) override;
  HRESULT STDMETHODCALLTYPE SignFile(BSTR wsFilename, IVorlentKey* pKey, BSTR wsSignFileName) override;
  HRESULT STDMETHODCALLTYPE SetPrivateKeyCaching(IVorlentKey* pKey, VARIANT_BOOL bCaching) override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE DownloadFile(BSTR wsUrl, BSTR wsFilename) override;

 protected:
  void CreateEngine() override;

 private:
  // A new key object for a record; `currentUser` goes to its FlagCurrentUserStorage.
  static IVorlentKey* HandOut(const CVorlentKey& record, bool currentUser);

  std::unique_ptr<CVorlentCrypt> engine_;
  bool flagUsageUserStorage_ = true;
};

}  // namespace qv
