// Helpers of the signature and encryption tests: keys bound to certificates in "MY", files
// for the command-line tools, and a look inside CMS structures.
#pragma once

#include <functional>
#include <string>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoUtils.h"
#include "foundation/Errors.h"
#include "pki/TestPki.h"
#include "platform/KeyContainer.h"

namespace qvtest {

inline std::string Message(const std::function<void()>& body) {
  try {
    body();
  } catch (const qv::CVorlentException& e) {
    return e.Message();
  }
  return "<no error>";
}

// Imports `keyPem` into container `container` of the user's key set and files the
// certificate in the user's "MY" bound to it; returns the stored context.
inline qv::CertContextPtr BindKey(const std::string& container, const std::string& keyPem,
                                  const std::string& certificateText) {
  qv::ImportPkcs8Key(false, container, keyPem, {}, {});
  qv::CCryptoProvider provider;
  provider.Open(75, {}, false, false);
  qv::CertContextPtr cert = qv::CCryptoAPI20Utils::CertificateFromText(certificateText);
  qv::CCryptoAPI20Utils::AddToStore(provider.Handle(), qv::kStoreCurrentUser, qv::kStoreMy, container, cert);
  return qv::CCryptoAPI20Utils::FindBySha1(nullptr, qv::kStoreCurrentUser, qv::kStoreMy, cert->Sha1Text());
}

// A certificate in "MY" bound to container `container` that holds another key (`otherKeyPem`),
// as a key replaced after the binding leaves it: binding itself refuses another's key, so the
// binding is made with the certificate's own key (`ownKeyPem`), which is then replaced.
inline qv::CertContextPtr BindThenReplaceKey(const std::string& container, const std::string& ownKeyPem,
                                             const std::string& otherKeyPem,
                                             const std::string& certificateText) {
  qv::CertContextPtr stored = BindKey(container, ownKeyPem, certificateText);
  qv::DeleteKeyContainer(false, container);
  qv::ImportPkcs8Key(false, container, otherKeyPem, {}, {});
  return stored;
}

// Writes bytes into the test's folder and returns the path.
inline std::string Put(const std::string& name, const std::string& bytes) {
  std::string path = TestPath(name);
  WriteBytes(path, bytes);
  return path;
}

// DER bytes as PEM with the given label.
inline std::string Pem(const std::string& der, const std::string& label) {
  BIO* b64 = BIO_new(BIO_f_base64());
  BIO* mem = BIO_new(BIO_s_mem());
  BIO_push(b64, mem);
  BIO_write(b64, der.data(), static_cast<int>(der.size()));
  (void)BIO_flush(b64);
  std::string body = qv::BioBytes(mem);
  BIO_free_all(b64);
  return "-----BEGIN " + label + "-----\n" + body + "-----END " + label + "-----\n";
}

}  // namespace qvtest
