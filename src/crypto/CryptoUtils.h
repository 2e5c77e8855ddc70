// Certificate text forms, certificate queries and the store helpers of the cryptography
// services: how certificates, CRLs and bundles given as PEM, Base64 or DER become contexts,
// and how the system stores are opened, searched and filled.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/BaseClass.h"
#include "platform/CertServices.h"
#include "platform/CryptProvider.h"

namespace qv {

class CStrArray;

// Store location codes and store name codes.
enum StoreLocation : std::uint8_t { kStoreLocalMachine = 1, kStoreCurrentUser = 2 };
enum StoreName : std::uint8_t { kStoreMy = 1, kStoreRoot = 2, kStoreCA = 3, kStoreAddressBook = 4 };

// The two Base64 alphabets: the general one (certificate bodies, bundles) and the one of CZUMECCertificate.
extern const char* const kBase64GeneralSet;
extern const char* const kBase64WrapperSet;

// Raises the platform's error for the calling thread's last error code.
[[noreturn]] void RaiseLastCryptError();

class CCryptoAPI20Utils {
 public:
  // Store helpers. hProv may be null: it names the provider only where a key is involved.
  static std::uint32_t GetStoreFlags(int location);
  static std::string GetStoreName(int name);
  static CertStorePtr OpenSystemStore(const CProviderContext* hProv, int location, int name);
  // Appends every certificate of the store: key the thumbprint text, object a CCertHandleItem
  // holding its own reference. A list that owns nothing is switched to kOwnDestroy.
  static void EnumStore(const CProviderContext* hProv, int location, int name, CStrArray* certArray);
  static CertContextPtr FindBySha1(const CProviderContext* hProv, int location, int name,
                                   const std::string& sha1);
  static std::string GetCertSha1(const CertContextPtr& certificate);
  static void AddToStore(const CProviderContext* hProv, int location, int name, const std::string& container,
                         const CertContextPtr& certificate);
  static void ImportBundle(const CProviderContext* hProv, int location, const std::string& text);
  // The store a bundle certificate belongs to: kStoreCA, kStoreRoot or kStoreAddressBook.
  static int ClassifyCertificate(const CertContextPtr& certificate);
  // Binds a certificate to its key container: writes it into the container and sets its
  // key-provider property. The container is looked up in the key set of hProv.
  static void BindToContainer(const CProviderContext* hProv, const std::string& container,
                              const CertContextPtr& certificate);
  // The first step of every binding: opens the container with the provider `providerName` and
  // `providerType` (the machine key set with `machine`) and takes its private key, which must
  // be the certificate's. Raises before anything is written.
  static ProviderContextPtr OpenContainerFor(const std::string& providerName, std::uint32_t providerType,
                                             bool machine, const std::string& container,
                                             const CCertContext& certificate);
  static void GetProvInfo(const CProviderContext* hProv, std::uint32_t& providerType,
                          std::string& providerName);
  static bool IsCryptoProviderInstalled();
  // "0x" + the last error as 8 upper-case hex digits + " (" + signed decimal + "): " + message.
  static std::string LastErrorText();

  // Text and byte forms.
  static std::string DecodeBase64(const std::string& text);
  static bool IsBase64(const std::string& text, const char* set);
  static std::string ToHex(const std::string& bytes);
  static CertContextPtr CertificateFromText(const std::string& text);
  static CrlContextPtr CrlFromBytes(const std::string& bytes);
  static std::string NormalizeCrlText(const std::string& text);

  // Certificate queries.
  static std::string GetIssuerCN(const CertContextPtr& certificate);
  static std::string GetSubjectCN(const CertContextPtr& certificate);
  // The serial number's bytes, least significant first, as hexadecimal text.
  static std::string GetSerialText(const CertContextPtr& certificate);
  static std::string GetCrlUrls(const CertContextPtr& certificate);
  static std::string GetCaIssuerUrl(const CertContextPtr& certificate);
  static bool IsUrl(const std::string& text);
  static std::string GetCertificateBody(const CertContextPtr& certificate);
};

// The object of an EnumStore list entry: one reference to a certificate context.
class CCertHandleItem : public CBaseClass {
 public:
  explicit CCertHandleItem(CertContextPtr context) : Context(std::move(context)) {}
  CertContextPtr Context;
};

}  // namespace qv
