// The views of an open package's entries: IVorlentFile for a document, IVorlentSignature
// for a signature or counter-signature. A view never owns its entry: it holds a weak
// reference and checks on every call that the entry is still part of its package. After
// the entry was deleted, or the package closed, reopened or restarted, every member of the
// view fails with "Объект документа больше не существует" (file views) or "Объект подписи
// больше не существует" (signature views). A view shares the lock of the package object
// that made it: its calls, the package's calls and the package's destruction run one at a
// time, so what a call reads stays alive until it returns.
#pragma once

#include <memory>

#include "automation/AutoObject.h"
#include "package/VorlentDocument.h"
#include "package/VorlentSignature.h"

namespace qv {

class CVorlentFile_class final : public CAutoDual<IVorlentFile> {
 public:
  explicit CVorlentFile_class(std::weak_ptr<CVorlentDocument> entry) : entry_(std::move(entry)) {}

  HRESULT STDMETHODCALLTYPE get_DocType(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_DocTypeCode(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_DocTypeCode(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_ContentType(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_ContentType(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_IsCompressed(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE get_IsEncrypted(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE get_DocumentCode(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_DocumentCode(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_OriginalFilename(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_OriginalFilename(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_Filename(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Filename(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE CheckSign(VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Sign(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE Resign(IVorlentKey* pKey, VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_RawContent(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE CheckSignEx(VARIANT_BOOL bDownloadContent, VARIANT_BOOL bCheckCRL,
                                        VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE AddSign(BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole,
                                    VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE SaveRawContent(BSTR wsFilename) override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;

  // The entry while it is part of its package; otherwise raises. The caller holds Lock().
  std::shared_ptr<CVorlentDocument> Entry() const;

 private:
  std::weak_ptr<CVorlentDocument> entry_;
};

class CVorlentSignature_class final : public CAutoDual<IVorlentSignature> {
 public:
  explicit CVorlentSignature_class(std::weak_ptr<CVorlentSignature> entry) : entry_(std::move(entry)) {}

  HRESULT STDMETHODCALLTYPE get_Filename(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Filename(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_SignKey(IVorlentKey** Value) override;
  HRESULT STDMETHODCALLTYPE AddSign(BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole,
                                    VARIANT_BOOL* bResult) override;
  HRESULT STDMETHODCALLTYPE get_SignatureContent(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_LastError(BSTR* Value) override;

 private:
  std::shared_ptr<CVorlentSignature> Entry() const;

  std::weak_ptr<CVorlentSignature> entry_;
};

}  // namespace qv
