// Key management: the certificates of the personal and other-people stores as key records,
// the key containers of the provider, imports into the stores, binding personal certificates
// to their containers, signing one file, checking a detached signature with its chain, and
// downloads.
#pragma once

#include <memory>
#include <string>

#include "crypto/CryptoProvider.h"
#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"
#include "package/VorlentKey.h"

namespace qv {

// Installs, once per process, what the library's services take from this layer: the strict
// chain builder as the chain check of signature verification and the client-certificate
// source of the HTTP client (CertificateForThumbprint). Called from library start-up (the
// creation of any automation object) and by the engine.
void InstallKeyServices();

// The client certificate for a TLS handshake: the certificate with the thumbprint (any case)
// in "MY" of the current user, else of the local machine, and the private key of the container
// bound to it, both as PEM. False when neither store has the certificate; raises when the
// certificate has no usable key.
bool CertificateForThumbprint(const std::string& thumbprint, std::string& certificatePem,
                              std::string& privateKeyPem);

class CVorlentCrypt : public CBaseClass {
 public:
  CVorlentCrypt();
  ~CVorlentCrypt() override;

  // The provider-presence test: the GOST engine loads and offers GOST R 34.10-2012.
  static bool IsCryptographyOk();

  // Takes the presence test, rebuilds the facade (a verify-only context of the GOST provider)
  // for the current user's (true) or the local machine's stores and reloads the lists.
  bool Init(bool currentUser);
  bool Initialized() const { return facade_ != nullptr; }

  int PrivateKeyCount() const { return privateKeys_.Count(); }
  int OpponentKeyCount() const { return opponentKeys_.Count(); }
  int ContainerCount() const { return containers_.Count(); }
  const CVorlentKey& PrivateKey(int index) const;
  const CVorlentKey& OpponentKey(int index) const;
  const CVorlentKey& PrivateKeyBySha1(const std::string& sha1) const;
  const CVorlentKey& OpponentKeyBySha1(const std::string& sha1) const;
  std::string Container(int index) const;

  void ImportP7BChain(const std::string& content);
  std::unique_ptr<CVorlentKey> ImportOpponentCertificate(const std::string& body);
  std::unique_ptr<CVorlentKey> ImportPrivateCertificate(const std::string& body,
                                                        const std::string& container);

  // Verifies a detached signature and the signer's chain (downloads of authority
  // certificates and revocation lists, revocation check), raising on any failure.
  void CheckSignature(const std::string& content, const std::string& signature) const;

  // The provider and Init guards of binding a certificate to its container, which a caller
  // applies before it even converts the key (LinkPrivateKey and SetPrivateKeyCaching apply them too).
  void RequireKeyBinding() const;
  void LinkPrivateKey(const CVorlentKey& key, bool caching);
  void SetPrivateKeyCaching(const CVorlentKey& key, bool caching);

  // Signs a file with the personal key `sha1`; returns the name of the signature file written.
  std::string SignFile(const std::string& fileName, const std::string& sha1, const std::string& signFileName);

  // Fetches an HTTP or HTTPS URL and writes the body to a file.
  static void DownloadFile(const std::string& url, const std::string& fileName);

 private:
  void Guard(const std::string& operation) const;
  void RequireFacade(const std::string& operation) const;
  int Location() const;
  void LoadList(int storeName, CStrArray& list);
  void LoadContainers();
  static const CVorlentKey& KeyAt(const CStrArray& list, int index, const char* name);
  static const CVorlentKey* FindKey(const CStrArray& list, const std::string& sha1);
  CertStorePtr OpenPersonalStore() const;
  static CertContextPtr FindExact(const CertStorePtr& store, const std::string& sha1);

  std::unique_ptr<CCryptoProvider> facade_;
  CStrArray privateKeys_;
  CStrArray opponentKeys_;
  CStrArray containers_;
  bool providerPresent_ = false;
  bool currentUser_ = true;
};

}  // namespace qv
