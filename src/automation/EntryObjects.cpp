#include "automation/EntryObjects.h"

#include "automation/Conversions.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"
#include "package/VorlentKey.h"
#include "package/VorlentTool.h"

namespace qv {

// ---------------------------------------------------------------- IVorlentFile

std::shared_ptr<CVorlentDocument> CVorlentFile_class::Entry() const {
  std::shared_ptr<CVorlentDocument> entry = entry_.lock();
  if (!entry || !entry->IsOpened()) RaiseError("Объект документа больше не существует"_cp);
  return entry;
}

HRESULT CVorlentFile_class::get_DocType(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    auto entry = Entry();
    *Value = TextToBstr(CVorlentTool::FindKind(entry->EntryConfig().ThreadKind(), entry->GetKind()).typeName);
  });
}

HRESULT CVorlentFile_class::get_DocTypeCode(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    auto entry = Entry();
    *Value = TextToBstr(CVorlentTool::FindKind(entry->EntryConfig().ThreadKind(), entry->GetKind()).code);
  });
}

HRESULT CVorlentFile_class::put_DocTypeCode(BSTR Value) {
  return Frame([&] {
    auto entry = Entry();
    entry->SetKind(CVorlentTool::FindKindByCode(entry->EntryConfig().ThreadKind(), BstrToText(Value)).kind);
  });
}

HRESULT CVorlentFile_class::get_ContentType(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetContentType());
  });
}

HRESULT CVorlentFile_class::put_ContentType(BSTR Value) {
  return Frame([&] {
    auto entry = Entry();
    std::string text = BstrToText(Value);
    CValueCheckTool::CheckNotEmpty(text, "ContentType");
    entry->SetContentType(text);
  });
}

HRESULT CVorlentFile_class::get_IsCompressed(VARIANT_BOOL* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = ToVariantBool(Entry()->IsCompressed());
  });
}

HRESULT CVorlentFile_class::get_IsEncrypted(VARIANT_BOOL* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = ToVariantBool(Entry()->IsEncrypted());
  });
}

HRESULT CVorlentFile_class::get_DocumentCode(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetDocumentCode());
  });
}

HRESULT CVorlentFile_class::put_DocumentCode(BSTR Value) {
  return Frame([&] { Entry()->SetDocumentCode(BstrToText(Value)); });
}

HRESULT CVorlentFile_class::get_OriginalFilename(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetSourceFileName());
  });
}

HRESULT CVorlentFile_class::put_OriginalFilename(BSTR Value) {
  return Frame([&] { Entry()->SetSourceFileName(BstrToFileName(Value)); });
}

HRESULT CVorlentFile_class::get_Filename(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetFileName());
  });
}

HRESULT CVorlentFile_class::put_Filename(BSTR Value) {
  return Frame([&] { Entry()->SetFileName(BstrToFileName(Value)); });
}

HRESULT CVorlentFile_class::CheckSign(VARIANT_BOOL* bResult) {
  return Frame([&] {
    *CheckOut(bResult, "bResult") = VARIANT_TRUE;
    Entry()->CheckSign(true, true);
  });
}

HRESULT CVorlentFile_class::Sign(IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    *CheckOut(bResult, "bResult") = VARIANT_TRUE;
    auto entry = Entry();
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    entry->Sign(*record);
  });
}

HRESULT CVorlentFile_class::Resign(IVorlentKey* pKey, VARIANT_BOOL* bResult) {
  return Frame([&] {
    *CheckOut(bResult, "bResult") = VARIANT_TRUE;
    auto entry = Entry();
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    entry->Resign(*record);
  });
}

HRESULT CVorlentFile_class::get_RawContent(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetRawContent());
  });
}

HRESULT CVorlentFile_class::CheckSignEx(VARIANT_BOOL bDownloadContent, VARIANT_BOOL bCheckCRL,
                                        VARIANT_BOOL* bResult) {
  return Frame([&] {
    *CheckOut(bResult, "bResult") = VARIANT_TRUE;
    Entry()->CheckSign(FromVariantBool(bDownloadContent), FromVariantBool(bCheckCRL));
  });
}

HRESULT CVorlentFile_class::AddSign(BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole, VARIANT_BOOL* bResult) {
  return Frame([&] {
    *CheckOut(bResult, "bResult") = VARIANT_TRUE;
    auto entry = Entry();
    std::uint8_t role = CVorlentTool::RoleToInternal(enRole);
    entry->AddSign(BstrToText(wsSignatureContent), role);
  });
}

HRESULT CVorlentFile_class::SaveRawContent(BSTR wsFilename) {
  return Frame([&] { Entry()->SaveRawContent(BstrToFileName(wsFilename)); });
}

HRESULT CVorlentFile_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

// ---------------------------------------------------------------- IVorlentSignature

std::shared_ptr<CVorlentSignature> CVorlentSignature_class::Entry() const {
  std::shared_ptr<CVorlentSignature> entry = entry_.lock();
  if (!entry || !entry->IsOpened()) RaiseError("Объект подписи больше не существует"_cp);
  return entry;
}

HRESULT CVorlentSignature_class::get_Filename(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetFileName());
  });
}

HRESULT CVorlentSignature_class::put_Filename(BSTR Value) {
  return Frame([&] {
    auto entry = Entry();
    std::string name = BstrToFileName(Value);
    CValueCheckTool::CheckNotEmpty(name, "signFilename");
    entry->SetFileName(name);
  });
}

HRESULT CVorlentSignature_class::get_SignKey(IVorlentKey** Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = KeyToInterface(Entry()->Key());
  });
}

HRESULT CVorlentSignature_class::AddSign(BSTR wsSignatureContent, SIGN_ROLE_TYPES enRole,
                                         VARIANT_BOOL* bResult) {
  return Frame([&] {
    *CheckOut(bResult, "bResult") = VARIANT_TRUE;
    auto entry = Entry();
    std::uint8_t role = CVorlentTool::RoleToInternal(enRole);
    entry->AddSign(BstrToText(wsSignatureContent), role);
  });
}

HRESULT CVorlentSignature_class::get_SignatureContent(BSTR* Value) {
  return Frame([&] {
    CheckOut(Value, "Value");
    *Value = TextToBstr(Entry()->GetContent());
  });
}

HRESULT CVorlentSignature_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

}  // namespace qv
