// The certificate behind an IVorlentKey argument.
//
// A key object of the library also answers IVorlentKeyContext; its certificate handle is
// the address of the key's own CertContextPtr (platform/CertServices.h), valid while the
// key lives, or null for a key without a certificate (see src/automation/README.md).
#pragma once

#include <memory>

#include "crypto/CryptObjects.h"
#include "qelvorlent/QelVorlentLib.h"

namespace qv {

// A certificate object of its own for the key's certificate. A null `key` fails with the
// argument check (E_POINTER), an object that is no key of the library with the platform's
// "interface not supported" error (E_NOINTERFACE), a key without a certificate with
// "Объект ключа %s не содержит сертификата".
std::unique_ptr<CCryptCertificate> CertificateOfKey(IVorlentKey* key, const char* name);

}  // namespace qv
