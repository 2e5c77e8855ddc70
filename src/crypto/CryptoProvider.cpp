#include "crypto/CryptoProvider.h"

#include "crypto/CryptoUtils.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/StrArray.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"

namespace qv {

void CZeroString::Open(const char* text) {
  if (!text) RaiseErrorFmt("Parameter %1:s of %0:s is invalid", {"CZeroString.Open", "pszObjId = NULL"});
  value_ = text;
  hasValue_ = true;
}

void CZeroString::Close() {
  value_.clear();
  hasValue_ = false;
}

CCryptoProvider::~CCryptoProvider() {
  try {
    Close();
  } catch (const std::exception& e) {
    Trace(
        "CCryptoProvider.Destroy: Close() вызвал исключение, возможно еще используется, удалим позже: %s"_cp,
        {e.what()});
  }
}

void CCryptoProvider::Open(std::uint32_t providerType, const std::string& container, bool quiet,
                           bool newKeyset) {
  Close();
  std::uint32_t flags = 0;
  if (container.empty()) {
    flags = kCryptVerifyContext;
  } else if (newKeyset) {
    flags |= kCryptNewKeyset;
  }
  if (machineKeyset_) flags |= kCryptMachineKeyset;
  try {
    AcquireContext(container, providerName_, flags, providerType);
  } catch (const CVorlentException& e) {
    if (!quiet) RaiseError(e.Message());
  }
}

void CCryptoProvider::AcquireContext(const std::string& container, const std::string& providerName,
                                     std::uint32_t flags, std::uint32_t providerType) {
  ProviderContextPtr context = AcquireProviderContext(container, providerName, providerType, flags);
  if (!context) {
    RegisterCryptErrorTexts();
    RaiseError("CCryptoProvider.AcquireContext\n\r" + LastErrorMessage().substr(0, 256));
  }
  handle_ = std::move(context);
  container_.Close();
  if (!container.empty()) container_.Open(container.c_str());
  flags_ = flags;
  providerType_ = providerType;
  providerName_ = providerName;
  acquired_ = true;
}

void CCryptoProvider::Close() {
  if (!acquired_) return;
  acquired_ = false;
  providerType_ = 0;
  providerName_.clear();
  container_.Close();
  handle_.reset();
}

void CCryptoProvider::SetMachineKeyset(bool machineKeyset) {
  if (!acquired_) machineKeyset_ = machineKeyset;
}

void CCryptoProvider::EnumContainers(std::uint32_t providerType, CStrArray& list) {
  list.Clear();
  ProviderContextPtr context = AcquireProviderContext(
      {}, {}, providerType, kCryptVerifyContext | (machineKeyset_ ? kCryptMachineKeyset : 0));
  if (!context) RaiseLastCryptError();
  for (const std::string& name : EnumKeyContainers(machineKeyset_)) list.AddKey(name);
}

CCryptoStore::~CCryptoStore() {
  store_.reset();
}

void CCryptoStore::Open(std::uint32_t storeProvider, const std::string& parameter) {
  Close();
  CertStorePtr store;
  switch (storeProvider) {
    case kStoreProvMemory:
      store = OpenMemoryStore();
      break;
    case kStoreProvPkcs7:
      store = OpenPkcs7Store(parameter, false);
      break;
    case kStoreProvFilename:
      store = OpenFileStore(parameter);
      break;
    case kStoreProvSystem: {
      bool machine = provider_ && provider_->MachineKeyset();
      store = qv::OpenSystemStore(machine ? kLocationLocalMachine : kLocationCurrentUser, parameter);
      break;
    }
    default:
      SetLastCryptError(kErrorInvalidParameter);
      break;
  }
  if (!store) RaiseLastCryptError();
  store_ = std::move(store);
}

void CCryptoStore::Close() {
  store_.reset();
}

}  // namespace qv
