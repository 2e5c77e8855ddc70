#include "crypto/CryptoSignature.h"

#include <nettle/nettle-meta.h>
#include <nettle/streebog.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

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
  if (size && ::fstat(fd.Get(), &st) != 0) RaiseOSError(errno);
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

// The digest `hash` of everything `content` reads: in place for a memory BIO, else piece by
// piece. False on a read error.
bool DigestContent(const nettle_hash& hash, BIO* content, std::string& digest) {
  streebog512_ctx context;  // the state of either size
  hash.init(&context);
  auto update = [&](const char* data, std::size_t size) {
    hash.update(&context, size, reinterpret_cast<const std::uint8_t*>(data));
  };
  if (BIO_method_type(content) == BIO_TYPE_MEM) {
    char* data = nullptr;
    long length = BIO_get_mem_data(content, &data);
    if (length > 0) update(data, static_cast<std::size_t>(length));
  } else if (!Drain(content, update)) {
    return false;
  }
  digest.resize(hash.digest_size);
  hash.digest(&context, hash.digest_size, reinterpret_cast<std::uint8_t*>(digest.data()));
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

// Checks the signature of `signer` over `content` with its certificate `cert`.
void VerifySignerInfo(CMS_ContentInfo* cms, CMS_SignerInfo* signer, X509* cert, BioPtr content) {
  CMS_SignerInfo_set1_signer_cert(signer, cert);
  bool hasSignedAttributes = CMS_signed_get_attr_count(signer) >= 0;
  if (hasSignedAttributes && CMS_SignerInfo_verify(signer) != 1) RaiseBadSignature(kNteBadSignature, true);
  if (!content) RaiseBadSignature(kNteFail, true);
  if (const nettle_hash* hash = hasSignedAttributes ? NettleDigest(SignerDigestNid(signer)) : nullptr) {
    // As CMS_SignerInfo_verify_content does: exactly one message digest attribute, of one value,
    // equal to the content's digest.
    std::string digest;
    if (!DigestContent(*hash, content.get(), digest)) RaiseBadSignature(kNteBadData, true);
    const auto* expected = static_cast<const ASN1_OCTET_STRING*>(
        CMS_signed_get0_data_by_OBJ(signer, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
    if (!expected || static_cast<std::size_t>(ASN1_STRING_length(expected)) != digest.size() ||
        std::memcmp(ASN1_STRING_get0_data(expected), digest.data(), digest.size()) != 0) {
      RaiseBadSignature(kCryptEHashValue, false);
    }
    return;
  }
  // The content runs through the digests that CMS_dataInit chains in front of it.
  BIO* chain = CMS_dataInit(cms, content.get());
  if (!chain) RaiseBadSignature(kNteBadData, true);
  content.release();
  BioPtr owner(chain);
  if (!Drain(chain)) RaiseBadSignature(kNteBadData, true);
  if (CMS_SignerInfo_verify_content(signer, chain) != 1) {
    RaiseBadSignature(hasSignedAttributes ? kCryptEHashValue : kNteBadSignature, true);
  }
}

}  // namespace

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

// The signature of CCryptTool::Sign over what `input` reads (null: OpenSSL could not make it).
std::string SignBio(CCryptCertificate& certificate, BIO* input, bool embedContent) {
  CValueCheckTool::CheckNotNil(certificate.Context().get(), "certificate");
  EnsureGostEngine();
  const CCertContext& context = *certificate.Context();
  std::string hashOid = HashOidForKey(certificate.GetPublicKey().AlgorithmOid);
  const EVP_MD* md = DigestForOid(hashOid);
  if (!md) {
    SetLastCryptErrorFromOpenSsl(kNteBadAlgid);
    RaiseLastCryptError();
  }
  EvpPkeyPtr key = KeyOfCertificate(context);

  unsigned flags = CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP | (embedContent ? 0u : unsigned{CMS_DETACHED});
  CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
  // CMS_SignerInfo_sign adds the signing time (UTCTime until 2050) beside content type and digest.
  CMS_SignerInfo* signer = cms ? CMS_add1_signer(cms.get(), context.Cert(), key.get(), md, flags) : nullptr;
  if (!signer) {
    SetLastCryptErrorFromOpenSsl(kNteFail);
    RaiseLastCryptError();
  }
  bool done = false;
  if (const nettle_hash* hash = embedContent ? nullptr : NettleDigest(EVP_MD_get_type(md))) {
    // What CMS_final does for a detached signature, with the content digest from nettle.
    std::string digest;
    done = input && DigestContent(*hash, input, digest) &&
           CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING, digest.data(),
                                       static_cast<int>(digest.size())) == 1 &&
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

}  // namespace

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
  if (!infos || sk_CMS_SignerInfo_num(infos) < 1) RaiseBadSignature(kCryptENotFound, false);
  CMS_SignerInfo* signer = sk_CMS_SignerInfo_value(infos, 0);

  // The signer's certificate among those the message carries, by issuer and serial number
  // (or by subject key identifier).
  X509StackPtr certs(CMS_get1_certs(cms.get()), FreeX509Stack);
  X509* signerCert = nullptr;
  for (int i = 0; certs && i < sk_X509_num(certs.get()); ++i) {
    X509* candidate = sk_X509_value(certs.get(), i);
    if (CMS_SignerInfo_cert_cmp(signer, candidate) == 0) {
      signerCert = candidate;
      break;
    }
  }
  if (!signerCert) {
    SetLastCryptError(kErrorSuccess);
    RaiseCryptoAPI20Error(kCodeNoSignerCertificate,
                          "Ошибка при проверке подписи: невозможно выделить сертификат из подписи"_cp);
  }
  // The certificate that verifies the signature is the one whose rules and chain are checked (not
  // merely the first one the message carries).
  unsigned char* der = nullptr;
  int length = i2d_X509(signerCert, &der);
  std::unique_ptr<unsigned char, OsslFreeDeleter> derOwner(der);
  CertContextPtr context =
      length > 0 ? CCertContext::FromDer(std::string(reinterpret_cast<const char*>(der), std::size_t(length)))
                 : nullptr;
  if (!context) RaiseLastCryptError();
  X509_ALGOR* digestAlgorithm = nullptr;
  X509_ALGOR* signatureAlgorithm = nullptr;
  CMS_SignerInfo_get0_algs(signer, nullptr, nullptr, &digestAlgorithm, &signatureAlgorithm);
  CheckSignerAlgorithms(context, OidText(digestAlgorithm ? digestAlgorithm->algorithm : nullptr),
                        OidText(signatureAlgorithm ? signatureAlgorithm->algorithm : nullptr));
  VerifySignerInfo(cms.get(), signer, signerCert, std::move(content));
  CheckSignerKeyUsage(context);
  CheckCertificateTimes(context);
  CheckCertificateAlgorithms(context);

  if (!chain) return;
  auto item = std::make_unique<CZUMECCertificate>();
  if (!item->SetFromContext(context, true)) RaiseError("Error open certificate");
  std::string thumbprint = context->Sha1Text();
  signers_.Add(thumbprint, item.release());
  for (int i = 0; i < signers_.Count(); ++i) {
    chain->CheckCertificate(static_cast<CZUMECCertificate*>(signers_.Object(i))->GetContext(), checkDate);
  }
}

bool CCryptoAPI20Tool::VerifyDetached(bool currentUser, const std::string& content,
                                      const std::string& signature, bool downloadMissing,
                                      bool checkRevocation, double date, CStrArray* signerList) {
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
