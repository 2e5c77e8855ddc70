// Provider contexts of the GOST provider (in place of CryptAcquireContext and friends):
// a verify-only context or one bound to a key container of the user's or the machine's key set.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qv {

constexpr std::uint32_t kCryptVerifyContext = 0xF0000000u;
constexpr std::uint32_t kCryptNewKeyset = 0x8u;
constexpr std::uint32_t kCryptMachineKeyset = 0x20u;
constexpr std::uint32_t kCryptDeleteKeyset = 0x10u;

struct CProviderContext {
  std::uint32_t type = 0;
  std::string name;       // the provider's own name
  std::string container;  // empty for a verify-only context
  bool machineKeyset = false;
  std::uint32_t flags = 0;
};
using ProviderContextPtr = std::unique_ptr<CProviderContext>;

// True for the provider types and names served by the GOST engine: types 75 and 2, an empty
// name or any name that mentions GOST.
bool IsGostProvider(std::uint32_t type, const std::string& name);

// Null with the last error set: kNteProvTypeNotDef (type), kNteKeysetNotDef (no engine or an
// unknown name), kNteBadKeyset (no such container), kNteExists (new container exists).
// With kCryptDeleteKeyset the container is removed and null is returned with last error 0.
ProviderContextPtr AcquireProviderContext(const std::string& container, const std::string& providerName,
                                          std::uint32_t type, std::uint32_t flags);

}  // namespace qv
