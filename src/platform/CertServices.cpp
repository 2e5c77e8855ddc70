#include "platform/CertServices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <new>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/Format.h"
#include "foundation/StrArray.h"
#include "platform/CryptError.h"

namespace qv {

const char* const kGostProviderName = "QelVorlent GOST R 34.10-2012 Provider";

namespace {

std::string Sha1Of(const std::string& bytes) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace

std::shared_ptr<CCertContext> CCertContext::FromDer(const std::string& der) {
  EnsureGostEngine();
  if (der.empty()) {
    SetLastCryptError(kCryptEAsn1BadTag);
    return nullptr;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  if (!x509) {
    SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
    return nullptr;
  }
  // Only the bytes of the certificate itself count: trailing bytes are not part of it.
  std::size_t used = static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(der.data()));
  auto context = std::make_shared<CCertContext>();
  context->x509_ = std::move(x509);
  context->der_ = der.substr(0, used);
  context->sha1_ = Sha1Of(context->der_);
  return context;
}

std::shared_ptr<CCertContext> CCertContext::Copy() const {
  auto copy = std::make_shared<CCertContext>();
  if (X509_up_ref(x509_.get()) != 1) throw std::bad_alloc();
  copy->x509_.reset(x509_.get());
  copy->der_ = der_;
  copy->sha1_ = sha1_;
  copy->keyProv_ = keyProv_;
  return copy;
}

std::string CCertContext::Sha1Text() const {
  return HexText(sha1_);
}

std::shared_ptr<CCrlContext> CCrlContext::FromDer(const std::string& der) {
  return Parse(der);
}

std::shared_ptr<CCrlContext> CCrlContext::FromDer(std::string&& der) {
  return Parse(std::move(der));
}

namespace {

// One element of an encoding: where it starts, its header's and its content's sizes.
struct Element {
  std::size_t offset = 0;
  std::size_t header = 0;
  std::size_t length = 0;
  int tag = 0;
  int tagClass = 0;
  bool constructed = false;
  std::size_t Content() const { return offset + header; }
  std::size_t End() const { return offset + header + length; }
  bool Is(int universalTag, bool isConstructed) const {
    return tagClass == V_ASN1_UNIVERSAL && tag == universalTag && constructed == isConstructed;
  }
};

// The element at `at` of `der`, which must end by `limit` (definite lengths only).
bool ReadElement(const std::string& der, std::size_t at, std::size_t limit, Element& element) {
  if (at >= limit) return false;
  const auto* start = reinterpret_cast<const unsigned char*>(der.data()) + at;
  const unsigned char* p = start;
  long length = 0;
  int tag = 0;
  int tagClass = 0;
  int flags = ASN1_get_object(&p, &length, &tag, &tagClass, static_cast<long>(limit - at));
  if ((flags & 0x80) || (flags & 0x01)) {
    ERR_clear_error();
    return false;
  }
  element.offset = at;
  element.header = static_cast<std::size_t>(p - start);
  element.length = static_cast<std::size_t>(length);
  element.tag = tag;
  element.tagClass = tagClass;
  element.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
  return element.End() <= limit;
}

std::string SequenceHeader(std::size_t length) {
  std::string header(1, '\x30');
  if (length < 0x80) return header + static_cast<char>(length);
  std::string bytes;
  for (; length; length >>= 8) bytes.insert(bytes.begin(), static_cast<char>(length & 0xFF));
  return header + static_cast<char>(0x80 | bytes.size()) + bytes;
}

bool IsTime(const Element& element) {
  return element.Is(V_ASN1_UTCTIME, false) || element.Is(V_ASN1_GENERALIZEDTIME, false);
}

using RevokedPtr = OsslPtr<X509_REVOKED, X509_REVOKED_free>;

}  // namespace

std::shared_ptr<CCrlContext> CCrlContext::Parse(std::string der) {
  EnsureGostEngine();
  auto fail = [] {
    SetLastCryptError(kCryptEAsn1BadTag);
    return nullptr;
  };
  // CertificateList: tbsCertList, signatureAlgorithm, signatureValue. The bytes after it are not
  // part of the list.
  Element list, tbs, outerAlgorithm, signature;
  if (!ReadElement(der, 0, der.size(), list) || !list.Is(V_ASN1_SEQUENCE, true)) return fail();
  der.resize(list.End());
  if (!ReadElement(der, list.Content(), list.End(), tbs) || !tbs.Is(V_ASN1_SEQUENCE, true) ||
      !ReadElement(der, tbs.End(), list.End(), outerAlgorithm) || !outerAlgorithm.Is(V_ASN1_SEQUENCE, true) ||
      !ReadElement(der, outerAlgorithm.End(), list.End(), signature) || signature.End() != list.End()) {
    return fail();
  }
  // tbsCertList: version?, signature, issuer, thisUpdate, nextUpdate?, revokedCertificates?,
  // crlExtensions [0]?
  Element field, innerAlgorithm, revoked;
  std::size_t at = tbs.Content();
  if (!ReadElement(der, at, tbs.End(), field)) return fail();
  if (field.Is(V_ASN1_INTEGER, false)) {
    at = field.End();
    if (!ReadElement(der, at, tbs.End(), field)) return fail();
  }
  innerAlgorithm = field;
  if (!innerAlgorithm.Is(V_ASN1_SEQUENCE, true)) return fail();
  if (!ReadElement(der, innerAlgorithm.End(), tbs.End(), field) || !field.Is(V_ASN1_SEQUENCE, true))
    return fail();
  if (!ReadElement(der, field.End(), tbs.End(), field) || !IsTime(field)) return fail();
  at = field.End();
  if (at < tbs.End()) {
    if (!ReadElement(der, at, tbs.End(), field)) return fail();
    if (IsTime(field)) {
      at = field.End();
      if (at < tbs.End() && !ReadElement(der, at, tbs.End(), field)) return fail();
    }
    if (at < tbs.End() && field.Is(V_ASN1_SEQUENCE, true)) revoked = field;
  }

  // The list without its entries is decoded as a whole; each entry is decoded on its own once,
  // so that a list with an entry that does not decode is refused as before.
  X509CrlPtr crl;
  if (revoked.length == 0 && revoked.header == 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data());
    crl.reset(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
  } else {
    std::string inner = der.substr(tbs.Content(), revoked.offset - tbs.Content()) +
                        der.substr(revoked.End(), tbs.End() - revoked.End());
    std::string outer = SequenceHeader(inner.size()) + inner + der.substr(tbs.End(), list.End() - tbs.End());
    std::string shell = SequenceHeader(outer.size()) + outer;
    const auto* p = reinterpret_cast<const unsigned char*>(shell.data());
    crl.reset(d2i_X509_CRL(nullptr, &p, static_cast<long>(shell.size())));
    if (crl && p != reinterpret_cast<const unsigned char*>(shell.data()) + shell.size()) crl.reset();
  }
  if (!crl) {
    SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
    return nullptr;
  }
  auto context = std::make_shared<CCrlContext>();
  context->crl_ = std::move(crl);
  context->tbsOffset_ = tbs.offset;
  context->tbsSize_ = tbs.End() - tbs.offset;
  context->entriesOffset_ = revoked.Content();
  context->entriesSize_ = revoked.length;
  context->innerAlgorithmOffset_ = innerAlgorithm.offset;
  context->innerAlgorithmSize_ = innerAlgorithm.End() - innerAlgorithm.offset;
  context->outerAlgorithmOffset_ = outerAlgorithm.offset;
  context->outerAlgorithmSize_ = outerAlgorithm.End() - outerAlgorithm.offset;
  context->der_ = std::move(der);
  if (!context->ForEachEntry([](const X509_REVOKED*) { return true; })) {
    SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
    return nullptr;
  }
  context->sha1_ = Sha1Of(context->der_);
  return context;
}

bool CCrlContext::ForEachEntry(const std::function<bool(const X509_REVOKED*)>& visit,
                               const ASN1_INTEGER* serial) const {
  const auto* base = reinterpret_cast<const unsigned char*>(der_.data());
  const std::size_t end = entriesOffset_ + entriesSize_;
  OsslPtr<ASN1_INTEGER, ASN1_INTEGER_free> number;
  for (std::size_t at = entriesOffset_; at < end;) {
    Element entry;
    if (!ReadElement(der_, at, end, entry) || !entry.Is(V_ASN1_SEQUENCE, true)) return false;
    at = entry.End();
    if (serial) {
      // Only the serial number is decoded (into the same object) until one matches.
      Element first;
      if (!ReadElement(der_, entry.Content(), entry.End(), first) || !first.Is(V_ASN1_INTEGER, false)) {
        return false;
      }
      const unsigned char* p = base + first.offset;
      ASN1_INTEGER* value = number.release();
      value = d2i_ASN1_INTEGER(&value, &p, static_cast<long>(first.End() - first.offset));
      number.reset(value);
      if (!value) return false;
      if (ASN1_INTEGER_cmp(value, serial) != 0) continue;
    }
    const unsigned char* p = base + entry.offset;
    RevokedPtr decoded(d2i_X509_REVOKED(nullptr, &p, static_cast<long>(entry.End() - entry.offset)));
    if (!decoded || p != base + entry.End()) return false;
    if (!visit(decoded.get())) return true;
  }
  return true;
}

bool CCrlContext::VerifiedBy(EVP_PKEY* key) const {
  if (!key) return false;
  // The algorithm signed must be the one the signature is checked with.
  if (der_.compare(innerAlgorithmOffset_, innerAlgorithmSize_, der_, outerAlgorithmOffset_,
                   outerAlgorithmSize_) != 0) {
    return false;
  }
  const ASN1_BIT_STRING* signature = nullptr;
  const X509_ALGOR* algorithm = nullptr;
  X509_CRL_get0_signature(crl_.get(), &signature, &algorithm);
  if (!signature || !algorithm || (signature->flags & 0x07)) return false;
  int digestNid = NID_undef;
  int keyNid = NID_undef;
  if (OBJ_find_sigid_algs(OBJ_obj2nid(algorithm->algorithm), &digestNid, &keyNid) != 1 ||
      digestNid == NID_undef) {
    return false;
  }
  const EVP_MD* digest = EVP_get_digestbynid(digestNid);
  OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
  bool verified =
      digest && context &&
      EVP_DigestVerifyInit_ex(context.get(), nullptr, EVP_MD_get0_name(digest), nullptr, nullptr, key,
                              nullptr) == 1 &&
      EVP_DigestVerify(context.get(), signature->data, static_cast<std::size_t>(signature->length),
                       reinterpret_cast<const unsigned char*>(der_.data()) + tbsOffset_, tbsSize_) == 1;
  ERR_clear_error();
  return verified;
}

// ---------------------------------------------------------------------------------------
// Names

namespace {

struct ShortName {
  const char* oid;
  const char* name;
};
const ShortName kShortNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.42", "G"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "T"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "S"},
    {"2.5.4.6", "C"},
    {"2.5.4.9", "STREET"},
    {"1.2.840.113549.1.9.1", "E"},
};

std::string QuoteValue(const std::string& value) {
  bool quote = !value.empty() && (value.front() == ' ' || value.back() == ' ');
  if (!quote) quote = value.find_first_of(",+=\"<>#;\r\n") != std::string::npos;
  if (!quote) return value;
  std::string text = "\"";
  for (char c : value) {
    if (c == '"') text += '"';
    text += c;
  }
  return text + "\"";
}

}  // namespace

std::string Asn1StringTo1251(const ASN1_STRING* value) {
  if (!value) return {};
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) {
    ERR_clear_error();
    // An unknown string type: its bytes as they stand.
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                       static_cast<std::size_t>(ASN1_STRING_length(value)));
  }
  std::unique_ptr<unsigned char, OsslFreeDeleter> owner(utf8);
  return Utf8ToCp1251(
      std::string_view(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length)));
}

std::string NameToX500Text(const X509_NAME* name) {
  if (!name) return {};
  std::string text;
  for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    std::string oid = OidText(X509_NAME_ENTRY_get_object(entry));
    std::string type = "OID." + oid;
    for (const ShortName& s : kShortNames) {
      if (oid == s.oid) type = s.name;
    }
    if (!text.empty()) text += ", ";
    text += type + "=" + QuoteValue(Asn1StringTo1251(X509_NAME_ENTRY_get_data(entry)));
  }
  return text;
}

std::optional<std::string> FindNameAttribute(const X509_NAME* name, const std::string& oid) {
  if (!name) return std::nullopt;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (OidText(X509_NAME_ENTRY_get_object(entry)) == oid)
      return Asn1StringTo1251(X509_NAME_ENTRY_get_data(entry));
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// Time

double UnixTimeToDateTime(std::int64_t seconds) {
  return kUnixEpochDateTime + static_cast<double>(seconds) / 86400.0;
}

double Asn1TimeToDateTime(const ASN1_TIME* time) {
  if (!time) return 0;
  struct tm tm {};
  if (!ASN1_TIME_to_tm(time, &tm)) {
    ERR_clear_error();
    return 0;
  }
  return UnixTimeToDateTime(static_cast<std::int64_t>(timegm(&tm)));
}

double UtcToLocalDateTime(double utc) {
  double seconds = std::floor((utc - kUnixEpochDateTime) * 86400.0 + 0.5);
  std::time_t t = static_cast<std::time_t>(seconds);
  struct tm local {};
  localtime_r(&t, &local);
  return UnixTimeToDateTime(static_cast<std::int64_t>(seconds) + local.tm_gmtoff);
}

namespace {

struct tm DateTimeParts(double dateTime) {
  // Rounded to the second, so 23:59:59.9999 does not show as the wrong day.
  double seconds = std::floor((dateTime - kUnixEpochDateTime) * 86400.0 + 0.5);
  std::time_t t = static_cast<std::time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  return parts;
}

}  // namespace

std::string ShortDateText(double dateTime) {
  struct tm p = DateTimeParts(dateTime);
  char text[32];
  std::snprintf(text, sizeof text, "%02d.%02d.%04d", p.tm_mday, p.tm_mon + 1, p.tm_year + 1900);
  return text;
}

std::string LongTimeText(double dateTime) {
  struct tm p = DateTimeParts(dateTime);
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d:%02d", p.tm_hour, p.tm_min, p.tm_sec);
  return text;
}

double NowUtcDateTime() {
  return UnixTimeToDateTime(static_cast<std::int64_t>(std::time(nullptr)));
}
double NowLocalDateTime() {
  return UtcToLocalDateTime(NowUtcDateTime());
}

// ---------------------------------------------------------------------------------------
// Stores

bool CCertStore::AddCertificate(const CertContextPtr& cert, int disposition, CertContextPtr* stored) {
  if (!cert) {
    SetLastCryptError(kErrorInvalidParameter);
    return false;
  }
  if (readOnly_) {
    SetLastCryptError(kErrorAccessDenied);
    return false;
  }
  auto existing = std::find_if(certs_.begin(), certs_.end(),
                               [&](const CertContextPtr& c) { return c->Sha1Hash() == cert->Sha1Hash(); });
  if (existing != certs_.end()) {
    switch (disposition) {
      case kStoreAddNew:
        SetLastCryptError(kCryptEExists);
        return false;
      case kStoreAddUseExisting:
        if (stored) *stored = *existing;
        return true;
      case kStoreAddReplaceExisting:
      case kStoreAddAlways:
        break;
      default:
        SetLastCryptError(kErrorInvalidParameter);
        return false;
    }
  } else if (disposition < kStoreAddNew || disposition > kStoreAddAlways) {
    SetLastCryptError(kErrorInvalidParameter);
    return false;
  }
  // The store keeps a context of its own, carrying the properties of the one added.
  CertContextPtr copy = CCertContext::FromDer(cert->Encoded());
  if (!copy) return false;
  copy->SetKeyProv(cert->KeyProv());
  if (!PersistCertificate(*copy)) return false;
  if (existing != certs_.end() && disposition == kStoreAddReplaceExisting) {
    *existing = copy;
  } else {
    certs_.insert(certs_.begin() + static_cast<std::ptrdiff_t>(CertPosition(*copy)), copy);
  }
  if (stored) *stored = copy;
  return true;
}

bool CCertStore::AddCrl(const CrlContextPtr& crl, int disposition) {
  if (!crl) {
    SetLastCryptError(kErrorInvalidParameter);
    return false;
  }
  if (readOnly_) {
    SetLastCryptError(kErrorAccessDenied);
    return false;
  }
  auto existing = std::find_if(crls_.begin(), crls_.end(),
                               [&](const CrlContextPtr& c) { return c->Sha1Hash() == crl->Sha1Hash(); });
  if (existing != crls_.end()) {
    if (disposition == kStoreAddNew) {
      SetLastCryptError(kCryptEExists);
      return false;
    }
    if (disposition == kStoreAddUseExisting) return true;
  }
  if (!PersistCrl(*crl)) return false;
  if (existing != crls_.end()) {
    *existing = crl;
  } else {
    crls_.push_back(crl);
  }
  return true;
}

bool CCertStore::DeleteCertificate(const CertContextPtr& cert) {
  if (readOnly_) {
    SetLastCryptError(kErrorAccessDenied);
    return false;
  }
  auto existing = std::find_if(certs_.begin(), certs_.end(),
                               [&](const CertContextPtr& c) { return c->Sha1Hash() == cert->Sha1Hash(); });
  if (existing == certs_.end()) {
    SetLastCryptError(kCryptENotFound);
    return false;
  }
  if (!ForgetCertificate(**existing)) return false;
  certs_.erase(existing);
  return true;
}

bool CCertStore::SetKeyProv(const CertContextPtr& cert, const std::optional<KeyProvInfo>& info) {
  CertContextPtr held = FindBySha1Hash(cert->Sha1Hash());
  if (!held) {
    SetLastCryptError(kCryptENotFound);
    return false;
  }
  std::optional<KeyProvInfo> before = held->KeyProv();
  held->SetKeyProv(info);
  if (!PersistCertificate(*held)) {
    held->SetKeyProv(before);
    return false;
  }
  return true;
}

CertContextPtr CCertStore::FindBySha1Hash(const std::string& hash) const {
  for (const CertContextPtr& c : certs_) {
    if (c->Sha1Hash() == hash) return c;
  }
  return nullptr;
}

void CheckBundleCount(std::size_t count) {
  if (count > kMaxBundleCertificates) {
    RaiseErrorFmt("В наборе больше допустимых %d сертификатов"_cp, {kMaxBundleCertificates});
  }
}

CertStorePtr OpenMemoryStore() {
  return std::make_shared<CCertStore>();
}

namespace {

class CMessageStore : public CCertStore {
 public:
  CMessageStore(bool readOnly) { readOnly_ = readOnly; }
  void Put(CertContextPtr c) { certs_.push_back(std::move(c)); }
  void PutCrl(CrlContextPtr c) { crls_.push_back(std::move(c)); }
};

std::string DerOfCert(X509* x) {
  unsigned char* der = nullptr;
  int length = i2d_X509(x, &der);
  if (length <= 0) return {};
  std::unique_ptr<unsigned char, OsslFreeDeleter> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

std::string DerOfCrl(X509_CRL* x) {
  unsigned char* der = nullptr;
  int length = i2d_X509_CRL(x, &der);
  if (length <= 0) return {};
  std::unique_ptr<unsigned char, OsslFreeDeleter> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

// Headers of a DER encoding, read with OpenSSL's ASN.1 decoder within what is left of the
// enclosing value.
class DerHeaders {
 public:
  explicit DerHeaders(const std::string& der)
      : at_(reinterpret_cast<const unsigned char*>(der.data())), left_(static_cast<long>(der.size())) {}
  // The next value's header; false when there is none, it is malformed or of indefinite length.
  bool Next(int& tag, int& cls, long& length) {
    if (left_ <= 0) return false;
    const unsigned char* start = at_;
    const int result = ASN1_get_object(&at_, &length, &tag, &cls, left_);
    if ((result & 0x80) || result == (V_ASN1_CONSTRUCTED | 1)) return false;
    left_ -= at_ - start;
    return length <= left_;
  }
  void Skip(long length) {
    at_ += length;
    left_ -= length;
  }
  // Goes into the value whose header was read last: what follows it is not read.
  void Enter(long length) { left_ = length; }
  long Left() const { return left_; }

 private:
  const unsigned char* at_;
  long left_;
};

// The number of certificates of a SignedData message, counted in its DER without decoding them;
// 0 when the bytes are laid out otherwise (the decoder then refuses them or counts after).
std::size_t CountMessageCertificates(const std::string& der) {
  DerHeaders in(der);
  int tag = 0;
  int cls = 0;
  long length = 0;
  // ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER, content [0] EXPLICIT SignedData }
  if (!in.Next(tag, cls, length) || cls != V_ASN1_UNIVERSAL || tag != V_ASN1_SEQUENCE) return 0;
  in.Enter(length);
  if (!in.Next(tag, cls, length) || tag != V_ASN1_OBJECT) return 0;
  in.Skip(length);
  if (!in.Next(tag, cls, length) || cls != V_ASN1_CONTEXT_SPECIFIC || tag != 0) return 0;
  in.Enter(length);
  // SignedData ::= SEQUENCE { version, digestAlgorithms, encapContentInfo,
  //                           certificates [0] IMPLICIT SET OF ... OPTIONAL, ... }
  if (!in.Next(tag, cls, length) || tag != V_ASN1_SEQUENCE) return 0;
  in.Enter(length);
  for (int field = 0; field < 3; ++field) {
    if (!in.Next(tag, cls, length)) return 0;
    in.Skip(length);
  }
  if (!in.Next(tag, cls, length) || cls != V_ASN1_CONTEXT_SPECIFIC || tag != 0) return 0;
  in.Enter(length);
  std::size_t count = 0;
  while (in.Left() > 0 && in.Next(tag, cls, length)) {
    in.Skip(length);
    ++count;
  }
  return count;
}

CmsPtr DecodeMessage(const std::string& der) {
  CheckBundleCount(CountMessageCertificates(der));
  BioPtr bio = MemoryBio(der);
  return CmsPtr(d2i_CMS_bio(bio.get(), nullptr));
}

// The DER bytes of a message in PEM armour ("CMS", "PKCS7" or "PKCS #7 SIGNED DATA"), or nothing.
std::string PemMessageBytes(const std::string& text) {
  for (const char* name : {PEM_STRING_CMS, PEM_STRING_PKCS7}) {
    BioPtr bio = MemoryBio(text);
    char* found = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_bytes_read_bio(&data, &length, &found, name, bio.get(), nullptr, nullptr) == 1) {
      std::string der(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
      OPENSSL_free(found);
      OPENSSL_free(data);
      return der;
    }
    ERR_clear_error();
  }
  return {};
}

CmsPtr ReadCms(const std::string& bytes) {
  EnsureGostEngine();
  if (CmsPtr cms = DecodeMessage(bytes)) return cms;
  ERR_clear_error();
  if (bytes.find("-----BEGIN") == std::string::npos) return nullptr;
  std::string der = PemMessageBytes(bytes);
  return der.empty() ? nullptr : DecodeMessage(der);
}

using X509StackPtr = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;
void FreeX509Stack(STACK_OF(X509) * certs) {
  sk_X509_pop_free(certs, X509_free);
}

}  // namespace

CertStorePtr OpenPkcs7Store(const std::string& bytes, bool readOnly) {
  CmsPtr cms = ReadCms(bytes);
  if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
    ERR_clear_error();
    SetLastCryptError(cms ? kCryptEUnexpectedMsgType : kCryptEAsn1BadTag);
    return nullptr;
  }
  auto store = std::make_shared<CMessageStore>(false);
  X509StackPtr certs(CMS_get1_certs(cms.get()), FreeX509Stack);
  // counted again for what the encoding did not show (BER of indefinite length)
  CheckBundleCount(certs ? static_cast<std::size_t>(sk_X509_num(certs.get())) : 0);
  for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) {
    if (CertContextPtr c = CCertContext::FromDer(DerOfCert(sk_X509_value(certs.get(), i)))) store->Put(c);
  }
  STACK_OF(X509_CRL)* crls = CMS_get1_crls(cms.get());
  for (int i = 0; crls && i < sk_X509_CRL_num(crls); ++i) {
    if (CrlContextPtr c = CCrlContext::FromDer(DerOfCrl(sk_X509_CRL_value(crls, i)))) store->PutCrl(c);
  }
  sk_X509_CRL_pop_free(crls, X509_CRL_free);
  ERR_clear_error();
  // A message store opened read-only refuses additions.
  if (readOnly) {
    auto locked = std::make_shared<CMessageStore>(true);
    for (const auto& c : store->Certificates()) locked->Put(c);
    for (const auto& c : store->Crls()) locked->PutCrl(c);
    return locked;
  }
  return store;
}

CertStorePtr OpenFileStore(const std::string& fileName) {
  std::string bytes;
  if (!FileExists(fileName)) {
    SetLastCryptError(kErrorFileNotFound);
    return nullptr;
  }
  try {
    bytes = ReadFileBytes(fileName);
  } catch (const COSException& e) {
    SetLastCryptError(e.Code() == ENOENT ? kErrorFileNotFound : kCryptEFileError, e.Message());
    return nullptr;
  } catch (const CVorlentException& e) {
    SetLastCryptError(kCryptEFileError, e.Message());
    return nullptr;
  }
  if (CertStorePtr store = OpenPkcs7Store(bytes, false)) return store;
  auto store = std::make_shared<CMessageStore>(false);
  if (CertContextPtr c = CCertContext::FromDer(bytes)) {
    store->Put(c);
    return store;
  }
  if (CrlContextPtr c = CCrlContext::FromDer(bytes)) {
    store->PutCrl(c);
    return store;
  }
  // PEM blocks are counted before any is decoded (CRLs among them)
  std::size_t blocks = 0;
  for (std::size_t at = bytes.find("-----BEGIN "); at != std::string::npos;
       at = bytes.find("-----BEGIN ", at + 1))
    ++blocks;
  CheckBundleCount(blocks);
  BioPtr bio = MemoryBio(bytes);
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr);
  ERR_clear_error();
  bool any = false;
  for (int i = 0; infos && i < sk_X509_INFO_num(infos); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509) {
      if (CertContextPtr c = CCertContext::FromDer(DerOfCert(info->x509))) store->Put(c), any = true;
    }
    if (info->crl) {
      if (CrlContextPtr c = CCrlContext::FromDer(DerOfCrl(info->crl))) store->PutCrl(c), any = true;
    }
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  if (!any) {
    SetLastCryptError(kCryptENoMatch);
    return nullptr;
  }
  return store;
}

// ---------------------------------------------------------------------------------------
// System stores on disk

bool WriteFileAtomic(const std::string& fileName, const std::string& bytes, unsigned mode) {
  try {
    ReplaceFileAtomically(fileName, bytes, mode);
    return true;
  } catch (const COSException& e) {
    SetLastCryptError(e.Code() == EACCES ? kErrorAccessDenied : kCryptEFileError, e.Message());
    return false;
  }
}

std::string LocationRoot(int location) {
  std::string home = GetEnvironmentText("QELVORLENT_HOME");
  if (!home.empty()) return CombinePath(home, location == kLocationLocalMachine ? "machine" : "user");
  if (location == kLocationLocalMachine) return "/var/lib/qelvorlent";
  std::string data = GetEnvironmentText("XDG_DATA_HOME");
  if (data.empty()) data = CombinePath(GetEnvironmentText("HOME"), ".local/share");
  return CombinePath(data, "qelvorlent");
}

namespace {

std::string PropText(const KeyProvInfo& info) {
  return FormatText(
      "ContainerName=%s\nProviderName=%s\nProviderType=%d\nFlags=%d\nKeySpec=%d\n",
      {HexText(info.containerName), HexText(info.providerName), static_cast<long long>(info.providerType),
       static_cast<long long>(info.flags), static_cast<long long>(info.keySpec)});
}

std::optional<KeyProvInfo> ParseProp(const std::string& text) try {
  CStrArray lines;
  SplitText(text, '\n', lines);
  KeyProvInfo info;
  int fields = 0;
  for (int i = 0; i < lines.Count(); ++i) {
    const std::string& line = lines.Key(i);
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name = line.substr(0, eq), value = Trim(line.substr(eq + 1));
    char* end = nullptr;
    unsigned long number = std::strtoul(value.c_str(), &end, 10);
    if (name == "ContainerName") {
      info.containerName = HexToBytes(value), ++fields;
    } else if (name == "ProviderName") {
      info.providerName = HexToBytes(value), ++fields;
    } else if (name == "ProviderType") {
      info.providerType = static_cast<std::uint32_t>(number), ++fields;
    } else if (name == "Flags") {
      info.flags = static_cast<std::uint32_t>(number), ++fields;
    } else if (name == "KeySpec") {
      info.keySpec = static_cast<std::uint32_t>(number), ++fields;
    }
  }
  if (fields != 5) return std::nullopt;
  return info;
} catch (const CVorlentException&) {
  return std::nullopt;
}

std::string CanonicalStoreName(const std::string& name) {
  for (const char* known : {"MY", "ROOT", "CA", "addressbook"}) {
    if (SameText(name, known)) return known;
  }
  return name;
}

// What the system stores hold, parsed once per process: each file's certificate, list or
// properties, under the status of the very file read (device, inode, size, times of change).
// A file is read again when anything of that status changes, and a file changed within
// kStoreFileSettle of its reading is not kept (a second change in the same tick of the clock
// would keep all of its status): what is kept is exactly what was read and parsed then. At most
// kMaxCachedStoreFiles files of kMaxCachedStores folders are kept, the oldest folder dropped first.
struct StoreFileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0, changed = 0;  // nanoseconds
  bool operator==(const StoreFileStamp& o) const {
    return device == o.device && inode == o.inode && size == o.size && modified == o.modified &&
           changed == o.changed;
  }
};

StoreFileStamp StampOf(const struct stat& st) {
  auto ns = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
  return {st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

struct StoreFile {
  StoreFileStamp stamp;
  CertContextPtr cert;              // a .cer file: its certificate, never handed out itself
  CrlContextPtr crl;                // a .crl file
  std::optional<KeyProvInfo> prop;  // a .prop file
};
using StoreFiles = std::map<std::string, StoreFile>;  // by file name

class CStoreSnapshots {
 public:
  // The files of `folder` kept from its last reading.
  std::shared_ptr<const StoreFiles> Of(const std::string& folder) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = folders_.find(folder);
    return found == folders_.end() ? nullptr : found->second;
  }
  void Keep(const std::string& folder, std::shared_ptr<const StoreFiles> files) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find(order_.begin(), order_.end(), folder);
    if (found != order_.end()) order_.erase(found);
    order_.push_back(folder);
    folders_[folder] = std::move(files);
    std::size_t total = 0;
    for (const auto& [name, kept] : folders_) total += kept->size();
    while (order_.size() > 1 && (order_.size() > kMaxCachedStores || total > kMaxCachedStoreFiles)) {
      total -= folders_[order_.front()]->size();
      folders_.erase(order_.front());
      order_.erase(order_.begin());
    }
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const StoreFiles>> folders_;
  std::vector<std::string> order_;  // least recently read first
};

CStoreSnapshots& StoreSnapshots() {
  static CStoreSnapshots* snapshots = new CStoreSnapshots();  // used until the process ends
  return *snapshots;
}

std::atomic<int> g_storeFileSettle{kStoreFileSettle};

// Whether a file of `stamp` read at `readAt` (nanoseconds) may be kept.
bool Settled(const StoreFileStamp& stamp, std::int64_t readAt) {
  const std::int64_t settle = g_storeFileSettle.load() * 1000000000LL;
  return stamp.changed + settle <= readAt && stamp.modified + settle <= readAt;
}

std::int64_t NowNanoseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

class CSystemStore : public CCertStore {
 public:
  explicit CSystemStore(std::string folder) : folder_(std::move(folder)) {}

  void Load() {
    RemoveStaleTemporaries(folder_, {kTemporaryNamePattern});
    std::shared_ptr<const StoreFiles> before = StoreSnapshots().Of(folder_);
    auto now = std::make_shared<StoreFiles>();
    const std::int64_t readAt = NowNanoseconds();
    // The file `name` as kept, when its status is still the one it was read with; else read
    // and parsed by `parse` here (null when it could not be read) and kept when settled.
    auto file = [&](const std::string& name, const std::string& path, std::uint64_t limit,
                    const std::function<void(const std::string&, StoreFile&)>& parse) -> const StoreFile* {
      struct stat st {};
      if (before && ::stat(SysPath(path).c_str(), &st) == 0) {
        auto found = before->find(name);
        if (found != before->end() && found->second.stamp == StampOf(st)) {
          return &now->emplace(name, found->second).first->second;
        }
      }
      StoreFile read;
      std::string bytes = ReadRegularFile(path, limit, st);
      read.stamp = StampOf(st);
      parse(bytes, read);
      if (!Settled(read.stamp, readAt)) {
        // not kept for the next reading; held for this one
        fresh_.push_back(std::move(read));
        return &fresh_.back();
      }
      return &now->emplace(name, std::move(read)).first->second;
    };
    CStrArray files;
    ListFiles(folder_, "*.cer", kListFiles, files);  // sorted by name: the thumbprint order
    for (int i = 0; i < files.Count(); ++i) {
      std::string path = CombinePath(folder_, files.Key(i));
      try {
        const StoreFile* cer =
            file(files.Key(i), path, kMaxStoredCertificate,
                 [](const std::string& bytes, StoreFile& read) { read.cert = CCertContext::FromDer(bytes); });
        if (!cer->cert) {
          Trace("Поврежденный файл хранилища пропущен: %s"_cp, {path});
          continue;
        }
        CertContextPtr cert = cer->cert->Copy();
        std::string propPath = PropPath(*cert);
        if (FileExists(propPath)) {
          const std::string propName = cert->Sha1Text() + ".prop";
          const StoreFile* prop =
              file(propName, propPath, kMaxStoredCertificate,
                   [](const std::string& bytes, StoreFile& read) { read.prop = ParseProp(bytes); });
          if (!prop->prop) Trace("Поврежденный файл свойств пропущен: %s"_cp, {propPath});
          cert->SetKeyProv(prop->prop);
        }
        certs_.push_back(cert);
      } catch (const std::exception& e) {
        Trace("Файл хранилища не прочитан: %s: %s"_cp, {path, e.what()});
      }
    }
    CStrArray crlFiles;
    ListFiles(folder_, "*.crl", kListFiles, crlFiles);
    for (int i = 0; i < crlFiles.Count(); ++i) {
      std::string path = CombinePath(folder_, crlFiles.Key(i));
      try {
        const StoreFile* crl =
            file(crlFiles.Key(i), path, kMaxStoredCrl,
                 [](const std::string& bytes, StoreFile& read) { read.crl = CCrlContext::FromDer(bytes); });
        if (crl->crl) {
          crls_.push_back(crl->crl);
        } else {
          Trace("Поврежденный файл хранилища пропущен: %s"_cp, {path});
        }
      } catch (const std::exception& e) {
        Trace("Файл хранилища не прочитан: %s: %s"_cp, {path, e.what()});
      }
    }
    fresh_.clear();
    StoreSnapshots().Keep(folder_, std::move(now));
    ERR_clear_error();
  }

 protected:
  // A certificate and its properties are one entry: the property file is written (or removed)
  // first and the certificate file last, so that after a failure or a crash at any point the
  // store shows the whole entry or none of it. An entry the store held keeps its certificate
  // file, and a failed change of its properties leaves the earlier ones.
  bool PersistCertificate(const CCertContext& cert) override {
    // What the store would not read back it does not take: it could neither list nor remove it.
    if (cert.Encoded().size() > kMaxStoredCertificate) {
      SetLastCryptError(kCryptEFileError,
                        FormatText("Сертификат больше допустимых %d байт"_cp, {kMaxStoredCertificate}));
      return false;
    }
    if (!MakeFolder()) return false;
    const bool held = HoldsFile(cert);
    if (cert.KeyProv()) {
      if (!WriteFileAtomic(PropPath(cert), PropText(*cert.KeyProv()), 0600)) return false;
    } else if (::unlink(SysPath(PropPath(cert)).c_str()) != 0 && errno != ENOENT) {
      SetLastCryptError(kCryptEFileError, SystemErrorText(errno));
      return false;
    }
    if (held) return true;
    if (WriteFileAtomic(CertPath(cert), cert.Encoded(), 0644)) return true;
    if (cert.KeyProv()) ::unlink(SysPath(PropPath(cert)).c_str());
    return false;
  }
  bool ForgetCertificate(const CCertContext& cert) override {
    ::unlink(SysPath(PropPath(cert)).c_str());
    if (::unlink(SysPath(CertPath(cert)).c_str()) != 0 && errno != ENOENT) {
      SetLastCryptError(kCryptEFileError, SystemErrorText(errno));
      return false;
    }
    return true;
  }
  bool PersistCrl(const CCrlContext& crl) override {
    return MakeFolder() &&
           WriteFileAtomic(CombinePath(folder_, HexText(crl.Sha1Hash()) + ".crl"), crl.Encoded(), 0644);
  }
  std::size_t CertPosition(const CCertContext& cert) const override {
    std::string key = cert.Sha1Text();
    std::size_t i = 0;
    while (i < certs_.size() && certs_[i]->Sha1Text() < key) ++i;
    return i;
  }

 private:
  // The folder of a store that could not be made when it was opened (a read-only home) is
  // made when something is written, and the real error is reported then.
  bool MakeFolder() {
    if (ForceDirectories(folder_, 0700)) return true;
    SetLastCryptError(errno == EACCES ? kErrorAccessDenied : kCryptEFileError, SystemErrorText(errno));
    return false;
  }
  // True when the certificate's file on disk holds exactly its bytes.
  bool HoldsFile(const CCertContext& cert) const {
    try {
      return ReadRegularFile(CertPath(cert), kMaxStoredCertificate) == cert.Encoded();
    } catch (const CVorlentException&) {
      return false;
    }
  }
  std::string CertPath(const CCertContext& cert) const {
    return CombinePath(folder_, cert.Sha1Text() + ".cer");
  }
  std::string PropPath(const CCertContext& cert) const {
    return CombinePath(folder_, cert.Sha1Text() + ".prop");
  }

  std::string folder_;
  std::deque<StoreFile> fresh_;  // files read by Load that are not kept
};

}  // namespace

void SetStoreFileSettle(int seconds) {
  g_storeFileSettle = seconds;
}

CertStorePtr OpenSystemStore(int location, const std::string& name) {
  if ((location != kLocationLocalMachine && location != kLocationCurrentUser) || name.empty() ||
      name.find('/') != std::string::npos || name == "." || name == "..") {
    SetLastCryptError(kErrorInvalidParameter);
    return nullptr;
  }
  std::string folder = CombinePath(CombinePath(LocationRoot(location), "stores"), CanonicalStoreName(name));
  // A store that cannot be made yet (nowhere to write) is empty; writing into it reports why.
  if (!ForceDirectories(folder, 0700)) {
    Trace("Папка хранилища не создана: %s: %s"_cp, {folder, SystemErrorText(errno)});
  }
  auto store = std::make_shared<CSystemStore>(folder);
  store->Load();
  return store;
}

// ---------------------------------------------------------------------------------------
// Issuers and revocation

CertContextPtr GetIssuerFromStore(const CCertStore& store, const CCertContext& cert,
                                  const CCertContext* previous, std::uint32_t& flags) {
  X509* subject = cert.Cert();
  if (X509_NAME_cmp(X509_get_subject_name(subject), X509_get_issuer_name(subject)) == 0) {
    SetLastCryptError(kCryptESelfSigned);
    return nullptr;
  }
  const auto& certs = store.Certificates();
  std::size_t start = 0;
  if (previous) {
    while (start < certs.size() && certs[start].get() != previous) ++start;
    ++start;
  }
  bool checkSignature = (flags & 1) != 0;
  for (std::size_t i = start; i < certs.size(); ++i) {
    X509* candidate = certs[i]->Cert();
    if (X509_NAME_cmp(X509_get_subject_name(candidate), X509_get_issuer_name(subject)) != 0) continue;
    if (checkSignature) {
      EVP_PKEY* key = X509_get0_pubkey(candidate);
      bool verified = key && X509_verify(subject, key) == 1;
      ERR_clear_error();
      flags = verified ? (flags & ~1u) : (flags | 1u);
    }
    return certs[i];
  }
  SetLastCryptError(kCryptENotFound);
  return nullptr;
}

bool FindCertificateInCrl(const CCertContext& cert, const CCrlContext& crl, double& revocationDate) {
  revocationDate = 0;
  if (X509_NAME_cmp(X509_get_issuer_name(cert.Cert()), X509_CRL_get_issuer(crl.Crl())) != 0) return false;
  bool found = false;
  crl.ForEachEntry(
      [&](const X509_REVOKED* entry) {
        revocationDate = Asn1TimeToDateTime(X509_REVOKED_get0_revocationDate(entry));
        found = true;
        return false;
      },
      X509_get0_serialNumber(cert.Cert()));
  return found;
}

}  // namespace qv
