#include "automation/VorlentObject.h"

#include "automation/Conversions.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"
#include "package/VorlentKey.h"
#include "package/VorlentTool.h"

namespace qv {

CVorlent_class::CVorlent_class() : CAutoObject<IVorlent>(ClassInfo().progId) {}

CVorlent_class::~CVorlent_class() {
  // The views of the entries share the lock: a call on one, on another thread, finishes
  // before the package closes, and the next finds its entry gone.
  std::lock_guard<std::recursive_mutex> guard(*Lock());
  doc_.reset();
}

const CClassInfo& CVorlent_class::ClassInfo() {
  static const CClassInfo info{CLSID_Vorlent, IID_IVorlent, "Vorlent", "QelVorlentLib.Vorlent",
                               &CreateObject<CVorlent_class>};
  return info;
}

void CVorlent_class::CreateEngine() {
  doc_ = std::make_unique<CVorlentDoc>();
  doc_->SetFlagUsageUserStorage(true);
}

CVorlentDoc& CVorlent_class::Doc() {
  if (!doc_) RaiseError("Документ не открыт"_cp);
  return *doc_;
}

HRESULT CVorlent_class::New(TRANSACTION_TYPES enTransactionType, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().New());
    // A value without a transaction gives code 0, refused after the empty package has started.
    Doc().SetTransactionType(CVorlentTool::TransactionToInternal(enTransactionType));
  });
}

HRESULT CVorlent_class::Open(BSTR wsFilename, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().Open(BstrToFileName(wsFilename)));
  });
}

HRESULT CVorlent_class::Close(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().Close());
  });
}

HRESULT CVorlent_class::Save(BSTR wsFilename, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().Save(BstrToFileName(wsFilename)));
  });
}

HRESULT CVorlent_class::Encrypt(IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    *bResult = ToVariantBool(Doc().EncryptAll(*record));
  });
}

HRESULT CVorlent_class::Decrypt(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().DecryptAll());
  });
}

HRESULT CVorlent_class::AddFile(BSTR /*wsDocType*/, BSTR wsDocTypeCode, BSTR wsContentType, BSTR wsFilename,
                                BSTR wsContent, IVorlentFile** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = AddDocument(BstrToText(wsDocTypeCode), BstrToText(wsContentType), BstrToFileName(wsFilename),
                           BstrToText(wsContent));
  });
}

IVorlentFile* CVorlent_class::AddDocument(const std::string& code, const std::string& contentType,
                                          const std::string& fileName, std::string content) {
  // The type name always comes from the kind's row. A failure after the document was
  // appended leaves it in the package; DeleteFile removes it.
  std::shared_ptr<CVorlentDocument> entry = Doc().AddDocument();
  KindInfo kind = CVorlentTool::FindKindByCode(Doc().ThreadKind(), code);
  entry->SetKind(kind.kind);
  CValueCheckTool::CheckNotEmpty(contentType, "ContentType");
  entry->SetContentType(contentType);
  entry->SetSourceFileName(fileName);
  entry->SetContent(std::move(content));
  return FileToInterface(entry, Lock());
}

HRESULT CVorlent_class::GetFileCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    *iResult = Doc().GetFileCount();
  });
}

HRESULT CVorlent_class::GetFile(LONG iIndex, IVorlentFile** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = FileToInterface(Doc().GetFile(iIndex), Lock());
  });
}

HRESULT CVorlent_class::IsOpened(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().IsOpened());
  });
}

HRESULT CVorlent_class::SignFile(BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    *bResult = ToVariantBool(Doc().SignDocument(BstrToFileName(wsFilename), *record));
  });
}

HRESULT CVorlent_class::ReSignFile(BSTR wsFilename, IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    *bResult = ToVariantBool(Doc().ResignDocument(BstrToFileName(wsFilename), *record));
  });
}

HRESULT CVorlent_class::GetFileSignatureCount(LONG iIndex, LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    *iResult = Doc().GetSignatureCount(iIndex);
  });
}

HRESULT CVorlent_class::GetFileSignature(LONG iFileIndex, LONG iSignIndex, IVorlentSignature** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = SignatureToInterface(Doc().GetSignature(iFileIndex, iSignIndex), Lock());
  });
}

HRESULT CVorlent_class::GetFileResignCount(LONG iFileIndex, LONG iSignIndex, LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    *iResult = Doc().GetResignCount(iFileIndex, iSignIndex);
  });
}

HRESULT CVorlent_class::GetFileResign(LONG iFileIndex, LONG iSignIndex, LONG iResignIndex,
                                      IVorlentSignature** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = SignatureToInterface(Doc().GetResign(iFileIndex, iSignIndex, iResignIndex), Lock());
  });
}

HRESULT CVorlent_class::get_IsEncrypted(VARIANT_BOOL* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    int count = Doc().GetFileCount();
    for (int i = 0; i < count; ++i) {
      if (Doc().GetFile(i)->IsEncrypted()) {
        *Value = VARIANT_TRUE;
        break;
      }
    }
  });
}

HRESULT CVorlent_class::get_SenderType(SIGN_ROLE_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = static_cast<SIGN_ROLE_TYPES>(CVorlentTool::SubjectFromInternal(Doc().GetSenderType()));
  });
}

HRESULT CVorlent_class::put_SenderType(SIGN_ROLE_TYPES Value) {
  return Frame([&] { Doc().SetSenderType(CVorlentTool::SubjectToInternal(Value)); });
}

HRESULT CVorlent_class::get_SenderIdentifier(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Doc().GetSenderIdentifier());
  });
}

HRESULT CVorlent_class::put_SenderIdentifier(BSTR Value) {
  return Frame([&] { Doc().SetSenderIdentifier(BstrToText(Value)); });
}

HRESULT CVorlent_class::get_ReceiverType(SIGN_ROLE_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = static_cast<SIGN_ROLE_TYPES>(CVorlentTool::SubjectFromInternal(Doc().GetReceiverType()));
  });
}

HRESULT CVorlent_class::put_ReceiverType(SIGN_ROLE_TYPES Value) {
  return Frame([&] { Doc().SetReceiverType(CVorlentTool::SubjectToInternal(Value)); });
}

HRESULT CVorlent_class::get_ReceiverIdentifier(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Doc().GetReceiverIdentifier());
  });
}

HRESULT CVorlent_class::put_ReceiverIdentifier(BSTR Value) {
  return Frame([&] { Doc().SetReceiverIdentifier(BstrToText(Value)); });
}

HRESULT CVorlent_class::get_DocTransactType(TRANSACTION_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value =
        static_cast<TRANSACTION_TYPES>(CVorlentTool::TransactionFromInternal(Doc().GetTransactionType()));
  });
}

HRESULT CVorlent_class::put_DocTransactType(TRANSACTION_TYPES Value) {
  return Frame([&] { Doc().SetTransactionType(CVorlentTool::TransactionToInternal(Value)); });
}

HRESULT CVorlent_class::DeleteFile(LONG iFileIndex, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().DeleteFile(iFileIndex));
  });
}

HRESULT CVorlent_class::DeleteFileSignatures(LONG iFileIndex, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().DeleteFileSignatures(iFileIndex));
  });
}

HRESULT CVorlent_class::DeleteFileResignatures(LONG iFileIndex, LONG iSignIndex, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().DeleteFileResignatures(iFileIndex, iSignIndex));
  });
}

HRESULT CVorlent_class::EncryptByCertificate(BSTR wsCertBody, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    CVorlentKey record;
    record.SetCertificateBody(BstrToText(wsCertBody));
    *bResult = ToVariantBool(Doc().EncryptAll(record));
  });
}

HRESULT CVorlent_class::get_FlagUsageUserStorage(VARIANT_BOOL* Value) {
  // Frame-less: never fails but for a null pointer.
  if (!Value) return E_POINTER;
  std::lock_guard<std::recursive_mutex> guard(*Lock());
  *Value = ToVariantBool(!doc_ || doc_->GetFlagUsageUserStorage());
  return S_OK;
}

HRESULT CVorlent_class::put_FlagUsageUserStorage(VARIANT_BOOL Value) {
  std::lock_guard<std::recursive_mutex> guard(*Lock());
  if (doc_) doc_->SetFlagUsageUserStorage(FromVariantBool(Value));
  return S_OK;
}

HRESULT CVorlent_class::DeleteFileSignature(LONG iFileIndex, LONG iSignIndex, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(Doc().DeleteFileSignature(iFileIndex, iSignIndex));
  });
}

HRESULT CVorlent_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

HRESULT CVorlent_class::get_Version(BSTR* Value) {
  // Frame-less: a failure is a status and leaves LastError alone.
  if (!Value) return E_POINTER;
  *Value = nullptr;
  return Plain([&] { *Value = TextToBstr(LibraryFileVersion()); });
}

}  // namespace qv
