// The creatable class Vorlent ("QelVorlentLib.Vorlent") with its dual interface IVorlent.
#pragma once

#include <memory>
#include <string>

#include "automation/Server.h"
#include "package/VorlentDoc.h"

namespace qv {

class CVorlent_class final : public CAutoObject<IVorlent> {
 public:
  CVorlent_class();
  ~CVorlent_class() override;
  static const CClassInfo& ClassInfo();

  HRESULT STDMETHODCALLTYPE New(TRANSACTION_TYPES enTransactionType, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Open(BSTR wsFilename, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Close(VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Save(BSTR wsFilename, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Encrypt(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Decrypt(VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE AddFile(BSTR wsDocType, BSTR wsDocTypeCode, BSTR wsContentType, BSTR wsFilename,
                                    BSTR wsContent, IVorlentFile** pResult) override;
  HRESULT STDMETHODCALLTYPE GetFileCount(LONG* iResult) override;
  HRESULT STDMETHODCALLTYPE GetFile(LONG iIndex, IVorlentFile** pResult) override;
  HRESULT STDMETHODCALLTYPE IsOpened(VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE SignFile(BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE ReSignFile(BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE GetFileSignatureCount(LONG iIndex, LONG* iResult) override;
  HRESULT STDMETHODCALLTYPE GetFileSignature(LONG iFileIndex, LONG iSignIndex,
                                             IVorlentSignature** pResult) override;
  HRESULT STDMETHODCALLTYPE GetFileResignCount(LONG iFileIndex, LONG iSignIndex, LONG* iResult) override;
  HRESULT STDMETHODCALLTYPE GetFileResign(LONG iFileIndex, LONG iSignIndex, LONG iResignIndex,
                                          IVorlentSignature** pResult) override;
  HRESULT STDMETHODCALLTYPE get_IsEncrypted(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE get_SenderType(SIGN_ROLE_TYPES* Value) override;
  HRESULT STDMETHODCALLTYPE put_SenderType(SIGN_ROLE_TYPES Value) override;
  HRESULT STDMETHODCALLTYPE get_SenderIdentifier(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_SenderIdentifier(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_ReceiverType(SIGN_ROLE_TYPES* Value) override;
  HRESULT STDMETHODCALLTYPE put_ReceiverType(SIGN_ROLE_TYPES Value) override;
  HRESULT STDMETHODCALLTYPE get_ReceiverIdentifier(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_ReceiverIdentifier(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_DocTransactType(TRANSACTION_TYPES* Value) override;
  HRESULT STDMETHODCALLTYPE put_DocTransactType(TRANSACTION_TYPES Value) override;
  HRESULT STDMETHODCALLTYPE DeleteFile(LONG iFileIndex, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE DeleteFileSignatures(LONG iFileIndex, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE DeleteFileResignatures(LONG iFileIndex, LONG iSignIndex,
                                                   VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE EncryptByCertificate(BSTR wsCertBody, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_FlagUsageUserStorage(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_FlagUsageUserStorage(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE DeleteFileSignature(LONG iFileIndex, LONG iSignIndex,
                                                VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_Version(BSTR* Value) override;

  // AddFile with texts and content already in 1251 (the tools interface hands bytes over
  // without a string of characters on the way); raises on failure.
  IVorlentFile* AddDocument(const std::string& code, const std::string& contentType,
                            const std::string& fileName, std::string content);

  // The package this object holds (for the tools interface, under Lock()).
  CVorlentDoc& Doc();

 protected:
  void CreateEngine() override;

 private:
  // The package, made when the object is initialised and closed with the object.
  std::unique_ptr<CVorlentDoc> doc_;
};

}  // namespace qv
