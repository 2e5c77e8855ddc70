// The certificate behind an IVorlentKey argument.
//
// A key object of the library also answers IVorlentKeyContext; its GetCertificateHandle
// hands out the key's certificate as a `const CCertContext*` (platform/CertServices.h) that
// the key keeps alive while it lives, or null for a key filled without a certificate.
// SetCertificateHandle takes the same kind of pointer.
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
