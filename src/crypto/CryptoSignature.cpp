#include "crypto/CryptoSignature.h"

#include <nettle/nettle-meta.h>
#include <nettle/streebog.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "crypto/CertRules.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoUtils.h"
#include "crypto/DateText.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "foundation/ValueCheck.h"
#include "platform/CryptError.h"
#include "platform/CryptProvider.h"
#include "platform/KeyContainer.h"

namespace qv {
namespace {

constexpr std::int32_t kCodeBadSignature = 22;
constexpr std::int32_t kCodeNoSignerCertificate = 32;
constexpr std::int32_t kCodeMissingArgument = 33;

std::mutex& FactoryMutex() {
  static std::mutex mutex;
  return mutex;
}
SignerChainFactory& Factory() {
  static SignerChainFactory factory;
  return factory;
}

using X509StackPtr = std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)>;
void FreeX509Stack(STACK_OF(X509) * stack) {
  sk_X509_pop_free(stack, X509_free);
}

const EVP_MD* DigestForOid(const std::string& oid) {
  Asn1ObjectPtr object(OBJ_txt2obj(oid.c_str(), 1));
  return object ? EVP_get_digestbyobj(object.get()) : nullptr;
}

// The private key of a certificate bound to its container.
EvpPkeyPtr KeyOfCertificate(const CCertContext& context) {
  const std::optional<KeyProvInfo>& info = context.KeyProv();
  if (!info || info->containerName.empty()) {
    SetLastCryptError(kCryptENoKeyProperty);
    RaiseLastCryptError();
  }
  EvpPkeyPtr key = LoadContainerKey((info->flags & kCryptMachineKeyset) != 0, info->containerName);
  if (X509_check_private_key(context.Cert(), key.get()) != 1) {
    // A key that does not belong to the certificate would make a signature nobody can verify.
    SetLastCryptErrorFromOpenSsl(kNteBadKeyset);
    RaiseLastCryptError();
  }
  return key;
}

// The file `fileName` read through a buffer of kFilePiece bytes, and its size in `size`; null
// when OpenSSL cannot make the BIO. Raises the file errors of ReadFileBytes.
BioPtr FileBio(const std::string& fileName, off_t* size = nullptr) {
  CFileHandle fd(OpenFileForReading(fileName));
  struct stat st {};
  if (size && ::fstat(fd.Get(), &st) != 0) RaiseFileError(errno, fileName);
  if (size) *size = st.st_size;
  BioPtr file(BIO_new_fd(fd.Get(), BIO_CLOSE));
  if (!file) return nullptr;
  fd.Release();
  BioPtr buffer(BIO_new(BIO_f_buffer()));
  if (!buffer || BIO_set_read_buffer_size(buffer.get(), kFilePiece) != 1) return nullptr;
  BIO_push(buffer.get(), file.release());
  return buffer;
}

// Reads a BIO chain to its end, handing each piece read to `each` when given; false on a read
// error.
bool Drain(BIO* bio, const std::function<void(const char*, std::size_t)>& each = {}) {
  std::string buffer(kFilePiece, '\0');
  for (;;) {
    int n = BIO_read(bio, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) return n == 0;
    if (each) each(buffer.data(), static_cast<std::size_t>(n));
  }
}

// The content digests of GOST R 34.11-2012, which the signatures of current keys use, come from
// nettle: it computes them 13 % faster than the GOST engine (100 MiB: 0.55 s against 0.63 s),
// and the content digest is nearly all the work of signing or checking a large document. Null
// for any other digest, which OpenSSL computes.
const nettle_hash* NettleDigest(int nid) {
  switch (nid) {
    case NID_id_GostR3411_2012_256:
      return &nettle_streebog256;
    case NID_id_GostR3411_2012_512:
      return &nettle_streebog512;
    default:
      return nullptr;
  }
}

// The nettle digests of the content for the signers that take theirs from nettle, at most one
// of each size, computed together in one pass over the content.
class NettleDigests {
 public:
  void Need(const nettle_hash* hash) {
    for (Slot& slot : slots_) {
      if (slot.hash == hash) return;
      if (!slot.hash) {
        slot.hash = hash;
        hash->init(&slot.context);
        return;
      }
    }
  }
  bool Empty() const { return !slots_[0].hash; }
  // Takes every digest needed from `known` instead of computing it; false, taking none, when
  // one is missing there.
  bool Take(const ContentDigests& known) {
    for (const Slot& slot : slots_) {
      if (slot.hash && !Known(known, slot.hash)) return false;
    }
    for (Slot& slot : slots_) {
      if (slot.hash) slot.digest = *Known(known, slot.hash);
    }
    return true;
  }
  void Update(const char* data, std::size_t size) {
    for (Slot& slot : slots_) {
      if (slot.hash) slot.hash->update(&slot.context, size, reinterpret_cast<const std::uint8_t*>(data));
    }
  }
  // Finishes every digest; the digest of `hash` is then Of(hash).
  void Finish() {
    for (Slot& slot : slots_) {
      if (!slot.hash) continue;
      slot.digest.resize(slot.hash->digest_size);
      slot.hash->digest(&slot.context, slot.hash->digest_size,
                        reinterpret_cast<std::uint8_t*>(slot.digest.data()));
    }
  }
  const std::string& Of(const nettle_hash* hash) const {
    return slots_[0].hash == hash ? slots_[0].digest : slots_[1].digest;
  }

 private:
  struct Slot {
    const nettle_hash* hash = nullptr;
    streebog512_ctx context;  // the state of either size
    std::string digest;
  };
  static const std::string* Known(const ContentDigests& known, const nettle_hash* hash) {
    for (const auto& [nid, digest] : known) {
      if (NettleDigest(nid) == hash && digest.size() == hash->digest_size) return &digest;
    }
    return nullptr;
  }
  Slot slots_[2];
};

// The digests `digests` needs of everything `content` reads, finished: in place for a memory
// BIO, else piece by piece. False on a read error.
bool DigestContent(BIO* content, NettleDigests& digests) {
  if (BIO_method_type(content) == BIO_TYPE_MEM) {
    char* data = nullptr;
    long length = BIO_get_mem_data(content, &data);
    if (length > 0) digests.Update(data, static_cast<std::size_t>(length));
  } else if (!Drain(content, [&](const char* data, std::size_t size) { digests.Update(data, size); })) {
    return false;
  }
  digests.Finish();
  return true;
}

// The digest algorithm of `signer` as a NID.
int SignerDigestNid(CMS_SignerInfo* signer) {
  X509_ALGOR* algorithm = nullptr;
  CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &algorithm, nullptr);
  const ASN1_OBJECT* oid = nullptr;
  if (algorithm) X509_ALGOR_get0(&oid, nullptr, nullptr, algorithm);
  return oid ? OBJ_obj2nid(oid) : NID_undef;
}

[[noreturn]] void RaiseBadSignature(std::int32_t lastError, bool fromOpenSsl) {
  if (fromOpenSsl) {
    SetLastCryptErrorFromOpenSsl(lastError);
  } else {
    SetLastCryptError(lastError);
  }
  RaiseCryptoAPI20Error(kCodeBadSignature, FormatText("Ошибка при проверке подписи [%s]"_cp,
                                                      {CCryptoAPI20Utils::LastErrorText()}));
}

// The digest algorithms that the SignedData lists for its content, as OpenSSL reads them when it
// digests the content: one digest BIO for each. A listed algorithm OpenSSL does not know refuses
// the signature, as `openssl cms -verify` does; an empty list gives none.
std::vector<int> ListedDigests(CMS_ContentInfo* cms) {
  ERR_clear_error();
  BioPtr nothing(BIO_new(BIO_s_null()));
  BIO* chain = nothing ? CMS_dataInit(cms, nothing.get()) : nullptr;
  if (!chain) {
    if (ERR_peek_error() != 0) RaiseBadSignature(kNteBadAlgid, true);
    return {};
  }
  nothing.release();
  BioPtr owner(chain);
  std::vector<int> nids;
  for (BIO* at = BIO_find_type(chain, BIO_TYPE_MD); at; at = BIO_find_type(BIO_next(at), BIO_TYPE_MD)) {
    const EVP_MD* md = nullptr;
    if (BIO_get_md(at, &md) == 1 && md) nids.push_back(EVP_MD_get_type(md));
  }
  return nids;
}

// One SignerInfo of the message with the certificate that verifies it.
struct SignerCheck {
  CMS_SignerInfo* info = nullptr;
  X509* cert = nullptr;  // held by the message's certificate list
  CertContextPtr context;
  bool attributes = false;
  const nettle_hash* hash = nullptr;  // the content digest from nettle; null: from OpenSSL
};

// Checks the signed attributes' signature of each signer and then, in one pass over `content`,
// the content digests of all of them: from nettle for GOST R 34.11-2012 signers with signed
// attributes, from the digests OpenSSL chains in front of the content (CMS_dataInit) for the
// others.
void VerifySignerInfos(CMS_ContentInfo* cms, std::vector<SignerCheck>& signers, BioPtr content,
                       const ContentDigests* known) {
  NettleDigests nettle;
  bool openSsl = false;
  for (SignerCheck& signer : signers) {
    CMS_SignerInfo_set1_signer_cert(signer.info, signer.cert);
    signer.attributes = CMS_signed_get_attr_count(signer.info) >= 0;
    if (signer.attributes && CMS_SignerInfo_verify(signer.info) != 1)
      RaiseBadSignature(kNteBadSignature, true);
    signer.hash = signer.attributes ? NettleDigest(SignerDigestNid(signer.info)) : nullptr;
    if (signer.hash) {
      nettle.Need(signer.hash);
    } else {
      openSsl = true;
    }
  }
  if (!content) RaiseBadSignature(kNteFail, true);
  BioPtr digests;
  if (openSsl) {
    // The content runs through the digests that CMS_dataInit chains in front of it, and through
    // nettle's on its way out.
    BIO* chain = CMS_dataInit(cms, content.get());
    if (!chain) RaiseBadSignature(kNteBadData, true);
    content.release();
    digests.reset(chain);
    std::function<void(const char*, std::size_t)> update;
    if (!nettle.Empty()) update = [&](const char* data, std::size_t size) { nettle.Update(data, size); };
    if (!Drain(chain, update)) RaiseBadSignature(kNteBadData, true);
    nettle.Finish();
  } else if (!(known && nettle.Take(*known)) && !DigestContent(content.get(), nettle)) {
    RaiseBadSignature(kNteBadData, true);
  }
  for (SignerCheck& signer : signers) {
    if (!signer.hash) {
      if (CMS_SignerInfo_verify_content(signer.info, digests.get()) != 1) {
        RaiseBadSignature(signer.attributes ? kCryptEHashValue : kNteBadSignature, true);
      }
      continue;
    }
    // As CMS_SignerInfo_verify_content does: exactly one message digest attribute, of one value,
    // equal to the content's digest.
    const std::string& digest = nettle.Of(signer.hash);
    const auto* expected = static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
        signer.info, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (!expected || static_cast<std::size_t>(ASN1_STRING_length(expected)) != digest.size() ||
        std::memcmp(ASN1_STRING_get0_data(expected), digest.data(), digest.size()) != 0) {
      RaiseBadSignature(kCryptEHashValue, false);
    }
  }
}

}  // namespace

std::vector<int> ContentDigestNids(const std::string& signature) {
  std::vector<int> nids;
  BioPtr input = MemoryBio(signature);
  CmsPtr cms(input ? d2i_CMS_bio(input.get(), nullptr) : nullptr);
  STACK_OF(CMS_SignerInfo)* infos = cms && OBJ_obj2nid(CMS_get0_type(cms.get())) == NID_pkcs7_signed
                                        ? CMS_get0_SignerInfos(cms.get())
                                        : nullptr;
  for (int i = 0; infos && i < sk_CMS_SignerInfo_num(infos); ++i) {
    CMS_SignerInfo* info = sk_CMS_SignerInfo_value(infos, i);
    const int nid = SignerDigestNid(info);
    if (CMS_signed_get_attr_count(info) >= 0 && NettleDigest(nid) &&
        std::find(nids.begin(), nids.end(), nid) == nids.end())
      nids.push_back(nid);
  }
  ERR_clear_error();
  return nids;
}

struct CContentDigester::State {
  NettleDigests digests;
  std::vector<int> nids;  // of the digests nettle computes
};

CContentDigester::CContentDigester(const std::vector<int>& nids) : state_(std::make_unique<State>()) {
  for (int nid : nids) {
    if (const nettle_hash* hash = NettleDigest(nid)) {
      state_->digests.Need(hash);
      state_->nids.push_back(nid);
    }
  }
}

CContentDigester::~CContentDigester() = default;

void CContentDigester::Update(const char* data, std::size_t size) {
  state_->digests.Update(data, size);
}

ContentDigests CContentDigester::Finish() {
  state_->digests.Finish();
  ContentDigests result;
  for (int nid : state_->nids) result[nid] = state_->digests.Of(NettleDigest(nid));
  return result;
}

CCryptoAPI20Exception::CCryptoAPI20Exception(std::int32_t code, std::string message)
    : CVorlentException(std::move(message)),
      code_(code),
      lastError_(GetLastCryptError()),
      lastErrorText_(CCryptoAPI20Utils::LastErrorText()) {}

void RaiseCryptoAPI20Error(std::int32_t code, const std::string& message) {
  Trace("%s", {message});
  throw CCryptoAPI20Exception(code, message);
}

std::string HashOidForKey(const std::string& keyAlgorithmOid) {
  if (keyAlgorithmOid == "1.2.643.2.2.19") return "1.2.643.2.2.9";
  if (keyAlgorithmOid == "1.2.643.7.1.1.1.1") return "1.2.643.7.1.1.2.2";
  if (keyAlgorithmOid == "1.2.643.7.1.1.1.2") return "1.2.643.7.1.1.2.3";
  RaiseErrorFmt("Некорректный алгоритм экспорта/импорта ключей [%s]!"_cp, {keyAlgorithmOid});
}

namespace {

// The digest of signatures made with `certificate`'s key.
const EVP_MD* SigningDigest(CCryptCertificate& certificate) {
  CValueCheckTool::CheckNotNil(certificate.Context().get(), "certificate");
  EnsureGostEngine();
  const EVP_MD* md = DigestForOid(HashOidForKey(certificate.GetPublicKey().AlgorithmOid));
  if (!md) {
    SetLastCryptErrorFromOpenSsl(kNteBadAlgid);
    RaiseLastCryptError();
  }
  return md;
}

// The signature over what `input` reads (null: OpenSSL could not make it) with `key`, the
// private key of `context`, and the digest `md`, taken from `known` when it is there. Reads
// nothing but `input`: any thread may sign.
std::string SignWith(const CCertContext& context, const EVP_MD* md, EVP_PKEY* key, BIO* input,
                     bool embedContent, const ContentDigests* known = nullptr) {
  unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (embedContent ? 0u : unsigned{CMS_DETACHED});
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  // CMS_SignerInfo_sign adds the signing time (UTCTime until 2050) beside content type and digest.
  CMS_SignerInfo* signer = cms ? CMS_add1_signer(cms.get(), context.Cert(), key, md, flags) : nullptr;
  if (!signer) {
    SetLastCryptErrorFromOpenSsl(kNteFail);
    RaiseLastCryptError();
  }
  bool done = false;
  if (const nettle_hash* hash = embedContent ? nullptr : NettleDigest(EVP_MD_get_type(md))) {
    // What CMS_final does for a detached signature, with the content digest from nettle.
    NettleDigests digests;
    digests.Need(hash);
    done = input && ((known && digests.Take(*known)) || DigestContent(input, digests)) &&
           CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                       digests.Of(hash).data(),
                                       static_cast<int>(digests.Of(hash).size())) == 1 &&
           CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                       CMS_get0_eContentType(cms.get()), -1) == 1 &&
           CMS_SignerInfo_sign(signer) == 1;
  } else {
    done = input && CMS_final(cms.get(), input, nullptr, flags) == 1;
  }
  if (!done) {
    SetLastCryptErrorFromOpenSsl(kNteFail);
    RaiseLastCryptError();
  }
  unsigned char* der = nullptr;
  int length = i2d_CMS_ContentInfo(cms.get(), &der);
  if (length <= 0) {
    SetLastCryptErrorFromOpenSsl(kCryptEBadEncode);
    RaiseLastCryptError();
  }
  std::unique_ptr<unsigned char, OsslFreeDeleter> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

// The signature of CCryptTool::Sign over what `input` reads.
std::string SignBio(CCryptCertificate& certificate, BIO* input, bool embedContent) {
  const EVP_MD* md = SigningDigest(certificate);
  EvpPkeyPtr key = KeyOfCertificate(*certificate.Context());
  return SignWith(*certificate.Context(), md, key.get(), input, embedContent);
}

}  // namespace

CKeySigner::CKeySigner(CCryptCertificate& certificate)
    : context_(certificate.Context()), md_(SigningDigest(certificate)), key_(KeyOfCertificate(*context_)) {}

CKeySigner::~CKeySigner() = default;

std::string CKeySigner::Sign(const std::string& content, const ContentDigests* known) const {
  BioPtr input = MemoryBio(content);
  return SignWith(*context_, md_, key_.get(), input.get(), false, known);
}

int CKeySigner::DigestNid() const {
  return EVP_MD_get_type(md_);
}

std::string CCryptTool::Sign(CCryptCertificate& certificate, const std::string& content, bool embedContent) {
  BioPtr input = MemoryBio(content);
  return SignBio(certificate, input.get(), embedContent);
}

std::string CCryptTool::SignFile(CCryptCertificate& certificate, const std::string& fileName) {
  BioPtr input = FileBio(fileName);
  return SignBio(certificate, input.get(), false);
}

void SetSignerChainFactory(SignerChainFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryMutex());
  Factory() = std::move(factory);
}

CCryptoSignature::CCryptoSignature() {
  signers_.SetOwnership(CStrArray::kOwnDestroy);
}

CCryptoSignature::~CCryptoSignature() {
  CCryptoSignature::Close();
}

bool CCryptoSignature::Open(const CDocConfig* config) {
  bool result = false;
  Funnel([&] {
    CValueCheckTool::CheckNotNil(config, "CryptoSignatureConfig");
    auto* own = dynamic_cast<const CCryptoSignatureConfig*>(config);
    CValueCheckTool::CheckNotNil(own, "CryptoSignatureConfig");
    if (!own->provider || !own->provider->Acquired()) {
      RaiseError("Не открыт криптопровайдер объекта CCryptoSignatureConfig"_cp);
    }
    config_ = own;
    SetConfig(own);
    result = true;
  });
  return result;
}

bool CCryptoSignature::Close() {
  if (config_) {
    config_ = nullptr;
    SetConfig(nullptr);
    signature_.clear();
    signers_.Clear();
  }
  return true;
}

bool CCryptoSignature::Verify(std::string_view signedData, const std::string& signatureContent, double date) {
  try {
    // The content is read where it lies, without a copy.
    BioPtr content = MemoryBio(signedData);
    if (!content && !signedData.empty()) {
      RaiseErrorFmt("Подписанные данные слишком велики для проверки: %s байт"_cp,
                    {std::to_string(signedData.size())});
    }
    VerifyBody(std::move(content), signedData.empty(), signatureContent, date);
  } catch (const CVorlentException& e) {
    throw CCryptoAPI20Exception(kCodeBadSignature, e.Message());
  }
  return true;
}

bool CCryptoSignature::VerifyFile(const std::string& fileName, const std::string& signatureContent,
                                  double date) {
  try {
    off_t size = 0;
    BioPtr content = FileBio(fileName, &size);
    VerifyBody(std::move(content), size == 0, signatureContent, date);
  } catch (const CVorlentException& e) {
    throw CCryptoAPI20Exception(kCodeBadSignature, e.Message());
  }
  return true;
}

void CCryptoSignature::VerifyBody(BioPtr content, bool empty, const std::string& signatureContent,
                                  double date) {
  if (!config_) RaiseError("Документ не открыт"_cp);
  if (date < 0) RaiseErrorFmt("Неверное значение аргумента [%s]"_cp, {ShortDateText(date)});
  double checkDate = date == 0 ? NowLocalDateTime() : date;
  std::uint8_t builderOptions = 0;
  if (config_->options & kVerifyDownloadCertificates) builderOptions |= 0x02;
  if (config_->options & kVerifyDownloadCrls) builderOptions |= 0x04;
  if (config_->options & kVerifyCheckRevocation) builderOptions |= 0x08;
  std::unique_ptr<CSignerChainCheck> chain;
  if (config_->options & kVerifyCheckChain) {
    SignerChainFactory factory;
    {
      std::lock_guard<std::mutex> lock(FactoryMutex());
      factory = Factory();
    }
    if (!factory) RaiseError("Проверка цепочки сертификатов подписанта недоступна"_cp);
    chain = factory(config_->location, checkDate, builderOptions);
  }

  signers_.Clear();
  try {
    if (empty) CValueCheckTool::CheckNotEmpty(std::string(), "sSignedData");
    CValueCheckTool::CheckNotEmpty(signatureContent, "sSignatureContent");
  } catch (const CVorlentException& e) {
    RaiseCryptoAPI20Error(kCodeMissingArgument, e.Message());
  }
  signature_ = signatureContent;

  EnsureGostEngine();
  BioPtr input = MemoryBio(signatureContent);
  CmsPtr cms(input ? d2i_CMS_bio(input.get(), nullptr) : nullptr);
  if (!cms) RaiseBadSignature(kCryptEAsn1BadTag, true);
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
    RaiseBadSignature(kCryptEUnexpectedMsgType, false);
  STACK_OF(CMS_SignerInfo)* infos = CMS_get0_SignerInfos(cms.get());
  const int count = infos ? sk_CMS_SignerInfo_num(infos) : 0;
  if (count < 1) RaiseBadSignature(kCryptENotFound, false);
  if (config_->oneSigner && count > 1) {
    SetLastCryptError(kErrorSuccess);
    RaiseCryptoAPI20Error(
        kCodeBadSignature,
        FormatText("Ошибка при проверке подписи: подпись содержит %s подписантов, а должна одного"_cp,
                   {std::to_string(count)}));
  }
  // Every signer is checked: one that is not verified would otherwise be shown as a signer.
  const std::vector<int> listed = ListedDigests(cms.get());
  X509StackPtr certs(CMS_get1_certs(cms.get()), FreeX509Stack);
  std::vector<SignerCheck> signers(static_cast<std::size_t>(count));
  for (int index = 0; index < count; ++index) {
    SignerCheck& signer = signers[static_cast<std::size_t>(index)];
    signer.info = sk_CMS_SignerInfo_value(infos, index);
    // The signer's certificate among those the message carries, by issuer and serial number
    // (or by subject key identifier).
    for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) {
      X509* candidate = sk_X509_value(certs.get(), i);
      if (CMS_SignerInfo_cert_cmp(signer.info, candidate) == 0) {
        signer.cert = candidate;
        break;
      }
    }
    if (!signer.cert) {
      SetLastCryptError(kErrorSuccess);
      RaiseCryptoAPI20Error(kCodeNoSignerCertificate,
                            "Ошибка при проверке подписи: невозможно выделить сертификат из подписи"_cp);
    }
    // The certificate that verifies the signature is the one whose rules and chain are checked
    // (not merely the first one the message carries).
    unsigned char* der = nullptr;
    int length = i2d_X509(signer.cert, &der);
    std::unique_ptr<unsigned char, OsslFreeDeleter> derOwner(der);
    signer.context =
        length > 0
            ? CCertContext::FromDer(std::string(reinterpret_cast<const char*>(der), std::size_t(length)))
            : nullptr;
    if (!signer.context) RaiseLastCryptError();
    X509_ALGOR* digestAlgorithm = nullptr;
    X509_ALGOR* signatureAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(signer.info, nullptr, nullptr, &digestAlgorithm, &signatureAlgorithm);
    const std::string digestOid = OidText(digestAlgorithm ? digestAlgorithm->algorithm : nullptr);
    CheckSignerAlgorithms(signer.context, digestOid,
                          OidText(signatureAlgorithm ? signatureAlgorithm->algorithm : nullptr));
    // The signer's digest algorithm must be among those the message lists for its content.
    if (std::find(listed.begin(), listed.end(), SignerDigestNid(signer.info)) == listed.end()) {
      SetLastCryptError(kNteBadAlgid,
                        FormatText("алгоритм хэширования подписанта [%s] не указан в списке алгоритмов "
                                   "хэширования подписи"_cp,
                                   {digestOid}));
      RaiseCryptoAPI20Error(kCodeBadSignature, FormatText("Ошибка при проверке подписи [%s]"_cp,
                                                          {CCryptoAPI20Utils::LastErrorText()}));
    }
  }
  VerifySignerInfos(cms.get(), signers, std::move(content), known_);
  for (const SignerCheck& signer : signers) {
    CheckSignerKeyUsage(signer.context);
    CheckCertificateTimes(signer.context);
    CheckCertificateAlgorithms(signer.context);
  }

  if (!chain) return;
  // Only signers whose chains hold are listed.
  for (const SignerCheck& signer : signers) chain->CheckCertificate(signer.context, checkDate);
  for (const SignerCheck& signer : signers) {
    auto item = std::make_unique<CZUMECCertificate>();
    if (!item->SetFromContext(signer.context, true)) RaiseError("Error open certificate");
    std::string thumbprint = signer.context->Sha1Text();
    signers_.Add(thumbprint, item.release());
  }
}

bool CCryptoAPI20Tool::VerifyDetached(bool currentUser, const std::string& content,
                                      const std::string& signature, bool downloadMissing,
                                      bool checkRevocation, double date, CStrArray* signerList,
                                      bool oneSigner) {
  CValueCheckTool::CheckNotEmpty(content, "content");
  CValueCheckTool::CheckNotEmpty(signature, "signature");
  CCryptoProvider provider;
  provider.AcquireContext({}, {}, kCryptVerifyContext, kProvGost);
  CCryptoSignatureConfig config;
  config.provider = &provider;
  config.location = currentUser ? kStoreCurrentUser : kStoreLocalMachine;
  config.options = kVerifyCheckChain;
  if (downloadMissing) config.options |= kVerifyDownloadCertificates | kVerifyDownloadCrls;
  if (checkRevocation) config.options |= kVerifyCheckRevocation;
  config.oneSigner = oneSigner;
  CCryptoSignature verifier;
  verifier.Open(&config);
  bool result = verifier.Verify(content, signature, date);
  if (signerList) {
    CStrArray& signers = verifier.Signers();
    for (int i = signers.Count() - 1; i >= 0; --i) signerList->Add(signers.Key(i), signers.Object(i));
    signers.SetOwnership(CStrArray::kOwnNone);
    signers.Clear();
    signers.SetOwnership(CStrArray::kOwnDestroy);
  }
  return result;
}

CertContextPtr CCryptoAPI20Tool::ExtractSigner(const std::string& signatureBytes) {
  CertStorePtr store = OpenPkcs7Store(signatureBytes);
  if (!store) {
    RaiseErrorFmt("Не удалось извлечь подписанта из подписи. Неверный формат подписи: %s"_cp,
                  {CCryptoAPI20Utils::LastErrorText()});
  }
  return store->Certificates().empty() ? nullptr : store->Certificates().front();
}

}  // namespace qv
