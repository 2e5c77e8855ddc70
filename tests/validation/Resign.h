// Certificates and revocation lists changed with the OpenSSL API and signed again, for the tests
// of the rules about times and issuers: what the openssl tool refuses to write.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "platform/Ossl.h"

namespace qvtest {

using Asn1TimePtr = qv::OsslPtr<ASN1_TIME, ASN1_TIME_free>;

// An ASN.1 time of the given type holding exactly `text`.
inline Asn1TimePtr RawTime(int type, const std::string& text) {
  Asn1TimePtr time(ASN1_STRING_type_new(type));
  EXPECT_EQ(ASN1_STRING_set(time.get(), text.data(), static_cast<int>(text.size())), 1);
  return time;
}

// The DER bytes i2d gave (`length`, `bytes` allocated by OpenSSL).
inline std::string TakeDer(int length, unsigned char* bytes) {
  std::unique_ptr<unsigned char, qv::OsslFreeDeleter> owner(bytes);
  EXPECT_GT(length, 0);
  return length > 0 ? std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length))
                    : "";
}

inline qv::EvpPkeyPtr ReadKey(const std::string& pem) {
  qv::EnsureGostEngine();
  qv::BioPtr bio = qv::MemoryBio(pem);
  return qv::EvpPkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

inline const EVP_MD* GostDigest() {
  qv::EnsureGostEngine();
  return EVP_get_digestbyname("md_gost12_256");
}

// The certificate `der` after `edit`, signed again with the PEM key `keyPem` (GOST R 34.11-2012).
inline std::string Resigned(const std::string& der, const std::string& keyPem,
                            const std::function<void(X509*)>& edit) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  qv::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
  qv::EvpPkeyPtr key = ReadKey(keyPem);
  if (!cert || !key) {
    ADD_FAILURE() << "no certificate or key to sign again";
    return {};
  }
  edit(cert.get());
  EXPECT_GT(X509_sign(cert.get(), key.get(), GostDigest()), 0);
  unsigned char* out = nullptr;
  int length = i2d_X509(cert.get(), &out);
  return TakeDer(length, out);
}

// The DER bytes of `crl` signed with the PEM key `keyPem`.
inline std::string SignedCrl(X509_CRL* crl, const std::string& keyPem) {
  qv::EvpPkeyPtr key = ReadKey(keyPem);
  if (!key || X509_CRL_sign(crl, key.get(), GostDigest()) <= 0) {
    ADD_FAILURE() << "the list is not signed";
    return {};
  }
  unsigned char* out = nullptr;
  int length = i2d_X509_CRL(crl, &out);
  return TakeDer(length, out);
}

// The revocation list `der` after `edit`, signed again with `keyPem`.
inline std::string ResignedCrl(const std::string& der, const std::string& keyPem,
                               const std::function<void(X509_CRL*)>& edit) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  qv::X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
  if (!crl) {
    ADD_FAILURE() << "no list to sign again";
    return {};
  }
  edit(crl.get());
  return SignedCrl(crl.get(), keyPem);
}

// An empty list under the subject name of the certificate `issuerDer`, current for a month,
// signed with `keyPem`.
inline std::string EmptyCrl(const std::string& issuerDer, const std::string& keyPem) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(issuerDer.data());
  qv::X509Ptr issuer(d2i_X509(nullptr, &p, static_cast<long>(issuerDer.size())));
  qv::X509CrlPtr crl(X509_CRL_new());
  Asn1TimePtr last(X509_time_adj_ex(nullptr, -1, 0, nullptr));
  Asn1TimePtr next(X509_time_adj_ex(nullptr, 30, 0, nullptr));
  if (!issuer || !crl || !last || !next || X509_CRL_set_version(crl.get(), 1) != 1 ||
      X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.get())) != 1 ||
      X509_CRL_set1_lastUpdate(crl.get(), last.get()) != 1 ||
      X509_CRL_set1_nextUpdate(crl.get(), next.get()) != 1) {
    ADD_FAILURE() << "no list";
    return {};
  }
  return SignedCrl(crl.get(), keyPem);
}

}  // namespace qvtest
