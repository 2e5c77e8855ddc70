// Certificate and CRL contexts, certificate stores (memory, PKCS #7 message, file and the
// system stores on disk) and the name, time and lookup services the certificate layer
// builds on. Failures of the CryptoAPI-like calls return false or null and leave their
// code in the thread's last error (CryptError.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Ossl.h"

namespace qv {

constexpr std::uint32_t kEncodingX509Pkcs7 = 0x00010001;  // X.509 ASN.1 with PKCS #7 ASN.1
constexpr std::uint32_t kAtKeyExchange = 1;
constexpr std::uint32_t kAtSignature = 2;
constexpr std::uint32_t kProvGost = 75;
constexpr std::uint32_t kProvGostAlternative = 2;
// The name this platform reports for its GOST provider.
extern const char* const kGostProviderName;

// The key-provider information of a certificate (the property binding it to its key container).
struct KeyProvInfo {
  std::string containerName;  // 1251
  std::string providerName;
  std::uint32_t providerType = 0;
  std::uint32_t flags = 0;
  std::uint32_t keySpec = 0;
  bool operator==(const KeyProvInfo& o) const {
    return containerName == o.containerName && providerName == o.providerName &&
           providerType == o.providerType && flags == o.flags && keySpec == o.keySpec;
  }
};

// One certificate: the parsed certificate, its encoded bytes and its properties. Shared
// references stand in for the duplicated and freed contexts of the Windows design.
class CCertContext {
 public:
  // A context for DER bytes, or null with kCryptEAsn1BadTag / kCryptEBadEncode as last error.
  static std::shared_ptr<CCertContext> FromDer(const std::string& der);

  // A context of its own for the same certificate (the parsed certificate shared, not parsed
  // again) with the same properties: properties set on either leave the other's as they are.
  std::shared_ptr<CCertContext> Copy() const;
  X509* Cert() const { return x509_.get(); }
  const std::string& Encoded() const { return der_; }
  // The 20 bytes of the SHA-1 hash of the encoded certificate.
  const std::string& Sha1Hash() const { return sha1_; }
  // 40 upper-case hexadecimal digits of Sha1Hash.
  std::string Sha1Text() const;

  const std::optional<KeyProvInfo>& KeyProv() const { return keyProv_; }
  void SetKeyProv(std::optional<KeyProvInfo> info) { keyProv_ = std::move(info); }

 private:
  X509Ptr x509_;
  std::string der_;
  std::string sha1_;
  std::optional<KeyProvInfo> keyProv_;
};
using CertContextPtr = std::shared_ptr<CCertContext>;

// A revocation list. Crl() is the list without its entries: the entries stay in the encoding
// and are read one at a time (ForEachEntry), so a list of millions of entries costs its bytes
// and no object per entry. The signature is checked over the signed part as encoded
// (VerifiedBy), as the entries are not in Crl().
class CCrlContext {
 public:
  static std::shared_ptr<CCrlContext> FromDer(const std::string& der);
  static std::shared_ptr<CCrlContext> FromDer(std::string&& der);
  X509_CRL* Crl() const { return crl_.get(); }
  const std::string& Encoded() const { return der_; }
  const std::string& Sha1Hash() const { return sha1_; }

  // Calls `visit` with each entry in the list's order (or only those with serial number
  // `serial`, when given), decoded on its own and freed after the call, until it returns false.
  // False when an entry does not decode.
  bool ForEachEntry(const std::function<bool(const X509_REVOKED*)>& visit,
                    const ASN1_INTEGER* serial = nullptr) const;
  // Whether `key` verifies the list's signature, with the digest its algorithm names; the
  // algorithm inside the signed part must be the same.
  bool VerifiedBy(EVP_PKEY* key) const;

 private:
  static std::shared_ptr<CCrlContext> Parse(std::string der);

  X509CrlPtr crl_;
  std::string der_;
  std::string sha1_;
  // Within der_: the signed part (tbsCertList, header included) and the entries' contents.
  std::size_t tbsOffset_ = 0, tbsSize_ = 0;
  std::size_t entriesOffset_ = 0, entriesSize_ = 0;
  std::size_t innerAlgorithmOffset_ = 0, innerAlgorithmSize_ = 0;
  std::size_t outerAlgorithmOffset_ = 0, outerAlgorithmSize_ = 0;
};
using CrlContextPtr = std::shared_ptr<CCrlContext>;

// The one X.500 text form of a name: attributes from the last to the first, "type=value"
// joined by ", ", known types by short name, others as "OID.<dotted>", values quoted when needed.
std::string NameToX500Text(const X509_NAME* name);
// An attribute value of any ASN.1 string type as 1251 text ("?" for what 1251 lacks).
std::string Asn1StringTo1251(const ASN1_STRING* value);
// The value of the first attribute `oid` of a name, or nothing.
std::optional<std::string> FindNameAttribute(const X509_NAME* name, const std::string& oid);

// Date-time values: days since 1899-12-30 as double.
constexpr double kUnixEpochDateTime = 25569.0;
double UnixTimeToDateTime(std::int64_t seconds);
// The ASN.1 time (UTC) as a date-time, without conversion to local time; 0 for no time.
double Asn1TimeToDateTime(const ASN1_TIME* time);
// Universal time to local time with the system's rules.
double UtcToLocalDateTime(double utc);
double NowUtcDateTime();
double NowLocalDateTime();
// The short date "dd.mm.yyyy" and the long time "h:mm:ss" of a date-time value, as messages show them.
std::string ShortDateText(double dateTime);
std::string LongTimeText(double dateTime);

// Store add dispositions.
enum StoreAdd : int {
  kStoreAddNew = 1,
  kStoreAddUseExisting = 2,
  kStoreAddReplaceExisting = 3,
  kStoreAddAlways = 4
};

// A certificate store: certificates and CRLs in a stable order.
class CCertStore {
 public:
  virtual ~CCertStore() = default;
  const std::vector<CertContextPtr>& Certificates() const { return certs_; }
  const std::vector<CrlContextPtr>& Crls() const { return crls_; }

  // Adds a certificate by the disposition; `stored` receives the context the store holds
  // afterwards. False with the last error set on failure (kCryptEExists for kStoreAddNew).
  bool AddCertificate(const CertContextPtr& cert, int disposition, CertContextPtr* stored = nullptr);
  bool AddCrl(const CrlContextPtr& crl, int disposition);
  bool DeleteCertificate(const CertContextPtr& cert);
  // Sets or clears the key-provider information of a certificate held by the store.
  bool SetKeyProv(const CertContextPtr& cert, const std::optional<KeyProvInfo>& info);
  CertContextPtr FindBySha1Hash(const std::string& hash) const;
  bool ReadOnly() const { return readOnly_; }

 protected:
  // Persistence of a store that lives on disk; memory stores do nothing.
  virtual bool PersistCertificate(const CCertContext&) { return true; }
  virtual bool ForgetCertificate(const CCertContext&) { return true; }
  virtual bool PersistCrl(const CCrlContext&) { return true; }
  // Insertion point that keeps the store's order.
  virtual std::size_t CertPosition(const CCertContext&) const { return certs_.size(); }

  std::vector<CertContextPtr> certs_;
  std::vector<CrlContextPtr> crls_;
  bool readOnly_ = false;
};
using CertStorePtr = std::shared_ptr<CCertStore>;

// The most certificates a bundle (a PKCS #7 message or a PEM text) may carry: a chain has fewer
// than ten, and even the certificates of every accredited authority are a few hundred. A
// larger one is refused by its count before its certificates are decoded where the encoding
// allows (DER of definite length, PEM blocks), else right after, before anything is stored.
constexpr std::size_t kMaxBundleCertificates = 1000;
// Raises "В наборе больше допустимых ... сертификатов" when `count` passes the bound.
void CheckBundleCount(std::size_t count);

CertStorePtr OpenMemoryStore();
// The certificates and CRLs of a PKCS #7 message (SignedData, DER or PEM); null with the
// last error when the bytes are not one. Raises for more than kMaxBundleCertificates.
CertStorePtr OpenPkcs7Store(const std::string& bytes, bool readOnly = true);
// A file holding a PKCS #7 message, a DER certificate or PEM certificates and CRLs (raises for
// more than kMaxBundleCertificates).
CertStorePtr OpenFileStore(const std::string& fileName);

// Location codes and system store names.
constexpr int kLocationLocalMachine = 1;
constexpr int kLocationCurrentUser = 2;
// The root folder of a location: <QELVORLENT_HOME>/user or /machine, else
// ${XDG_DATA_HOME:-~/.local/share}/qelvorlent and /var/lib/qelvorlent.
std::string LocationRoot(int location);
// A system store on disk: <root>/stores/<name>/, one "<THUMBPRINT>.cer" per certificate with
// its properties in "<THUMBPRINT>.prop", CRLs as "<SHA1 OF CRL>.crl". Certificates are
// enumerated in the order of their thumbprints, CRLs in the order of their file names. A damaged
// file, or one that is not a regular file of a bounded size, is skipped with a trace line; a
// certificate larger than that bound (kMaxStoredCertificate) is refused when it is added. A
// store whose folder cannot be made (a read-only home) is empty, and adding to it fails with the
// system's error. Null with the last error for an invalid location or name.
CertStorePtr OpenSystemStore(int location, const std::string& name);
// A system store's files are read and parsed once per process and kept under the status of the
// file read (device, inode, size, times of modification and change): a later opening reads only
// the files whose status changed, and each file it keeps is exactly what was read then. A file
// changed less than kStoreFileSettle seconds before it was read is read again at every opening:
// within one tick of the clock a second change could keep all of its status. Of at most
// kMaxCachedStores folders, kMaxCachedStoreFiles files are kept, the least recently opened
// folder dropped first.
constexpr int kStoreFileSettle = 2;
// Sets that time for the whole process (the tests keep files they have just written).
void SetStoreFileSettle(int seconds);
constexpr std::size_t kMaxCachedStores = 16;
constexpr std::size_t kMaxCachedStoreFiles = 4096;

// The search of CertGetIssuerCertificateFromStore: the next certificate after `previous`
// whose subject is the certificate's issuer; `flags` in: 1 asks for the signature check, out:
// 1 stays set when the candidate's key did not verify the certificate's signature. No more
// candidates: null with kCryptENotFound, or kCryptESelfSigned for a self-issued certificate.
CertContextPtr GetIssuerFromStore(const CCertStore& store, const CCertContext& cert,
                                  const CCertContext* previous, std::uint32_t& flags);

// The CRL entry of a certificate: true with its revocation date (UTC date-time) when listed.
bool FindCertificateInCrl(const CCertContext& cert, const CCrlContext& crl, double& revocationDate);

// Writes a file atomically (a temporary file beside it, then rename) with the given mode.
bool WriteFileAtomic(const std::string& fileName, const std::string& bytes, unsigned mode);

}  // namespace qv
