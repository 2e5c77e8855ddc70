// The package's cryptographic services (package/PackageCrypto.h) over the message services
// and the chain check: detached signatures with the key record's certificate, encryption,
// decryption and verification through CVorlentCryptoTool.
#pragma once

namespace qv {

// Installs the strict chain builder and the package's cryptographic services; the library
// calls it once at start (later calls do nothing). Safe from any thread.
void InstallPackageCrypto();

}  // namespace qv
