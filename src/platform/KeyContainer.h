// Key containers on disk: <root>/keys/<folder derived from the name>/ holding the
// container's name ("name"), its private key as PKCS #8 DER ("key.p8", mode 0600, optionally
// encrypted with a PIN) and the certificate written into the key ("certificate.cer").
// Folders are 0700, every write is atomic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/CertServices.h"
#include "platform/Ossl.h"

namespace qv {

enum class GostKeyAlgorithm { kGost2001, kGost2012_256, kGost2012_512 };

// Asked for the PIN of a container when QELVORLENT_PIN is not set: true with the PIN, false to refuse.
using PinCallback = std::function<bool(const std::string& containerName, std::string& pin)>;
void SetPinCallback(PinCallback callback);
// The PIN of container `name` from QELVORLENT_PIN, else the callback's answer; false when neither
// gives one.
bool AskContainerPin(const std::string& name, std::string& pin);

// While it lives, the calling thread opens container `name` with `pin` without asking for it
// (an import that has just asked for the PIN binds the certificate to the new container).
class ScopedContainerPin {
 public:
  ScopedContainerPin(bool machineKeyset, const std::string& name, const std::string& pin);
  ~ScopedContainerPin();
  ScopedContainerPin(const ScopedContainerPin&) = delete;
  ScopedContainerPin& operator=(const ScopedContainerPin&) = delete;
};

// The folder of a container: <LocationRoot>/keys/ and the name with every byte outside
// [A-Za-z0-9._-] written as "%XX" (so distinct names never share a folder).
std::string KeyContainerFolder(bool machineKeyset, const std::string& name);
bool KeyContainerExists(bool machineKeyset, const std::string& name);
// The names of the containers of a key set, in the order of their folder names.
std::vector<std::string> EnumKeyContainers(bool machineKeyset);
// True when the container holds a private key.
bool KeyContainerHasKey(bool machineKeyset, const std::string& name);

// Creates an empty container; false with kNteExists when it exists (last error set).
bool CreateKeyContainerFolder(bool machineKeyset, const std::string& name);
bool DeleteKeyContainer(bool machineKeyset, const std::string& name);
// The certificate written into the container's key, or empty.
std::string ReadContainerCertificate(bool machineKeyset, const std::string& name);
bool WriteContainerCertificate(bool machineKeyset, const std::string& name, const std::string& der);

// The container's private key, the PIN taken from QELVORLENT_PIN or the callback when the
// key is encrypted. Raises with a Russian message (code kNteBadKeyset, kNteNoKey, kErrorCancelled
// or kNteBadKey for a wrong PIN).
EvpPkeyPtr LoadContainerKey(bool machineKeyset, const std::string& name);

// The private key bound to a certificate through its key-provider property (the machine key
// set when its flags carry kCryptMachineKeyset). Raises with kCryptENoKeyProperty when the
// certificate has no such property and kNteBadKey when the key does not belong to it.
EvpPkeyPtr LoadKeyForCertificate(const CCertContext& certificate);
// Raises with kNteBadKey, naming container `name` and the thumbprint, when `key` (the
// container's) is not the key of `certificate`.
void CheckContainerKeyOf(const std::string& name, EVP_PKEY* key, const CCertContext& certificate);

// Key files from elsewhere. A PKCS #8 key or a PKCS #12 file is a few kilobytes (a key, its
// certificate and a chain of fewer than ten); larger ones are refused by their size before they
// are parsed, and a PKCS #12 file with more bags (parts, bags and certificates together) when
// the bag past the bound is reached. The iteration counts of a key file's MAC and of each of
// its password-based encryptions are the file's to choose (up to 2^31 - 1, hours of work, the
// same for a wrong password); they are added up before each derivation is run, and a file whose
// sum passes kMaxKeyIterations is refused. Real files ask for 2,000 to 10,000 per part; this
// library's own containers for 100,000 (PBKDF2 with HMAC-SHA-256). An scrypt derivation counts
// N * r * p / 8 (one PBKDF2 iteration costs about as much as one scrypt step at r = 8).
constexpr std::size_t kMaxKeyFileSize = 1 << 20;
constexpr int kMaxPkcs12Bags = 64;
constexpr std::uint64_t kMaxKeyIterations = 500000;

// Library operations that put keys into containers; they raise on failure. A non-empty
// `pin` stores the key encrypted with it.
// Makes a container with a new key; returns a PKCS #10 request (PEM) for `subject`, a list
// of (short name or dotted OID, 1251 value) pairs in encoding order.
std::string CreateContainerWithRequest(bool machineKeyset, const std::string& name,
                                       GostKeyAlgorithm algorithm,
                                       const std::vector<std::pair<std::string, std::string>>& subject,
                                       const std::string& pin);
// Imports a PKCS #8 key (DER or PEM, plain or encrypted with `password`) into a new container.
void ImportPkcs8Key(bool machineKeyset, const std::string& name, const std::string& pkcs8,
                    const std::string& password, const std::string& pin);
// Imports the key and certificate of a PKCS #12 file (password as 1251 text) into a new
// container; returns the certificate's DER bytes (written into the container as well).
std::string ImportPkcs12(bool machineKeyset, const std::string& name, const std::string& pfx,
                         const std::string& password, const std::string& pin);

// Makes the new container `name` with `key` (PKCS #8, encrypted with a non-empty `pin`) and,
// when given, the certificate's DER bytes, in one step: a failure leaves no container.
void WriteContainerWithKey(bool machineKeyset, const std::string& name, EVP_PKEY* key, const std::string& pin,
                           const std::string& certificate);
// Raises `code` with `message` as the container functions do (the last error set as well).
[[noreturn]] void RaiseKeyError(std::int32_t code, const std::string& message);

// The GOST algorithm of a key, or raises for other keys.
GostKeyAlgorithm KeyAlgorithm(const EVP_PKEY* key);
// The digest that goes with a key (GOST R 34.11-94 or 34.11-2012 256/512).
const EVP_MD* DigestForKey(const EVP_PKEY* key);

}  // namespace qv
