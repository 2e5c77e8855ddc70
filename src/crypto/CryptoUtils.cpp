#include "crypto/CryptoUtils.h"

#include <cstdio>
#include <map>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "foundation/ValueCheck.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"

namespace qv {

const char* const kBase64GeneralSet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=- \r\n";
const char* const kBase64WrapperSet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/= \r\n";

namespace {

const char kBeginCert[] = "-----BEGIN CERTIFICATE-----";
const char kEndCert[] = "-----END CERTIFICATE-----";

std::string RemoveAll(std::string text, const std::string& what) {
  std::size_t at;
  while ((at = text.find(what)) != std::string::npos) text.erase(at, what.size());
  return text;
}

std::string NameCN(const X509_NAME* name) {
  return FindNameAttribute(name, "2.5.4.3").value_or("na");
}

}  // namespace

void RaiseLastCryptError() {
  RegisterCryptErrorTexts();
  RaiseOSError(GetLastCryptError(), LastErrorMessage());
}

// ---------------------------------------------------------------------------------------
// Store helpers

std::uint32_t CCryptoAPI20Utils::GetStoreFlags(int location) {
  switch (location) {
    case kStoreLocalMachine:
      return 0x00021001;
    case kStoreCurrentUser:
      return 0x00011001;
    default:
      RaiseErrorFmt("Недоступное хранилище: [%d]"_cp, {location});
  }
}

std::string CCryptoAPI20Utils::GetStoreName(int name) {
  switch (name) {
    case kStoreMy:
      return "MY";
    case kStoreRoot:
      return "ROOT";
    case kStoreCA:
      return "CA";
    case kStoreAddressBook:
      return "addressbook";
    default:
      RaiseErrorFmt("Недоступное имя хранилища: [%d]"_cp, {name});
  }
}

CertStorePtr CCryptoAPI20Utils::OpenSystemStore(const CProviderContext*, int location, int name) {
  std::uint32_t flags = GetStoreFlags(location);
  std::string storeName = GetStoreName(name);
  return qv::OpenSystemStore((flags & 0x00020000) ? kLocationLocalMachine : kLocationCurrentUser, storeName);
}

void CCryptoAPI20Utils::EnumStore(const CProviderContext* hProv, int location, int name,
                                  CStrArray* certArray) {
  if (location == 0) RaiseError("Неизвестное хранилище"_cp);
  if (name == 0) RaiseError("Неизвестное имя хранилища"_cp);
  CValueCheckTool::CheckNotNil(certArray, "certArray");
  CertStorePtr store = OpenSystemStore(hProv, location, name);
  if (!store) RaiseLastCryptError();
  // The items hold references of their own: a list that owns nothing would lose them.
  if (certArray->GetOwnership() == CStrArray::kOwnNone) certArray->SetOwnership(CStrArray::kOwnDestroy);
  for (const CertContextPtr& cert : store->Certificates()) {
    certArray->Add(GetCertSha1(cert), new CCertHandleItem(cert));
  }
}

CertContextPtr CCryptoAPI20Utils::FindBySha1(const CProviderContext* hProv, int location, int name,
                                             const std::string& sha1) {
  CertStorePtr store = OpenSystemStore(hProv, location, name);
  if (!store) return nullptr;
  for (const CertContextPtr& cert : store->Certificates()) {
    if (GetCertSha1(cert) == sha1) return cert;
  }
  return nullptr;
}

std::string CCryptoAPI20Utils::GetCertSha1(const CertContextPtr& certificate) {
  if (!certificate) {
    SetLastCryptError(kErrorInvalidParameter);
    RaiseErrorFmt("Получения отпечатка открытого ключа [длина]: %s"_cp, {LastErrorText()});
  }
  return certificate->Sha1Text();
}

ProviderContextPtr CCryptoAPI20Utils::OpenContainerFor(const std::string& providerName,
                                                       std::uint32_t providerType, bool machine,
                                                       const std::string& container,
                                                       const CCertContext& certificate) {
  ProviderContextPtr context =
      AcquireProviderContext(container, providerName, providerType, machine ? kCryptMachineKeyset : 0);
  if (!context) {
    RaiseErrorFmt("Ошибка при инициализации с контейнером [%s] криптопровайдера: %s"_cp,
                  {container, LastErrorText()});
  }
  if (!KeyContainerHasKey(machine, container)) {
    SetLastCryptError(kNteNoKey);
    RaiseError("Ошибка при получении закрытого ключа из контейнера: "_cp + LastErrorText());
  }
  // A certificate bound to another's key would only fail later, at signing, with a message
  // that names neither.
  EvpPkeyPtr key;
  try {
    key = LoadContainerKey(machine, container);
  } catch (const CVorlentException& e) {
    RaiseError("Ошибка при получении закрытого ключа из контейнера: "_cp + e.Message());
  }
  CheckContainerKeyOf(container, key.get(), certificate);
  return context;
}

void CCryptoAPI20Utils::BindToContainer(const CProviderContext* hProv, const std::string& container,
                                        const CertContextPtr& certificate) {
  std::uint32_t type = 0;
  std::string providerName;
  GetProvInfo(hProv, type, providerName);
  bool machine = hProv->machineKeyset;
  ProviderContextPtr keyContext = OpenContainerFor(providerName, type, machine, container, *certificate);
  if (!WriteContainerCertificate(machine, container, certificate->Encoded())) {
    RaiseErrorFmt("Ошибка при импорте сертификата в контейнер: %s"_cp, {LastErrorText()});
  }
  KeyProvInfo info;
  info.containerName = container;
  info.providerName = keyContext->name;
  info.providerType = keyContext->type;
  info.flags = 1 | (machine ? kCryptMachineKeyset : 0);
  info.keySpec = kAtKeyExchange;
  certificate->SetKeyProv(info);
}

void CCryptoAPI20Utils::AddToStore(const CProviderContext* hProv, int location, int name,
                                   const std::string& container, const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  CertStorePtr store = OpenSystemStore(hProv, location, name);
  if (!store) RaiseLastCryptError();
  if (!container.empty()) {
    std::uint32_t type;
    std::string providerName;
    GetProvInfo(hProv, type, providerName);
  }
  // Bound before it is added, so that the store takes the certificate with its binding in one
  // step, and a container that cannot take it leaves the store as it was.
  if (name == kStoreMy && !container.empty()) BindToContainer(hProv, container, certificate);
  int disposition = name == kStoreMy ? kStoreAddReplaceExisting : kStoreAddUseExisting;
  if (!store->AddCertificate(certificate, disposition)) {
    RaiseError("Не удалось импортировать сертификат"_cp + LastErrorText());
  }
}

int CCryptoAPI20Utils::ClassifyCertificate(const CertContextPtr& certificate) {
  X509* x = certificate->Cert();
  for (int i = 0; i < X509_get_ext_count(x); ++i) {
    X509_EXTENSION* ext = X509_get_ext(x, i);
    if (!X509_EXTENSION_get_critical(ext)) continue;
    if (!SameText(OidText(X509_EXTENSION_get_object(ext)), "2.5.29.19")) continue;
    BasicConstraintsPtr bc(static_cast<BASIC_CONSTRAINTS*>(X509V3_EXT_d2i(ext)));
    ERR_clear_error();
    if (bc && bc->ca) return kStoreCA;
    break;
  }
  if (GetSubjectCN(certificate) == GetIssuerCN(certificate)) return kStoreRoot;
  return kStoreAddressBook;
}

namespace {

// The stores of a location that a bundle goes into, each opened (and so read) once for the
// whole bundle instead of once for every certificate.
class BundleStores {
 public:
  BundleStores(const CProviderContext* hProv, int location) : hProv_(hProv), location_(location) {}
  // Adds a certificate to the store of its class, keeping a copy that is there already.
  void Add(const CertContextPtr& certificate) {
    const int name = CCryptoAPI20Utils::ClassifyCertificate(certificate);
    CertStorePtr& store = stores_[name];
    if (!store) store = CCryptoAPI20Utils::OpenSystemStore(hProv_, location_, name);
    if (!store) RaiseLastCryptError();
    if (!store->AddCertificate(certificate, kStoreAddUseExisting)) {
      RaiseError("Не удалось импортировать сертификат"_cp + CCryptoAPI20Utils::LastErrorText());
    }
  }

 private:
  const CProviderContext* hProv_;
  int location_;
  std::map<int, CertStorePtr> stores_;
};

}  // namespace

void CCryptoAPI20Utils::ImportBundle(const CProviderContext* hProv, int location, const std::string& text) {
  BundleStores stores(hProv, location);
  // Several PEM certificates one after another are imported one by one: decoding them as one
  // Base64 text would run the blocks into each other. They are counted first and decoded all
  // before the first is stored.
  std::size_t first = text.find(kBeginCert);
  if (first != std::string::npos && text.find(kBeginCert, first + 1) != std::string::npos) {
    std::size_t count = 0;
    for (std::size_t at = first; at != std::string::npos; at = text.find(kBeginCert, at + 1)) ++count;
    CheckBundleCount(count);
    std::vector<CertContextPtr> certificates;
    std::size_t at = first;
    while (at != std::string::npos) {
      std::size_t end = text.find(kEndCert, at);
      std::size_t next = text.find(kBeginCert, at + 1);
      std::size_t stop = end == std::string::npos ? next : end + sizeof kEndCert - 1;
      std::string block = text.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
      certificates.push_back(CertificateFromText(block));
      at = next;
    }
    for (const CertContextPtr& cert : certificates) stores.Add(cert);
    return;
  }
  // A PKCS #7 message in PEM armour: its header would pass for Base64 and spoil the decoding.
  CertStorePtr armoured;
  if (text.find("-----BEGIN PKCS7-----") != std::string::npos ||
      text.find("-----BEGIN CMS-----") != std::string::npos) {
    armoured = OpenPkcs7Store(text);
  }
  std::string rest = RemoveAll(RemoveAll(text, kBeginCert), kEndCert);
  std::string bytes = armoured || !IsBase64Text(rest) ? rest : DecodeBase64(rest);
  Trace("Ready to open store: %s", {bytes});
  if (CertStorePtr bundle = armoured ? armoured : OpenPkcs7Store(bytes)) {
    for (const CertContextPtr& cert : bundle->Certificates()) stores.Add(cert);
    return;
  }
  stores.Add(CertificateFromText(bytes));
}

void CCryptoAPI20Utils::GetProvInfo(const CProviderContext* hProv, std::uint32_t& providerType,
                                    std::string& providerName) {
  if (!hProv) {
    SetLastCryptError(kNteBadKeysetParam);
    RaiseErrorFmt("CCryptoAPI20Utils.GetProvInfo: %s", {LastErrorText()});
  }
  providerType = hProv->type;
  providerName = hProv->name;
}

bool CCryptoAPI20Utils::IsCryptoProviderInstalled() {
  return EnsureGostEngine();
}

std::string CCryptoAPI20Utils::LastErrorText() {
  RegisterCryptErrorTexts();
  std::int32_t code = GetLastCryptError();
  char head[48];
  std::snprintf(head, sizeof head, "0x%08X (%d): ", static_cast<unsigned>(code), static_cast<int>(code));
  return head + LastErrorMessage();
}

// ---------------------------------------------------------------------------------------
// Text forms

std::string CCryptoAPI20Utils::DecodeBase64(const std::string& text) {
  std::string out;
  out.reserve((text.size() + 3) / 4 * 3);
  unsigned bits = 0;
  int count = 0;
  for (char ch : text) {
    int v;
    if (ch >= 'A' && ch <= 'Z') {
      v = ch - 'A';
    } else if (ch >= 'a' && ch <= 'z') {
      v = ch - 'a' + 26;
    } else if (ch >= '0' && ch <= '9') {
      v = ch - '0' + 52;
    } else if (ch == '+') {
      v = 62;
    } else if (ch == '/') {
      v = 63;
    } else {
      continue;
    }
    bits = (bits << 6) | static_cast<unsigned>(v);
    if (++count == 4) {
      out += static_cast<char>((bits >> 16) & 0xFF);
      out += static_cast<char>((bits >> 8) & 0xFF);
      out += static_cast<char>(bits & 0xFF);
      bits = 0;
      count = 0;
    }
  }
  if (count == 3) {
    out += static_cast<char>((bits >> 10) & 0xFF);
    out += static_cast<char>((bits >> 2) & 0xFF);
  } else if (count == 2) {
    out += static_cast<char>((bits >> 4) & 0xFF);
  }
  return out;
}

bool CCryptoAPI20Utils::IsBase64(const std::string& text, const char* set) {
  std::string chars(set);
  for (char c : text) {
    if (chars.find(c) == std::string::npos) return false;
  }
  return true;
}

std::string CCryptoAPI20Utils::ToHex(const std::string& bytes) {
  return HexText(bytes);
}

CertContextPtr CCryptoAPI20Utils::CertificateFromText(const std::string& text) {
  CValueCheckTool::CheckNotEmpty(text, "CertificateBody");
  std::string rest = RemoveAll(RemoveAll(text, kBeginCert), kEndCert);
  std::string bytes = IsBase64(rest, kBase64GeneralSet) ? DecodeBase64(rest) : rest;
  CertContextPtr cert = CCertContext::FromDer(bytes);
  if (!cert) RaiseError("Ошибка при импорте сертификата: "_cp + LastErrorText());
  return cert;
}

CrlContextPtr CCryptoAPI20Utils::CrlFromBytes(const std::string& bytes) {
  CValueCheckTool::CheckNotEmpty(bytes, "CRLBody");
  CrlContextPtr crl = CCrlContext::FromDer(bytes);
  if (!crl) RaiseError("Ошибка при импорте CRL (неверный формат?): "_cp + LastErrorText());
  return crl;
}

std::string CCryptoAPI20Utils::NormalizeCrlText(const std::string& text) {
  std::string rest = text;
  const std::string header = "-----BEGIN X509 CRL-----";
  if (rest.compare(0, header.size(), header) == 0) {
    rest = RemoveAll(RemoveAll(RemoveAll(RemoveAll(rest, header), "-----END X509 CRL-----"), "\r"), "\n");
  }
  if (!rest.empty() && rest[0] == 'M') return DecodeBase64(RemoveAll(RemoveAll(rest, "\r"), "\n"));
  return rest;
}

// ---------------------------------------------------------------------------------------
// Queries

std::string CCryptoAPI20Utils::GetIssuerCN(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  return NameCN(X509_get_issuer_name(certificate->Cert()));
}

std::string CCryptoAPI20Utils::GetSubjectCN(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  return NameCN(X509_get_subject_name(certificate->Cert()));
}

std::string CCryptoAPI20Utils::GetSerialText(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate->Cert());
  unsigned char* der = nullptr;
  int length = i2d_ASN1_INTEGER(serial, &der);
  if (length <= 2) {
    OPENSSL_free(der);
    return {};
  }
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  // The content octets after the tag and the length, least significant byte first.
  std::size_t header = 2;
  unsigned char lengthByte = static_cast<unsigned char>(bytes[1]);
  if (lengthByte & 0x80) header += lengthByte & 0x7F;
  std::string content = bytes.substr(header);
  return HexText(std::string(content.rbegin(), content.rend()));
}

std::string CCryptoAPI20Utils::GetCrlUrls(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  int critical = -1;
  DistPointsPtr points(static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(certificate->Cert(), NID_crl_distribution_points, &critical, nullptr)));
  if (!points) {
    if (critical == -1) return {};
    SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
    RaiseError("Не удалось раскодировать содержимое расширения CRL"_cp);
  }
  std::string urls;
  for (int i = 0; i < sk_DIST_POINT_num(points.get()); ++i) {
    DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
    if (!point->distpoint || point->distpoint->type != 0) continue;
    GENERAL_NAMES* names = point->distpoint->name.fullname;
    for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
      GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
      if (name->type != GEN_URI) continue;
      std::string url = Asn1StringTo1251(name->d.uniformResourceIdentifier);
      if (!IsUrl(url)) continue;
      if (!urls.empty()) urls += ",";
      urls += url;
    }
  }
  return urls;
}

std::string CCryptoAPI20Utils::GetCaIssuerUrl(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  int critical = -1;
  AuthInfoPtr access(static_cast<AUTHORITY_INFO_ACCESS*>(
      X509_get_ext_d2i(certificate->Cert(), NID_info_access, &critical, nullptr)));
  if (!access) {
    if (critical == -1) return {};
    SetLastCryptErrorFromOpenSsl(kCryptEAsn1BadTag);
    RaiseError("Не удалось раскодировать содержимое расширения CA"_cp);
  }
  std::string url;
  for (int i = 0; i < sk_ACCESS_DESCRIPTION_num(access.get()); ++i) {
    ACCESS_DESCRIPTION* description = sk_ACCESS_DESCRIPTION_value(access.get(), i);
    if (OidText(description->method) != "1.3.6.1.5.5.7.48.2") continue;
    if (description->location->type != GEN_URI) continue;
    std::string location = Asn1StringTo1251(description->location->d.uniformResourceIdentifier);
    if (IsUrl(location)) url = location;
  }
  if (url.empty()) RaiseError("Точка распространения сертификата CA не найдена"_cp);
  return url;
}

bool CCryptoAPI20Utils::IsUrl(const std::string& text) {
  for (const char* scheme : {"https://", "http://", "ftp://"}) {
    if (text.rfind(scheme, 0) == 0) return true;
  }
  return false;
}

std::string CCryptoAPI20Utils::GetCertificateBody(const CertContextPtr& certificate) {
  CValueCheckTool::CheckNotNil(certificate.get(), "certificate");
  return certificate->Encoded();
}

}  // namespace qv
