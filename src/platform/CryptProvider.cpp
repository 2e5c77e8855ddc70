#include "platform/CryptProvider.h"

#include "foundation/CodePage.h"
#include "platform/CertServices.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"

namespace qv {

bool IsGostProvider(std::uint32_t type, const std::string& name) {
  if (type != kProvGost && type != kProvGostAlternative) return false;
  if (name.empty()) return true;
  std::string upper;
  for (char c : name) upper += static_cast<char>(Cp1251Upper(static_cast<unsigned char>(c)));
  return upper.find("GOST") != std::string::npos;
}

ProviderContextPtr AcquireProviderContext(const std::string& container, const std::string& providerName,
                                          std::uint32_t type, std::uint32_t flags) {
  RegisterCryptErrorTexts();
  if (type != kProvGost && type != kProvGostAlternative) {
    SetLastCryptError(kNteProvTypeNotDef);
    return nullptr;
  }
  if (!IsGostProvider(type, providerName) || !EnsureGostEngine()) {
    SetLastCryptError(kNteKeysetNotDef);
    return nullptr;
  }
  bool machine = (flags & kCryptMachineKeyset) != 0;
  bool verifyOnly = (flags & kCryptVerifyContext) == kCryptVerifyContext;
  if (flags & kCryptDeleteKeyset) {
    if (!DeleteKeyContainer(machine, container)) return nullptr;
    SetLastCryptError(kErrorSuccess);
    return nullptr;
  }
  if (!verifyOnly || !container.empty()) {
    if (container.empty() && !verifyOnly) {
      SetLastCryptError(kNteBadKeysetParam);
      return nullptr;
    }
    if (flags & kCryptNewKeyset) {
      if (!CreateKeyContainerFolder(machine, container)) return nullptr;
    } else if (!KeyContainerExists(machine, container)) {
      SetLastCryptError(kNteBadKeyset);
      return nullptr;
    }
  }
  auto context = std::make_unique<CProviderContext>();
  context->type = type;
  context->name = kGostProviderName;
  context->container = container;
  context->machineKeyset = machine;
  context->flags = flags;
  return context;
}

}  // namespace qv
