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

// DER bytes with the whole TLV of `size` bytes at `at` replaced by `with`, and the lengths of
// the TLVs around it made to fit (one-byte tags, definite lengths).
inline std::string ReplaceTlv(const std::string& der, std::size_t at, std::size_t size,
                              const std::string& with, std::size_t begin = 0,
                              std::size_t end = std::string::npos) {
  auto length = [](std::size_t n) {
    if (n < 0x80) return std::string(1, static_cast<char>(n));
    std::string bytes;
    for (; n; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
    return static_cast<char>(0x80 | bytes.size()) + bytes;
  };
  if (end == std::string::npos) end = der.size();
  std::string out;
  for (std::size_t pos = begin; pos < end;) {
    std::size_t contents = pos + 2, n = static_cast<unsigned char>(der[pos + 1]);
    if (n & 0x80) {
      const std::size_t bytes = n & 0x7F;
      n = 0;
      for (std::size_t i = 0; i < bytes; ++i) n = (n << 8) | static_cast<unsigned char>(der[contents++]);
    }
    const std::size_t next = contents + n;
    if (pos == at && next - pos == size) {
      out += with;
    } else if (at >= contents && at + size <= next) {
      std::string inner = ReplaceTlv(der, at, size, with, contents, next);
      out += der[pos] + length(inner.size()) + inner;
    } else {
      out += der.substr(pos, next - pos);
    }
    pos = next;
  }
  return out;
}

}  // namespace qvtest
