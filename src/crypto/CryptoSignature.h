// Detached CMS signatures: making them with a certificate bound to its key container,
// verifying them against their content, and the hand-over of the signer's certificate to
// the chain check of the validation layer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/CryptObjects.h"
#include "crypto/CryptoProvider.h"
#include "foundation/BaseClass.h"
#include "foundation/Errors.h"
#include "foundation/StrArray.h"
#include "platform/CertServices.h"

namespace qv {

// A failure of a message or chain operation: the code of the operation (22 the signature
// does not verify, 32 no signer certificate, 33 missing argument or general chain failure,
// 21 dates or revocation, 34 no revocation list, 35 no authority certificate), the thread's
// last error and its text at the moment of creation, and the finished message.
class CCryptoAPI20Exception : public CVorlentException {
 public:
  CCryptoAPI20Exception(std::int32_t code, std::string message);
  std::int32_t Code() const { return code_; }
  std::int32_t LastError() const { return lastError_; }
  const std::string& LastErrorText() const { return lastErrorText_; }

 private:
  std::int32_t code_;
  std::int32_t lastError_;
  std::string lastErrorText_;
};

// Raises a CCryptoAPI20Exception with a trace line.
[[noreturn]] void RaiseCryptoAPI20Error(std::int32_t code, const std::string& message);

// The hash algorithm OID for a public-key algorithm OID (GOST R 34.10-2001 and -2012 256/512);
// raises "Некорректный алгоритм экспорта/импорта ключей [%s]!" for any other.
std::string HashOidForKey(const std::string& keyAlgorithmOid);

class CCryptTool {
 public:
  // The DER detached (or, with embedContent, attached) SignedData over `content`, made with the
  // key of the container named in the certificate's key-provider property. Signed attributes:
  // content type, message digest and the signing time (UTCTime); the signer's certificate is
  // included.
  static std::string Sign(CCryptCertificate& certificate, const std::string& content, bool embedContent);
  // The same detached signature over the file `fileName`, read in pieces of kFilePiece bytes so
  // that memory stays small whatever the file's size.
  static std::string SignFile(CCryptCertificate& certificate, const std::string& fileName);
};

// Digests of one content computed ahead, by the NID of their algorithm: a document is digested
// as it is read, or the documents of a package on several threads, before they are signed or
// their signatures checked.
using ContentDigests = std::map<int, std::string>;

// Detached signatures of several contents with one certificate: its private key is read (and
// its PIN asked) once, when this is made; Sign then reads nothing else and may run on several
// threads at once.
class CKeySigner {
 public:
  explicit CKeySigner(CCryptCertificate& certificate);
  ~CKeySigner();
  CKeySigner(const CKeySigner&) = delete;
  CKeySigner& operator=(const CKeySigner&) = delete;
  // What CCryptTool::Sign makes of `content`, detached; with the content's digest taken from
  // `known` when it is there.
  std::string Sign(const std::string& content, const ContentDigests* known = nullptr) const;
  // The NID of the digest algorithm it signs with.
  int DigestNid() const;

 private:
  CertContextPtr context_;
  const EVP_MD* md_;
  EvpPkeyPtr key_;
};

// The pieces in which signed files are read.
constexpr int kFilePiece = 64 * 1024;

// Verification options.
enum SignatureOptions : std::uint8_t {
  kVerifyDownloadCertificates = 0x02,
  kVerifyCheckChain = 0x04,
  kVerifyDownloadCrls = 0x08,
  kVerifyCheckRevocation = 0x10
};

class CCryptoSignatureConfig : public CBaseClass, public CDocConfig {
 public:
  CCryptoProvider* provider = nullptr;  // not owned; must be open
  std::uint8_t location = 2;            // StoreLocation
  std::uint8_t options = 0;             // SignatureOptions
  // A signature of a package has exactly one signer: with more it is refused, whether they
  // verify or not. Otherwise every signer must verify.
  bool oneSigner = false;
};

// The chain check of a signer's certificate, made by the validation layer (the strict chain
// builder). `options` are the builder's own: 0x02 download authority certificates, 0x04
// download revocation lists, 0x08 check revocation.
class CSignerChainCheck {
 public:
  virtual ~CSignerChainCheck() = default;
  // Returns when the chain of `certificate` is good at `date` (local time); raises otherwise.
  virtual void CheckCertificate(const CertContextPtr& certificate, double date) = 0;
};
using SignerChainFactory =
    std::function<std::unique_ptr<CSignerChainCheck>(int location, double date, std::uint8_t options)>;
// Installed once by the validation layer (InstallStrictChainBuilder). Without it a verification
// that asks for the chain check fails: it never passes unchecked.
void SetSignerChainFactory(SignerChainFactory factory);

// The algorithms (NIDs) of the content digests that a verification of `signature` computes
// itself: of GOST R 34.11-2012, for signers with signed attributes. None for bytes that are no
// signature (the verification reports those).
std::vector<int> ContentDigestNids(const std::string& signature);
// The digests of one content by the algorithms ContentDigestNids names, computed as the content
// comes in pieces, in order.
class CContentDigester {
 public:
  explicit CContentDigester(const std::vector<int>& nids);
  ~CContentDigester();
  CContentDigester(const CContentDigester&) = delete;
  CContentDigester& operator=(const CContentDigester&) = delete;
  void Update(const char* data, std::size_t size);
  // The digests by NID, of the algorithms above; none of any other algorithm.
  ContentDigests Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

class CCryptoSignature : public CCustomDoc {
 public:
  CCryptoSignature();
  ~CCryptoSignature() override;

  // `config` must be a CCryptoSignatureConfig with an open provider.
  bool Open(const CDocConfig* config) override;
  bool Close() override;
  bool IsOpened() const override { return config_ != nullptr; }
  bool IsOpen() const { return IsOpened(); }

  // Verifies the detached signature `signatureContent` over `signedData` at `date` (local
  // date-time, 0 for now): every SignerInfo, each against a certificate the message carries,
  // with its digest algorithm among those the message lists. Returns true or raises a
  // CCryptoAPI20Exception (code 22).
  bool Verify(std::string_view signedData, const std::string& signatureContent, double date);
  // The same over the content of the file `fileName`, read in pieces (kFilePiece); an empty
  // file is refused as missing content.
  bool VerifyFile(const std::string& fileName, const std::string& signatureContent, double date);

  // After a verification with the chain check, the certificates of all signers, each verified
  // and chained: CZUMECCertificate items keyed by thumbprint (owned).
  CStrArray& Signers() { return signers_; }
  // The digests of the content the next verifications are over (not owned, null for none):
  // those found there are not computed again. They must be of exactly that content.
  void UseKnownDigests(const ContentDigests* known) { known_ = known; }
  const std::string& Signature() const { return signature_; }

 private:
  // `content` reads the signed content; `empty` tells that there is none.
  void VerifyBody(BioPtr content, bool empty, const std::string& signatureContent, double date);

  const CCryptoSignatureConfig* config_ = nullptr;
  std::string signature_;
  CStrArray signers_;
  const ContentDigests* known_ = nullptr;
};

}  // namespace qv
