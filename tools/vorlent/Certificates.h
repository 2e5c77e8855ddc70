// Certificates as the command shows them: the fields read with OpenSSL (validity, the Russian
// identifiers of the holder, the key's algorithm, the authority's addresses) and the library's
// name texts with the well-known attributes named for people.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>
#include <vector>

#include "Client.h"

namespace vorlent {

template <class T, void (*Free)(T*)>
using OsslPtr = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

// "YYYY-MM-DD hh:mm:ss UTC", empty for no time.
std::string TimeText(const ASN1_TIME* time);

// A certificate given as DER or PEM; a Failure for anything else.
OsslPtr<X509, X509_free> ParseCertificate(const std::string& bytes);

// The addresses (URIs) of the certificate's CRL distribution points.
std::vector<std::string> CrlUrls(X509* certificate);

// The fields of a certificate: validity ("notBefore", "notAfter"), the holder's identifiers
// ("inn", "snils", "ogrn", "ogrnip", "innLe"; empty when absent) and the public-key
// algorithm ("keyAlgorithm": OID, "keyAlgorithmName"). With `details` also "serial",
// "policies", "crlUrls" and "authorityInfo" (method and URL of each access description).
nlohmann::json CertificateFields(X509* certificate, bool details);

// The library's view of a certificate: thumbprint, names and container.
nlohmann::json KeyJson(IVorlentKey* key);

// The library's X.500 name text with "OID.1.2.643..." types of the well-known attributes
// replaced by their Russian names (ИНН, СНИЛС, ОГРН, ОГРНИП, ИНН ЮЛ).
std::string PeopleName(const std::string& text);

}  // namespace vorlent
