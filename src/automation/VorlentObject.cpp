#include "automation/VorlentObject.h"

namespace qv {

CVorlent_class::CVorlent_class() : CAutoObject<IVorlent>(ClassInfo().progId) {}

const CClassInfo& CVorlent_class::ClassInfo() {
  static const CClassInfo info{CLSID_Vorlent, IID_IVorlent, "Vorlent", "QelVorlentLib.Vorlent",
                               &CreateObject<CVorlent_class>};
  return info;
}

HRESULT CVorlent_class::New(TRANSACTION_TYPES /*enTransactionType*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.New");
  });
}

HRESULT CVorlent_class::Open(BSTR /*wsFilename*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.Open");
  });
}

HRESULT CVorlent_class::Close(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.Close");
  });
}

HRESULT CVorlent_class::Save(BSTR /*wsFilename*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.Save");
  });
}

HRESULT CVorlent_class::Encrypt(IVorlentKey* /*pKey*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.Encrypt");
  });
}

HRESULT CVorlent_class::Decrypt(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.Decrypt");
  });
}

HRESULT CVorlent_class::AddFile(BSTR /*wsDocType*/, BSTR /*wsDocTypeCode*/, BSTR /*wsContentType*/,
                                BSTR /*wsFilename*/, BSTR /*wsContent*/, IVorlentFile** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlent.AddFile");
  });
}

HRESULT CVorlent_class::GetFileCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    RaiseNotAvailable("IVorlent.GetFileCount");
  });
}

HRESULT CVorlent_class::GetFile(LONG /*iIndex*/, IVorlentFile** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlent.GetFile");
  });
}

HRESULT CVorlent_class::IsOpened(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.IsOpened");
  });
}

HRESULT CVorlent_class::SignFile(BSTR /*wsFilename*/, IVorlentKey* /*pKey*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.SignFile");
  });
}

HRESULT CVorlent_class::ReSignFile(BSTR /*wsFilename*/, IVorlentKey* /*pKey*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.ReSignFile");
  });
}

HRESULT CVorlent_class::GetFileSignatureCount(LONG /*iIndex*/, LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    RaiseNotAvailable("IVorlent.GetFileSignatureCount");
  });
}

HRESULT CVorlent_class::GetFileSignature(LONG /*iFileIndex*/, LONG /*iSignIndex*/,
                                         IVorlentSignature** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlent.GetFileSignature");
  });
}

HRESULT CVorlent_class::GetFileResignCount(LONG /*iFileIndex*/, LONG /*iSignIndex*/, LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    RaiseNotAvailable("IVorlent.GetFileResignCount");
  });
}

HRESULT CVorlent_class::GetFileResign(LONG /*iFileIndex*/, LONG /*iSignIndex*/, LONG /*iResignIndex*/,
                                      IVorlentSignature** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    RaiseNotAvailable("IVorlent.GetFileResign");
  });
}

HRESULT CVorlent_class::get_IsEncrypted(VARIANT_BOOL* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    RaiseNotAvailable("IVorlent.IsEncrypted");
  });
}

HRESULT CVorlent_class::get_SenderType(SIGN_ROLE_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    RaiseNotAvailable("IVorlent.SenderType");
  });
}

HRESULT CVorlent_class::put_SenderType(SIGN_ROLE_TYPES /*Value*/) {
  return Frame([&] { RaiseNotAvailable("IVorlent.SenderType"); });
}

HRESULT CVorlent_class::get_SenderIdentifier(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    RaiseNotAvailable("IVorlent.SenderIdentifier");
  });
}

HRESULT CVorlent_class::put_SenderIdentifier(BSTR /*Value*/) {
  return Frame([&] { RaiseNotAvailable("IVorlent.SenderIdentifier"); });
}

HRESULT CVorlent_class::get_ReceiverType(SIGN_ROLE_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    RaiseNotAvailable("IVorlent.ReceiverType");
  });
}

HRESULT CVorlent_class::put_ReceiverType(SIGN_ROLE_TYPES /*Value*/) {
  return Frame([&] { RaiseNotAvailable("IVorlent.ReceiverType"); });
}

HRESULT CVorlent_class::get_ReceiverIdentifier(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    RaiseNotAvailable("IVorlent.ReceiverIdentifier");
  });
}

HRESULT CVorlent_class::put_ReceiverIdentifier(BSTR /*Value*/) {
  return Frame([&] { RaiseNotAvailable("IVorlent.ReceiverIdentifier"); });
}

HRESULT CVorlent_class::get_DocTransactType(TRANSACTION_TYPES* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    RaiseNotAvailable("IVorlent.DocTransactType");
  });
}

HRESULT CVorlent_class::put_DocTransactType(TRANSACTION_TYPES /*Value*/) {
  return Frame([&] { RaiseNotAvailable("IVorlent.DocTransactType"); });
}

HRESULT CVorlent_class::DeleteFile(LONG /*iFileIndex*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.DeleteFile");
  });
}

HRESULT CVorlent_class::DeleteFileSignatures(LONG /*iFileIndex*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.DeleteFileSignatures");
  });
}

HRESULT CVorlent_class::DeleteFileResignatures(LONG /*iFileIndex*/, LONG /*iSignIndex*/,
                                               VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.DeleteFileResignatures");
  });
}

HRESULT CVorlent_class::EncryptByCertificate(BSTR /*wsCertBody*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.EncryptByCertificate");
  });
}

HRESULT CVorlent_class::get_FlagUsageUserStorage(VARIANT_BOOL* Value) {
  // Frame-less: never fails but for a null pointer.
  if (!Value) return E_POINTER;
  *Value = ToVariantBool(flagUsageUserStorage_);
  return S_OK;
}

HRESULT CVorlent_class::put_FlagUsageUserStorage(VARIANT_BOOL Value) {
  flagUsageUserStorage_ = FromVariantBool(Value);
  return S_OK;
}

HRESULT CVorlent_class::DeleteFileSignature(LONG /*iFileIndex*/, LONG /*iSignIndex*/, VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    RaiseNotAvailable("IVorlent.DeleteFileSignature");
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
