// The class operations the package model asks of the cryptography: encryption for a
// recipient, decryption with the personal store, verification of a document signature or a
// counter-signature with the signer's chain, and whether the GOST provider is installed.
#pragma once

#include <functional>
#include <string>

#include "foundation/BaseClass.h"
#include "foundation/StrArray.h"

namespace qv {

class CVorlentCryptoTool : public CBaseClass {
 public:
  // Replaces `message` with its plain content; a message that fails to decrypt is left as it was.
  static void Decrypt(bool currentUser, std::string& message);
  static std::string EncryptForThumbprint(bool currentUser, const std::string& content,
                                          const std::string& sha1);
  static std::string EncryptForCertificate(const std::string& content, const std::string& certificateText);
  // `signerList` ("pSignerList") is cleared and receives the signers' certificate items and,
  // after them, a key record (CVorlentKey) of the first signer keyed by its thumbprint. A
  // failure raises and leaves the list as the verification left it. A signature with more than
  // one signer is refused.
  static void VerifySignature(bool currentUser, const std::string& content, const std::string& signature,
                              CStrArray* signerList, bool downloadMissing, bool checkRevocation);
  static bool IsCryptoProviderInstalled();

  // For tests: replaces the provider presence check (an empty function restores it).
  static void SetProviderCheck(std::function<bool()> check);
};

}  // namespace qv
