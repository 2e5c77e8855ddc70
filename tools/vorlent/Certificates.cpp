#include "Certificates.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "Client.h"
#include "Util.h"

namespace vorlent {

namespace {

using nlohmann::json;

// The holder's identifiers of qualified certificates: the name attribute's OID, the key of
// --json and the name people know it by.
struct KnownAttribute {
  const char* oid;
  const char* key;
  const char* name;
};

constexpr KnownAttribute kKnownAttributes[] = {
    {"1.2.643.3.131.1.1", "inn", "ИНН"},  {"1.2.643.100.3", "snils", "СНИЛС"},
    {"1.2.643.100.1", "ogrn", "ОГРН"},    {"1.2.643.100.5", "ogrnip", "ОГРНИП"},
    {"1.2.643.100.4", "innLe", "ИНН ЮЛ"},
};

struct KnownAlgorithm {
  const char* oid;
  const char* name;
};

constexpr KnownAlgorithm kKnownAlgorithms[] = {
    {"1.2.643.7.1.1.1.1", "ГОСТ Р 34.10-2012 (256 бит)"},
    {"1.2.643.7.1.1.1.2", "ГОСТ Р 34.10-2012 (512 бит)"},
    {"1.2.643.2.2.19", "ГОСТ Р 34.10-2001"},
};

std::string OidOf(const ASN1_OBJECT* object) {
  char text[128];
  int length = OBJ_obj2txt(text, sizeof text, object, 1);
  return length > 0 && static_cast<std::size_t>(length) < sizeof text ? text : "";
}

std::string Utf8Of(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

std::string NameAttribute(const X509_NAME* name, const char* oid) {
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (OidOf(X509_NAME_ENTRY_get_object(entry)) == oid) return Utf8Of(X509_NAME_ENTRY_get_data(entry));
  }
  return {};
}

std::string UriOf(const GENERAL_NAME* name) {
  if (name->type != GEN_URI) return {};
  const ASN1_STRING* uri = name->d.uniformResourceIdentifier;
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                     static_cast<std::size_t>(ASN1_STRING_length(uri)));
}

void FreeDistPoints(CRL_DIST_POINTS* points) {
  sk_DIST_POINT_pop_free(points, DIST_POINT_free);
}
void FreePolicies(CERTIFICATEPOLICIES* policies) {
  sk_POLICYINFO_pop_free(policies, POLICYINFO_free);
}
void FreeAccess(AUTHORITY_INFO_ACCESS* access) {
  sk_ACCESS_DESCRIPTION_pop_free(access, ACCESS_DESCRIPTION_free);
}

std::string SerialText(const X509* certificate) {
  OsslPtr<BIGNUM, BN_free> number(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
  if (!number) return {};
  char* hex = BN_bn2hex(number.get());
  std::string text = hex ? hex : "";
  OPENSSL_free(hex);
  return text;
}

json Policies(X509* certificate) {
  json list = json::array();
  OsslPtr<CERTIFICATEPOLICIES, FreePolicies> policies(static_cast<CERTIFICATEPOLICIES*>(
      X509_get_ext_d2i(certificate, NID_certificate_policies, nullptr, nullptr)));
  for (int i = 0; policies && i < sk_POLICYINFO_num(policies.get()); ++i)
    list.push_back(OidOf(sk_POLICYINFO_value(policies.get(), i)->policyid));
  return list;
}

json AuthorityInfo(X509* certificate) {
  json list = json::array();
  OsslPtr<AUTHORITY_INFO_ACCESS, FreeAccess> access(
      static_cast<AUTHORITY_INFO_ACCESS*>(X509_get_ext_d2i(certificate, NID_info_access, nullptr, nullptr)));
  for (int i = 0; access && i < sk_ACCESS_DESCRIPTION_num(access.get()); ++i) {
    const ACCESS_DESCRIPTION* item = sk_ACCESS_DESCRIPTION_value(access.get(), i);
    std::string url = UriOf(item->location);
    if (url.empty()) continue;
    int nid = OBJ_obj2nid(item->method);
    std::string method = nid == NID_ad_OCSP         ? "ocsp"
                         : nid == NID_ad_ca_issuers ? "caIssuers"
                                                    : OidOf(item->method);
    list.push_back({{"method", method}, {"url", url}});
  }
  return list;
}

}  // namespace

json KeyJson(IVorlentKey* key) {
  return {{"thumbprint", TextOf(key, &IVorlentKey::get_Sha1)},
          {"subjectCN", TextOf(key, &IVorlentKey::get_SubjectCN)},
          {"subject", TextOf(key, &IVorlentKey::get_Subject)},
          {"issuer", TextOf(key, &IVorlentKey::get_Issuer)},
          {"container", TextOf(key, &IVorlentKey::get_ContainerName)}};
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm tm{};
  if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return {};
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

OsslPtr<X509, X509_free> ParseCertificate(const std::string& bytes) {
  std::string der = CertificateDer(bytes);
  const unsigned char* at = reinterpret_cast<const unsigned char*>(der.data());
  OsslPtr<X509, X509_free> certificate(d2i_X509(nullptr, &at, static_cast<long>(der.size())));
  if (!certificate) throw Failure("файл не содержит сертификата X.509");
  return certificate;
}

std::vector<std::string> CrlUrls(X509* certificate) {
  std::vector<std::string> urls;
  OsslPtr<CRL_DIST_POINTS, FreeDistPoints> points(static_cast<CRL_DIST_POINTS*>(
      X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr)));
  for (int i = 0; points && i < sk_DIST_POINT_num(points.get()); ++i) {
    const DIST_POINT* point = sk_DIST_POINT_value(points.get(), i);
    if (!point->distpoint || point->distpoint->type != 0) continue;
    const GENERAL_NAMES* names = point->distpoint->name.fullname;
    for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
      std::string url = UriOf(sk_GENERAL_NAME_value(names, j));
      if (!url.empty()) urls.push_back(url);
    }
  }
  return urls;
}

json CertificateFields(X509* certificate, bool details) {
  json fields = {{"notBefore", TimeText(X509_get0_notBefore(certificate))},
                 {"notAfter", TimeText(X509_get0_notAfter(certificate))}};
  const X509_NAME* subject = X509_get_subject_name(certificate);
  for (const KnownAttribute& attribute : kKnownAttributes)
    fields[attribute.key] = NameAttribute(subject, attribute.oid);
  ASN1_OBJECT* algorithm = nullptr;
  X509_PUBKEY_get0_param(&algorithm, nullptr, nullptr, nullptr, X509_get_X509_PUBKEY(certificate));
  std::string oid = algorithm ? OidOf(algorithm) : "";
  std::string name = oid;
  for (const KnownAlgorithm& known : kKnownAlgorithms) {
    if (oid == known.oid) name = known.name;
  }
  fields["keyAlgorithm"] = oid;
  fields["keyAlgorithmName"] = name;
  if (details) {
    fields["serial"] = SerialText(certificate);
    fields["policies"] = Policies(certificate);
    fields["crlUrls"] = CrlUrls(certificate);
    fields["authorityInfo"] = AuthorityInfo(certificate);
  }
  ERR_clear_error();
  return fields;
}

std::string PeopleName(const std::string& text) {
  std::string result;
  std::size_t at = 0;
  // Types stand at the start and after each ", " outside quoted values.
  bool quoted = false;
  bool typeStart = true;
  while (at < text.size()) {
    if (typeStart && !quoted) {
      typeStart = false;
      bool replaced = false;
      for (const KnownAttribute& attribute : kKnownAttributes) {
        std::string type = std::string("OID.") + attribute.oid + "=";
        if (text.compare(at, type.size(), type) == 0) {
          result += std::string(attribute.name) + "=";
          at += type.size();
          replaced = true;
          break;
        }
      }
      if (replaced) continue;
    }
    char c = text[at++];
    result += c;
    if (c == '"') quoted = !quoted;
    if (!quoted && c == ',' && at < text.size() && text[at] == ' ') {
      result += ' ';
      ++at;
      typeStart = true;
    }
  }
  return result;
}

}  // namespace vorlent
