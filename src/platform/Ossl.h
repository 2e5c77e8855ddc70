// OpenSSL handles as owning smart pointers, the GOST engine, and the text of OpenSSL's error queue.
#pragma once

// pem.h first: cms.h declares its PEM functions only when pem.h is already there.
#include <openssl/pem.h>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>
#include <string_view>

namespace qv {

template <class T, void (*Free)(T*)>
struct OsslDeleter {
  void operator()(T* p) const { Free(p); }
};
template <class T, void (*Free)(T*)>
using OsslPtr = std::unique_ptr<T, OsslDeleter<T, Free>>;

using X509Ptr = OsslPtr<X509, X509_free>;
using X509CrlPtr = OsslPtr<X509_CRL, X509_CRL_free>;
using X509NamePtr = OsslPtr<X509_NAME, X509_NAME_free>;
using X509ReqPtr = OsslPtr<X509_REQ, X509_REQ_free>;
using EvpPkeyPtr = OsslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = OsslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtxPtr = OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtxPtr = OsslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using X509AlgorPtr = OsslPtr<X509_ALGOR, X509_ALGOR_free>;
using BioPtr = OsslPtr<BIO, BIO_free_all>;
using Pkcs7Ptr = OsslPtr<PKCS7, PKCS7_free>;
using Pkcs12Ptr = OsslPtr<PKCS12, PKCS12_free>;
using Pkcs8Ptr = OsslPtr<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>;
using X509SigPtr = OsslPtr<X509_SIG, X509_SIG_free>;
using CmsPtr = OsslPtr<CMS_ContentInfo, CMS_ContentInfo_free>;
using Asn1ObjectPtr = OsslPtr<ASN1_OBJECT, ASN1_OBJECT_free>;
using DistPointsPtr = OsslPtr<CRL_DIST_POINTS, CRL_DIST_POINTS_free>;
using AuthInfoPtr = OsslPtr<AUTHORITY_INFO_ACCESS, AUTHORITY_INFO_ACCESS_free>;
using PoliciesPtr = OsslPtr<CERTIFICATEPOLICIES, CERTIFICATEPOLICIES_free>;
using BasicConstraintsPtr = OsslPtr<BASIC_CONSTRAINTS, BASIC_CONSTRAINTS_free>;

struct OsslFreeDeleter {
  void operator()(void* p) const { OPENSSL_free(p); }
};

// A read-only memory BIO over `bytes`, which must outlive it.
// A read-only BIO over `bytes`, which must outlive it; null beyond the 2 GiB a memory BIO can
// address (OpenSSL takes the length as an int, and a negative one as "up to the first NUL").
BioPtr MemoryBio(std::string_view bytes);
// Everything written to a memory BIO.
std::string BioBytes(BIO* bio);

// Loads the GOST engine once per process (ENGINE_by_id("gost"), init, default for all of
// its algorithms); true when it is there and offers GOST R 34.10-2012. Never raises.
bool EnsureGostEngine();

// The texts of OpenSSL's error queue for this thread, joined by "; ", and the queue emptied.
std::string TakeOpenSslErrors();

// The dotted form of an object identifier.
std::string OidText(const ASN1_OBJECT* object);

}  // namespace qv
