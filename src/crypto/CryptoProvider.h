// Provider contexts and open system stores as owned objects.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/BaseClass.h"
#include "platform/CertServices.h"
#include "platform/CryptProvider.h"

namespace qv {

class CStrArray;

// An owned copy of a text, or nothing.
class CZeroString {
 public:
  // Fails for a null text with "Parameter %1:s of %0:s is invalid".
  void Open(const char* text);
  void Close();
  bool HasValue() const { return hasValue_; }
  // The text, or null.
  const char* Get() const { return hasValue_ ? value_.c_str() : nullptr; }
  std::string Text() const { return hasValue_ ? value_ : std::string(); }

 private:
  std::string value_;
  bool hasValue_ = false;
};

class CCryptoAtom : public CBaseClass {
 public:
  std::uint32_t EncodingType() const { return kEncodingX509Pkcs7; }
};

class CCryptoProvider : public CBaseClass {
 public:
  CCryptoProvider() = default;
  ~CCryptoProvider() override;

  // Closes any open context and acquires one; `quiet` leaves the object closed without an error.
  void Open(std::uint32_t providerType, const std::string& container, bool quiet, bool newKeyset);
  void AcquireContext(const std::string& container, const std::string& providerName, std::uint32_t flags,
                      std::uint32_t providerType);
  void Close();
  // The context, or null while closed.
  const CProviderContext* Handle() const { return acquired_ ? handle_.get() : nullptr; }
  bool Acquired() const { return acquired_; }
  // Clears `list` and appends the names of the key containers of the provider type.
  void EnumContainers(std::uint32_t providerType, CStrArray& list);

  void SetMachineKeyset(bool machineKeyset);
  bool MachineKeyset() const { return machineKeyset_; }
  std::uint32_t Flags() const { return flags_; }
  std::uint32_t ProviderType() const { return providerType_; }
  const std::string& ProviderName() const { return providerName_; }
  const CZeroString& Container() const { return container_; }

 private:
  ProviderContextPtr handle_;
  CZeroString container_;
  std::uint32_t flags_ = 0;
  bool machineKeyset_ = false;
  bool acquired_ = false;
  std::uint32_t providerType_ = kProvGost;
  std::string providerName_;
};

// Store provider codes of CCryptoStore::Open.
enum StoreProvider : std::uint32_t {
  kStoreProvMemory = 2,
  kStoreProvPkcs7 = 5,
  kStoreProvFilename = 7,
  kStoreProvSystem = 10
};

class CCryptoStore : public CCryptoAtom {
 public:
  ~CCryptoStore() override;
  void SetProvider(CCryptoProvider* provider) { provider_ = provider; }
  // Opens a store: kStoreProvSystem with a store name (location from the provider's machine
  // key set flag), kStoreProvFilename with a file name, kStoreProvPkcs7 with message bytes,
  // kStoreProvMemory. A failure raises the platform's error.
  void Open(std::uint32_t storeProvider, const std::string& parameter);
  void Close();
  const CertStorePtr& Handle() const { return store_; }

 private:
  CertStorePtr store_;
  CCryptoProvider* provider_ = nullptr;  // not owned
};

}  // namespace qv
