// The key-management object over CVorlentCrypt. Messages the engine leaves open are settled
// here and in the engine (see docs/key-management.md):
// - a null key object for SignFile, LinkPrivateKey or SetPrivateKeyCaching fails with
//   "Передан пустой аргумент: pKey" and E_POINTER (KeyArgument), after the guards of the
//   latter two;
// - LinkPrivateKey and SetPrivateKeyCaching without the key's certificate in "MY" fail with
//   "Не найден личный сертификат по отпечатку [%s]";
// - CheckSignature, the imports, LinkPrivateKey and SetPrivateKeyCaching without a successful
//   Init fail with "Криптопровайдер не инициализирован (требуется успешный вызов Init) для
//   операции: %s" (the guarded ones report the provider guard first).
#include "automation/VorlentCryptObject.h"

#include "automation/Conversions.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/ValueCheck.h"
#include "keys/VorlentCrypt.h"
#include "package/VorlentKey.h"

namespace qv {

namespace {

// Holds one reference of a key object until it is handed to the caller.
struct KeyReference {
  IVorlentKey* key;
  ~KeyReference() {
    if (key) key->Release();
  }
  IVorlentKey* Detach() { return std::exchange(key, nullptr); }
};

}  // namespace

CVorlentCrypt_class::CVorlentCrypt_class() : CAutoObject<IVorlentCrypt>(ClassInfo().progId) {}

CVorlentCrypt_class::~CVorlentCrypt_class() = default;

const CClassInfo& CVorlentCrypt_class::ClassInfo() {
  static const CClassInfo info{CLSID_VorlentCrypt, IID_IVorlentCrypt, "VorlentCrypt",
                               "QelVorlentLib.VorlentCrypt", &CreateObject<CVorlentCrypt_class>};
  return info;
}

void CVorlentCrypt_class::CreateEngine() {
  engine_ = std::make_unique<CVorlentCrypt>();
}

IVorlentKey* CVorlentCrypt_class::HandOut(const CVorlentKey& record, bool currentUser) {
  KeyReference key{KeyToInterface(&record)};
  HRESULT status = key.key->put_FlagCurrentUserStorage(ToVariantBool(currentUser));
  if (FAILED(status)) RaiseError("Не удалось задать признак хранилища ключа"_cp);
  return key.Detach();
}

HRESULT CVorlentCrypt_class::Init(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(engine_->Init(flagUsageUserStorage_));
  });
}

HRESULT CVorlentCrypt_class::GetPrivateKeyCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    *iResult = engine_->PrivateKeyCount();
  });
}

HRESULT CVorlentCrypt_class::GetPrivateKey(LONG iIndex, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = HandOut(engine_->PrivateKey(iIndex), flagUsageUserStorage_);
  });
}

HRESULT CVorlentCrypt_class::GetOpponentKeyCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    *iResult = engine_->OpponentKeyCount();
  });
}

HRESULT CVorlentCrypt_class::GetOpponentKey(LONG iIndex, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = HandOut(engine_->OpponentKey(iIndex), false);
  });
}

HRESULT CVorlentCrypt_class::ImportP7BChain(BSTR wsP7BFileContent) {
  return Frame([&] { engine_->ImportP7BChain(BstrToText(wsP7BFileContent)); });
}

HRESULT CVorlentCrypt_class::ImportOpponentCertificate(BSTR wsCertificateBody, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    std::unique_ptr<CVorlentKey> record = engine_->ImportOpponentCertificate(BstrToText(wsCertificateBody));
    *pResult = KeyToInterface(record.get());
  });
}

HRESULT CVorlentCrypt_class::ImportPrivateCertificate(BSTR wsCertificateBody, BSTR wsContainerName,
                                                      IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    std::unique_ptr<CVorlentKey> record =
        engine_->ImportPrivateCertificate(BstrToText(wsCertificateBody), BstrToText(wsContainerName));
    *pResult = KeyToInterface(record.get());
  });
}

HRESULT CVorlentCrypt_class::CheckSignature(BSTR wsContent, BSTR wsSignature) {
  return Frame([&] { engine_->CheckSignature(BstrToText(wsContent), BstrToText(wsSignature)); });
}

HRESULT CVorlentCrypt_class::GetContainerCount(LONG* iResult) {
  return Frame([&] {
    CheckOut(iResult, "iResult");
    *iResult = engine_->ContainerCount();
  });
}

HRESULT CVorlentCrypt_class::GetContainer(LONG iIndex, BSTR* wsResult) {
  return Frame([&] {
    CheckOut(wsResult, "wsResult");
    *wsResult = TextToBstr(engine_->Container(iIndex));
  });
}

HRESULT CVorlentCrypt_class::GetOpponentKeyBySha1(BSTR wsSha1, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = HandOut(engine_->OpponentKeyBySha1(BstrToText(wsSha1)), false);
  });
}

HRESULT CVorlentCrypt_class::GetPrivateKeyBySha1(BSTR wsSha1, IVorlentKey** pResult) {
  return Frame([&] {
    CheckOut(pResult, "pResult");
    *pResult = HandOut(engine_->PrivateKeyBySha1(BstrToText(wsSha1)), false);
  });
}

HRESULT CVorlentCrypt_class::IsCryptographyOk(VARIANT_BOOL* bResult) {
  return Frame([&] {
    CheckOut(bResult, "bResult");
    *bResult = ToVariantBool(CVorlentCrypt::IsCryptographyOk());
  });
}

HRESULT CVorlentCrypt_class::get_FlagUsageUserStorage(VARIANT_BOOL* Value) {
  // Frame-less: never fails but for a null pointer.
  if (!Value) return E_POINTER;
  *Value = ToVariantBool(flagUsageUserStorage_);
  return S_OK;
}

HRESULT CVorlentCrypt_class::put_FlagUsageUserStorage(VARIANT_BOOL Value) {
  return Frame([&] {
    bool value = FromVariantBool(Value);
    if (value == flagUsageUserStorage_) return;
    // The new value stays stored even when the reload fails.
    flagUsageUserStorage_ = value;
    engine_->Init(flagUsageUserStorage_);
  });
}

HRESULT CVorlentCrypt_class::LinkPrivateKey(IVorlentKey* pKey, VARIANT_BOOL bCaching) {
  return Frame([&] {
    engine_->RequireKeyBinding();
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    engine_->LinkPrivateKey(*record, FromVariantBool(bCaching));
  });
}

HRESULT CVorlentCrypt_class::SignFile(BSTR wsFilename, IVorlentKey* pKey, BSTR wsSignFileName) {
  return Frame([&] {
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    engine_->SignFile(BstrToFileName(wsFilename), record->Sha1(), BstrToFileName(wsSignFileName));
  });
}

HRESULT CVorlentCrypt_class::SetPrivateKeyCaching(IVorlentKey* pKey, VARIANT_BOOL bCaching) {
  return Frame([&] {
    engine_->RequireKeyBinding();
    std::unique_ptr<CVorlentKey> record = KeyArgument(pKey, "pKey");
    engine_->SetPrivateKeyCaching(*record, FromVariantBool(bCaching));
  });
}

HRESULT CVorlentCrypt_class::get_LastError(BSTR* Value) {
  return GetLastErrorText(Value);
}

HRESULT CVorlentCrypt_class::DownloadFile(BSTR wsUrl, BSTR wsFilename) {
  return Frame([&] { CVorlentCrypt::DownloadFile(BstrToText(wsUrl), BstrToFileName(wsFilename)); });
}

}  // namespace qv
