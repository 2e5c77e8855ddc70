// Encryption for one recipient and decryption with a store of bound certificates.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>

#include "crypto/ContentCipher.h"
#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoProvider.h"
#include "crypto/CryptoUtils.h"
#include "crypto/StringBio.h"
#include "crypto/ZumecCertificate.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Prefault.h"
#include "foundation/ValueCheck.h"
#include "platform/CryptError.h"
#include "platform/CryptProvider.h"
#include "platform/KeyContainer.h"

namespace qv {
namespace {

// GOST 28147-89, 1.2.643.2.2.21.
constexpr const char* kContentCipherOid = "1.2.643.2.2.21";

[[noreturn]] void RaisePass(const char* operation, int pass, const std::string& text) {
  RaiseErrorFmt("Ошибка при %s (%d): %s"_cp, {std::string(operation), pass, text});
}
[[noreturn]] void RaiseEncrypt(int pass, std::int32_t code) {
  SetLastCryptErrorFromOpenSsl(code);
  RaisePass("шифровании"_cp.c_str(), pass, CCryptoAPI20Utils::LastErrorText());
}
[[noreturn]] void RaiseDecrypt(int pass, std::int32_t code, bool fromOpenSsl = true) {
  if (fromOpenSsl) {
    SetLastCryptErrorFromOpenSsl(code);
  } else {
    SetLastCryptError(code);
  }
  RaisePass("расшифровании"_cp.c_str(), pass, CCryptoAPI20Utils::LastErrorText());
}

std::string ToDer(CMS_ContentInfo* cms, std::size_t expected, int pass) {
  std::string der;
  der.reserve(expected);
  BioPtr out = StringSinkBio(der);
  if (!out || i2d_CMS_bio(out.get(), cms) != 1) RaiseEncrypt(pass, kCryptEBadEncode);
  return der;
}

// One TLV of a DER encoding: where its header starts, where its contents start and end.
struct Tlv {
  std::size_t start = 0, contents = 0, end = 0;
  int tag = 0, cls = 0;
  bool constructed = false;
};

// Reads the TLV at `at` (definite lengths only); false when the bytes are not one.
bool ReadTlv(const std::string& der, std::size_t at, std::size_t limit, Tlv& tlv) {
  if (at >= limit) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(der.data()) + at;
  const unsigned char* begin = p;
  long length = 0;
  int tag = 0, cls = 0;
  int ret = ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(limit - at));
  if ((ret & 0x80) || ret == 0x21) {
    ERR_clear_error();
    return false;
  }
  tlv.start = at;
  tlv.contents = at + static_cast<std::size_t>(p - begin);
  tlv.end = tlv.contents + static_cast<std::size_t>(length);
  tlv.tag = tag;
  tlv.cls = cls;
  tlv.constructed = (ret & V_ASN1_CONSTRUCTED) != 0;
  return tlv.end <= limit;
}

std::string DerHeader(unsigned char identifier, std::size_t length) {
  std::string header(1, static_cast<char>(identifier));
  if (length < 0x80) return header + static_cast<char>(length);
  std::string bytes;
  for (std::size_t n = length; n; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
  return header + static_cast<char>(0x80 | bytes.size()) + bytes;
}

// Splits a DER EnvelopedData into the message without its encrypted content and the place of
// the encrypted content's bytes, so that the content is decrypted where it lies. False for
// any other form (BER, constructed content, no content), which is then parsed whole.
// The parts of a DER ContentInfo holding an EnvelopedData: its type, the EnvelopedData and
// its EncryptedContentInfo. False for any other form.
bool LocateEnvelope(const std::string& der, Tlv& oid, Tlv& envelope, Tlv& eci) {
  Tlv info, explicitTag, field;
  if (!ReadTlv(der, 0, der.size(), info) || info.end != der.size() || info.tag != V_ASN1_SEQUENCE)
    return false;
  if (!ReadTlv(der, info.contents, info.end, oid) || oid.tag != V_ASN1_OBJECT) return false;
  if (!ReadTlv(der, oid.end, info.end, explicitTag) || explicitTag.cls != V_ASN1_CONTEXT_SPECIFIC ||
      explicitTag.tag != 0 || explicitTag.end != info.end) {
    return false;
  }
  if (!ReadTlv(der, explicitTag.contents, explicitTag.end, envelope) || envelope.tag != V_ASN1_SEQUENCE ||
      envelope.end != explicitTag.end) {
    return false;
  }
  // version, [0] originatorInfo, recipientInfos (SET), encryptedContentInfo (SEQUENCE), ...
  std::size_t at = envelope.contents;
  while (at < envelope.end && ReadTlv(der, at, envelope.end, field)) {
    if (field.cls == V_ASN1_UNIVERSAL && field.tag == V_ASN1_SEQUENCE) {
      eci = field;
      return true;
    }
    at = field.end;
  }
  return false;
}

bool SplitEnvelope(const std::string& der, std::string& header, std::size_t& offset, std::size_t& length) {
  Tlv oid, envelope, eci;
  if (!LocateEnvelope(der, oid, envelope, eci)) return false;
  Tlv type, algorithm, content;
  if (!ReadTlv(der, eci.contents, eci.end, type) || !ReadTlv(der, type.end, eci.end, algorithm) ||
      !ReadTlv(der, algorithm.end, eci.end, content)) {
    return false;
  }
  if (content.cls != V_ASN1_CONTEXT_SPECIFIC || content.tag != 0 || content.constructed ||
      content.end != eci.end) {
    return false;
  }
  std::string eciNew = der.substr(eci.contents, content.start - eci.contents);
  eciNew = DerHeader(0x30, eciNew.size()) + eciNew;
  std::string envelopeNew = der.substr(envelope.contents, eci.start - envelope.contents) + eciNew +
                            der.substr(eci.end, envelope.end - eci.end);
  envelopeNew = DerHeader(0x30, envelopeNew.size()) + envelopeNew;
  std::string explicitNew = DerHeader(0xA0, envelopeNew.size()) + envelopeNew;
  std::string infoNew = der.substr(oid.start, oid.end - oid.start) + explicitNew;
  header = DerHeader(0x30, infoNew.size()) + infoNew;
  offset = content.contents;
  length = content.end - content.contents;
  return true;
}

// The beginning of the DER message whose encrypted content of `length` bytes follows it, from
// the same message encoded without its content: SplitEnvelope the other way round. False when
// the content would not be the message's last field.
bool EnvelopePrefix(const std::string& header, std::size_t length, std::string& prefix) {
  Tlv oid, envelope, eci;
  if (!LocateEnvelope(header, oid, envelope, eci) || eci.end != envelope.end) return false;
  const std::string tail = header.substr(eci.contents, eci.end - eci.contents) + DerHeader(0x80, length);
  const std::size_t eciSize = tail.size() + length;
  const std::string eciHead = DerHeader(0x30, eciSize);
  const std::string before = header.substr(envelope.contents, eci.start - envelope.contents);
  const std::size_t envelopeSize = before.size() + eciHead.size() + eciSize;
  const std::string envelopeHead = DerHeader(0x30, envelopeSize);
  const std::string explicitHead = DerHeader(0xA0, envelopeHead.size() + envelopeSize);
  const std::string type = header.substr(oid.start, oid.end - oid.start);
  prefix = DerHeader(0x30, type.size() + explicitHead.size() + envelopeHead.size() + envelopeSize) + type +
           explicitHead + envelopeHead + before + eciHead + tail;
  return true;
}

// The content cipher's identifier in the EncryptedContentInfo `eci`, or null.
X509AlgorPtr ContentCipherAlgorithm(const std::string& der, const Tlv& eci) {
  Tlv type, algorithm;
  if (!ReadTlv(der, eci.contents, eci.end, type) || !ReadTlv(der, type.end, eci.end, algorithm))
    return nullptr;
  const auto* p = reinterpret_cast<const unsigned char*>(der.data()) + algorithm.start;
  return X509AlgorPtr(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(algorithm.end - algorithm.start)));
}

// The content ciphers a message may use, each with the one form of its parameters that the GOST
// engine reads (it dereferences what it does not find, so any other form crashes the process):
//   GOST 28147-89:                  SEQUENCE { OCTET STRING (8) IV, OBJECT IDENTIFIER S-box set }
//   Magma, Kuznyechik CTR-ACPKM and
//   CTR-ACPKM-OMAC:                 SEQUENCE { OCTET STRING UKM (12 for Magma, 16 for Kuznyechik) }
// The S-box sets are those the engine knows.
struct ContentCipherForm {
  int nid;
  std::size_t ivSize;  // the IV of GOST 28147-89, the UKM of the others
  bool parameterSet;
};
constexpr ContentCipherForm kContentCipherForms[] = {
    {NID_id_Gost28147_89, 8, true},
    {NID_magma_ctr_acpkm, 12, false},
    {NID_magma_ctr_acpkm_omac, 12, false},
    {NID_kuznyechik_ctr_acpkm, 16, false},
    {NID_kuznyechik_ctr_acpkm_omac, 16, false},
};
constexpr int kGost89ParameterSets[] = {
    NID_id_Gost28147_89_CryptoPro_A_ParamSet, NID_id_Gost28147_89_CryptoPro_B_ParamSet,
    NID_id_Gost28147_89_CryptoPro_C_ParamSet, NID_id_Gost28147_89_CryptoPro_D_ParamSet,
    NID_id_tc26_gost_28147_param_Z,
};

// Whether `parameter` (the whole DER of the parameters) has exactly the form `form` asks for.
bool ContentCipherParametersHaveForm(const ContentCipherForm& form, int parameterType,
                                     const void* parameter) {
  if (parameterType != V_ASN1_SEQUENCE || !parameter) return false;
  const auto* sequence = static_cast<const ASN1_STRING*>(parameter);
  const unsigned char* q = ASN1_STRING_get0_data(sequence);
  const unsigned char* end = q + ASN1_STRING_length(sequence);
  std::unique_ptr<ASN1_SEQUENCE_ANY, void (*)(ASN1_SEQUENCE_ANY*)> items(
      d2i_ASN1_SEQUENCE_ANY(nullptr, &q, ASN1_STRING_length(sequence)),
      [](ASN1_SEQUENCE_ANY* list) { sk_ASN1_TYPE_pop_free(list, ASN1_TYPE_free); });
  ERR_clear_error();
  if (!items || q != end || sk_ASN1_TYPE_num(items.get()) != (form.parameterSet ? 2 : 1)) return false;
  const ASN1_TYPE* iv = sk_ASN1_TYPE_value(items.get(), 0);
  if (iv->type != V_ASN1_OCTET_STRING ||
      static_cast<std::size_t>(ASN1_STRING_length(iv->value.octet_string)) != form.ivSize)
    return false;
  if (!form.parameterSet) return true;
  const ASN1_TYPE* set = sk_ASN1_TYPE_value(items.get(), 1);
  if (set->type != V_ASN1_OBJECT) return false;
  const int nid = OBJ_obj2nid(set->value.object);
  return std::find(std::begin(kGost89ParameterSets), std::end(kGost89ParameterSets), nid) !=
         std::end(kGost89ParameterSets);
}

// Refuses a content cipher other than those above, or with parameters of another form, naming
// it. Returns whether it is GOST 28147-89.
bool CheckContentCipher(const std::string& der, const Tlv& eci) {
  X509AlgorPtr identifier = ContentCipherAlgorithm(der, eci);
  if (!identifier) RaiseDecrypt(1, kNteBadAlgid, false);
  const ASN1_OBJECT* cipher = nullptr;
  int parameterType = 0;
  const void* parameter = nullptr;
  X509_ALGOR_get0(&cipher, &parameterType, &parameter, identifier.get());
  const int nid = OBJ_obj2nid(cipher);
  const ContentCipherForm* form = nullptr;
  for (const ContentCipherForm& known : kContentCipherForms) {
    if (known.nid == nid && nid != NID_undef) form = &known;
  }
  if (form && ContentCipherParametersHaveForm(*form, parameterType, parameter))
    return nid == NID_id_Gost28147_89;
  std::string name = OidText(cipher);
  if (nid != NID_undef) name += std::string(" ") + OBJ_nid2sn(nid);
  SetLastCryptError(
      kNteBadAlgid,
      FormatText(form ? "параметры алгоритма шифрования содержимого [%s] имеют неверную форму"_cp
                      : "алгоритм шифрования содержимого [%s] не поддерживается"_cp,
                 {name}));
  RaisePass("расшифровании"_cp.c_str(), 1, CCryptoAPI20Utils::LastErrorText());
}

// Reads the TLV at `at` inside `outer`; false unless it has the given class, tag and form.
bool NextTlv(const std::string& der, std::size_t at, const Tlv& outer, int cls, int tag, bool constructed,
             Tlv& tlv) {
  return ReadTlv(der, at, outer.end, tlv) && tlv.cls == cls && tlv.tag == tag &&
         tlv.constructed == constructed;
}

// Whether `encryptedKey` is a GOST R 34.10 key transport of exactly the form the GOST engine
// unwraps: it asserts the sizes instead of checking them, and the process aborts.
//   SEQUENCE { SEQUENCE { OCTET STRING (32) encrypted key, OCTET STRING (4) MAC },
//              [0] IMPLICIT SEQUENCE { OBJECT IDENTIFIER cipher parameter set,
//                                      [0] IMPLICIT SubjectPublicKeyInfo ephemeral key,
//                                      OCTET STRING (8) UKM } }
bool GostKeyTransportWellFormed(const std::string& der) {
  constexpr int kUniversal = V_ASN1_UNIVERSAL, kContext = V_ASN1_CONTEXT_SPECIFIC;
  Tlv transport, keyInfo, key, mac, parameters, parameterSet, ephemeral, ukm;
  if (!ReadTlv(der, 0, der.size(), transport) || transport.end != der.size() ||
      transport.tag != V_ASN1_SEQUENCE || transport.cls != kUniversal ||
      !NextTlv(der, transport.contents, transport, kUniversal, V_ASN1_SEQUENCE, true, keyInfo) ||
      !NextTlv(der, keyInfo.contents, keyInfo, kUniversal, V_ASN1_OCTET_STRING, false, key) ||
      !NextTlv(der, key.end, keyInfo, kUniversal, V_ASN1_OCTET_STRING, false, mac) ||
      mac.end != keyInfo.end || !NextTlv(der, keyInfo.end, transport, kContext, 0, true, parameters) ||
      parameters.end != transport.end ||
      !NextTlv(der, parameters.contents, parameters, kUniversal, V_ASN1_OBJECT, false, parameterSet) ||
      !NextTlv(der, parameterSet.end, parameters, kContext, 0, true, ephemeral) ||
      !NextTlv(der, ephemeral.end, parameters, kUniversal, V_ASN1_OCTET_STRING, false, ukm) ||
      ukm.end != parameters.end) {
    return false;
  }
  if (key.end - key.contents != 32 || mac.end - mac.contents != 4 || ukm.end - ukm.contents != 8)
    return false;
  const auto* p = reinterpret_cast<const unsigned char*>(der.data()) + parameterSet.start;
  Asn1ObjectPtr oid(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(parameterSet.end - parameterSet.start)));
  if (!oid || OBJ_obj2nid(oid.get()) == NID_undef) return false;
  // The ephemeral key must be a public key OpenSSL reads.
  std::string spki = der.substr(ephemeral.start, ephemeral.end - ephemeral.start);
  spki[0] = static_cast<char>(0x30);
  p = reinterpret_cast<const unsigned char*>(spki.data());
  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> publicKey(
      d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())), EVP_PKEY_free);
  return publicKey != nullptr;
}

bool IsGostKeyAlgorithm(int nid) {
  return nid == NID_id_GostR3410_2001 || nid == NID_id_GostR3410_2012_256 || nid == NID_id_GostR3410_2012_512;
}

// Calls `visit(index, algorithm, encryptedKey)` for each key-transport recipient of the
// EnvelopedData `envelope`, `index` counting all recipients, until a visit returns false. False
// when the recipients do not have the form of a SET of RecipientInfo or a visit returned false.
template <class Visit>
bool ForEachKeyTransport(const std::string& der, const Tlv& envelope, Visit visit) {
  // version, [0] originatorInfo OPTIONAL, recipientInfos SET OF RecipientInfo, ...
  Tlv field, infos;
  std::size_t at = envelope.contents;
  while (true) {
    if (!ReadTlv(der, at, envelope.end, field)) return false;
    if (field.cls == V_ASN1_UNIVERSAL && field.tag == V_ASN1_SET) break;
    at = field.end;
  }
  infos = field;
  std::size_t index = 0;
  for (at = infos.contents; at < infos.end; at = field.end, ++index) {
    if (!ReadTlv(der, at, infos.end, field)) return false;
    // KeyTransRecipientInfo ::= SEQUENCE { version, rid, keyEncryptionAlgorithm, encryptedKey }; the
    // other kinds are tagged and never reach the GOST key transport.
    if (field.cls != V_ASN1_UNIVERSAL || field.tag != V_ASN1_SEQUENCE) continue;
    Tlv version, rid, algorithm, encryptedKey;
    if (!ReadTlv(der, field.contents, field.end, version) || !ReadTlv(der, version.end, field.end, rid) ||
        !ReadTlv(der, rid.end, field.end, algorithm) ||
        !NextTlv(der, algorithm.end, field, V_ASN1_UNIVERSAL, V_ASN1_OCTET_STRING, false, encryptedKey) ||
        !visit(index, algorithm, encryptedKey)) {
      return false;
    }
  }
  return true;
}

// Whether every key-transport recipient with a GOST key carries a well-formed key transport.
bool KeyTransportsWellFormed(const std::string& der, const Tlv& envelope) {
  return ForEachKeyTransport(der, envelope, [&](std::size_t, const Tlv& algorithm, const Tlv& encryptedKey) {
    const auto* p = reinterpret_cast<const unsigned char*>(der.data()) + algorithm.start;
    X509AlgorPtr identifier(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(algorithm.end - algorithm.start)));
    if (!identifier) return false;
    const ASN1_OBJECT* keyAlgorithm = nullptr;
    X509_ALGOR_get0(&keyAlgorithm, nullptr, nullptr, identifier.get());
    return !IsGostKeyAlgorithm(OBJ_obj2nid(keyAlgorithm)) ||
           GostKeyTransportWellFormed(
               der.substr(encryptedKey.contents, encryptedKey.end - encryptedKey.contents));
  });
}

// Refuses a message whose parts that the GOST engine reads without checking (the content
// cipher's parameters, the key transports) do not have the forms it expects. Returns whether
// the content cipher is GOST 28147-89.
bool CheckEnvelopeForm(CMS_ContentInfo* cms) {
  std::string der;
  BioPtr out = StringSinkBio(der);
  Tlv oid, envelope, eci;
  if (!out || i2d_CMS_bio(out.get(), cms) != 1 || !LocateEnvelope(der, oid, envelope, eci)) {
    RaiseDecrypt(1, kNteBadAlgid, false);
  }
  const bool gost89 = CheckContentCipher(der, eci);
  if (!KeyTransportsWellFormed(der, envelope)) RaiseDecrypt(1, kNteBadData, false);
  return gost89;
}

// The place among the recipients of `cms` of the key-transport recipient that `cert` stands
// for, or -1.
int RecipientIndex(CMS_ContentInfo* cms, X509* cert) {
  STACK_OF(CMS_RecipientInfo)* infos = CMS_get0_RecipientInfos(cms);
  for (int i = 0; infos && i < sk_CMS_RecipientInfo_num(infos); ++i) {
    CMS_RecipientInfo* info = sk_CMS_RecipientInfo_value(infos, i);
    if (CMS_RecipientInfo_type(info) == CMS_RECIPINFO_TRANS &&
        CMS_RecipientInfo_ktri_cert_cmp(info, cert) == 0) {
      return i;
    }
  }
  return -1;
}

// Fills `content` with the content key of the DER message `der` (parsed as `cms`) unwrapped
// with `key` of the recipient `cert`, and the content cipher's parameters; leaves it empty when
// anything is amiss, the content then being decrypted in one piece.
void UnwrapContentKey(const std::string& der, CMS_ContentInfo* cms, EVP_PKEY* key, X509* cert,
                      GostContentKey& content) {
  Tlv oid, envelope, eci;
  const int index = RecipientIndex(cms, cert);
  std::string wrapped;
  if (index < 0 || !LocateEnvelope(der, oid, envelope, eci) ||
      !ForEachKeyTransport(der, envelope, [&](std::size_t at, const Tlv&, const Tlv& encryptedKey) {
        if (at == static_cast<std::size_t>(index))
          wrapped = der.substr(encryptedKey.contents, encryptedKey.end - encryptedKey.contents);
        return true;
      })) {
    return;
  }
  EvpPkeyCtxPtr context(EVP_PKEY_CTX_new(key, nullptr));
  std::size_t size = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(wrapped.data());
  if (wrapped.empty() || !context || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
      EVP_PKEY_decrypt(context.get(), nullptr, &size, in, wrapped.size()) <= 0 || size != 32) {
    ERR_clear_error();
    return;
  }
  content.key.resize(size);
  if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char*>(content.key.data()), &size, in,
                       wrapped.size()) <= 0 ||
      size != 32) {
    ERR_clear_error();
    OPENSSL_cleanse(content.key.data(), content.key.size());
    content.key.clear();
    return;
  }
  content.algorithm = ContentCipherAlgorithm(der, eci);
}

// Decrypts the detached content of `cms`, the `length` bytes at `offset` of `message`, with
// `key` of the recipient `cert`, writing the plain text over the message from its beginning.
// The content key is unwrapped as CMS_decrypt does it; the content cipher is then fed a
// megabyte at a time, where the message library's data path gives it 4 KiB at a time through
// two buffers: each piece is decrypted where it lies and moved down behind what has been read.
// `header` is the message without its content, for the content key of a decryption in parts.
void DecryptWhereItLies(const std::string& header, CMS_ContentInfo* cms, EVP_PKEY* key, X509* cert,
                        char* message, std::size_t offset, std::size_t length) {
  // With CMS_DEBUG_DECRYPT a key that does not unwrap the content key is an error, not a random
  // content key (the countermeasure that would make garbage look like success). The library
  // takes the flag only from a message that holds its content: an empty one stands in for the
  // detached content while the flag is set.
  ASN1_OCTET_STRING** slot = CMS_get0_content(cms);
  if (!slot || *slot) RaiseDecrypt(1, kNteBadData);
  *slot = ASN1_OCTET_STRING_new();
  const bool flagged =
      *slot && CMS_decrypt(cms, nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_DEBUG_DECRYPT) == 1;
  ASN1_OCTET_STRING_free(*slot);
  *slot = nullptr;
  BioPtr content(BIO_new_mem_buf(message + offset, static_cast<int>(length)));
  if (!flagged || !content || CMS_decrypt_set1_pkey(cms, key, cert) != 1) RaiseDecrypt(1, kNteBadData);
  BioPtr cipher(CMS_dataInit(cms, content.get()));
  if (!cipher) RaiseDecrypt(1, kNteBadData);
  BIO_pop(cipher.get());  // the content stays ours
  EVP_CIPHER_CTX* context = nullptr;
  if (BIO_get_cipher_ctx(cipher.get(), &context) != 1 || !context ||
      EVP_CIPHER_CTX_get_block_size(context) != 1)
    RaiseDecrypt(1, kNteBadData);
  GostContentKey parts;
  if (length >= kContentPartsMinimum) UnwrapContentKey(header, cms, key, cert, parts);
  if (!DecryptContentWhereItLies(context, &parts, message, offset, length)) RaiseDecrypt(1, kNteBadData);
  unsigned char rest[EVP_MAX_BLOCK_LENGTH];
  int out = 0;
  if (EVP_DecryptFinal_ex(context, rest, &out) != 1 || out != 0) RaiseDecrypt(1, kNteBadData);
}

}  // namespace

std::string CCryptoAPI20Tool::EncryptMessage(const CertContextPtr& recipient, const std::string& content) {
  CValueCheckTool::CheckNotNil(recipient.get(), "recipient");
  EnsureGostEngine();
  Asn1ObjectPtr oid(OBJ_txt2obj(kContentCipherOid, 1));
  const EVP_CIPHER* cipher = oid ? EVP_get_cipherbyobj(oid.get()) : nullptr;
  if (!cipher) RaiseEncrypt(1, kNteBadAlgid);
  BioPtr input = MemoryBio(content);
  CmsPtr cms(CMS_encrypt(nullptr, nullptr, cipher, CMS_BINARY | CMS_PARTIAL));
  // CMS_KEY_PARAM makes the recipient's key context now, so that the key transport learns the
  // content cipher before the envelope is finished (the GOST engine needs it).
  CMS_RecipientInfo* info =
      cms ? CMS_add1_recipient_cert(cms.get(), recipient->Cert(), CMS_BINARY | CMS_KEY_PARAM) : nullptr;
  EVP_PKEY_CTX* keyContext = info ? CMS_RecipientInfo_get0_pkey_ctx(info) : nullptr;
  if (!keyContext) RaiseEncrypt(1, kNteFail);
  int set = EVP_PKEY_CTX_ctrl(keyContext, -1, -1, EVP_PKEY_CTRL_CIPHER, EVP_CIPHER_get_nid(cipher), nullptr);
  if (set <= 0 && set != -2) RaiseEncrypt(1, kNteBadAlgid);
  // The encrypted content goes straight into the buffer of the whole message, and the beginning
  // of the message is put in front of it: the document is never held encrypted twice.
  std::string der;
  der.reserve(content.size() + 16384);
  BioPtr output = StringSinkBio(der);
  {
    CPrefault ahead(der.data(), der.capacity());
    if (!input || !output || CMS_set_detached(cms.get(), 1) != 1 ||
        CMS_final(cms.get(), input.get(), output.get(), CMS_BINARY) != 1) {
      RaiseEncrypt(1, kNteFail);
    }
  }
  std::string prefix;
  if (!EnvelopePrefix(ToDer(cms.get(), 8192, 2), der.size(), prefix)) RaiseEncrypt(2, kCryptEBadEncode);
  der.insert(0, prefix);
  return der;
}

void CCryptoAPI20Tool::DecryptMessageInPlace(const CertStorePtr& store, std::string& message) {
  CValueCheckTool::CheckNotNil(store.get(), "store");
  EnsureGostEngine();
  // A DER message is parsed without its encrypted content, which is then decrypted where it lies.
  std::string header;
  std::size_t offset = 0, length = 0;
  bool detached = SplitEnvelope(message, header, offset, length) && length <= 0x7FFFFFFF;
  BioPtr input = MemoryBio(detached ? header : message);
  CmsPtr cms(input ? d2i_CMS_bio(input.get(), nullptr) : nullptr);
  if (!cms) RaiseDecrypt(1, kCryptEAsn1BadTag);
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_enveloped) {
    RaiseDecrypt(1, kCryptEUnexpectedMsgType, false);
  }
  // Before the GOST engine reads any part of the message.
  const bool gost89 = CheckEnvelopeForm(cms.get());
  // The recipient's certificate among the bound certificates of the store.
  CertContextPtr recipient;
  for (const CertContextPtr& cert : store->Certificates()) {
    if (cert->KeyProv() && !cert->KeyProv()->containerName.empty() &&
        RecipientIndex(cms.get(), cert->Cert()) >= 0) {
      recipient = cert;
      break;
    }
  }
  if (!recipient) RaiseDecrypt(1, kCryptENoDecryptCert, false);
  EvpPkeyPtr key;
  try {
    key = LoadContainerKey((recipient->KeyProv()->flags & kCryptMachineKeyset) != 0,
                           recipient->KeyProv()->containerName);
  } catch (const CVorlentException& e) {
    RaisePass("расшифровании"_cp.c_str(), 1, e.Message());
  }
  // GOST 28147-89 content gives a byte of plain text for each byte read, and only once the
  // content key is unwrapped, so its plain text is written over the message itself, behind what
  // has been read: the document is held once. Every failure (no recipient, a wrong or damaged
  // key) comes before the first byte is written, and the cipher itself cannot fail, so a message
  // that does not decrypt is left as it was. Other content is decrypted into a buffer of its own.
  if (gost89 && detached) {
    DecryptWhereItLies(header, cms.get(), key.get(), recipient->Cert(), message.data(), offset, length);
    message.resize(length);
    return;
  }
  BioPtr content(detached ? BIO_new_mem_buf(message.data() + offset, static_cast<int>(length)) : nullptr);
  std::string plain;
  BioPtr output = StringSinkBio(plain);
  // With the certificate and CMS_DEBUG_DECRYPT a key that does not unwrap the content key is an
  // error, not a random content key (the countermeasure that would make garbage look like success).
  if (!output || (detached && !content) ||
      CMS_decrypt(cms.get(), key.get(), recipient->Cert(), content.get(), output.get(),
                  CMS_BINARY | CMS_DEBUG_DECRYPT) != 1) {
    RaiseDecrypt(1, kNteBadData);
  }
  message.swap(plain);
}

std::string CCryptoAPI20Tool::DecryptMessage(const CertStorePtr& store, const std::string& encrypted) {
  std::string message = encrypted;
  DecryptMessageInPlace(store, message);
  return message;
}

std::string CCryptoAPI20Tool::EncryptForThumbprint(bool currentUser, const std::string& content,
                                                   const std::string& sha1) {
  int location = currentUser ? kStoreCurrentUser : kStoreLocalMachine;
  CCryptoProvider provider;
  provider.AcquireContext({}, {}, kCryptVerifyContext | (currentUser ? 0u : kCryptMachineKeyset), kProvGost);
  CertContextPtr recipient =
      CCryptoAPI20Utils::FindBySha1(provider.Handle(), location, kStoreAddressBook, sha1);
  if (!recipient) {
    RaiseErrorFmt(
        "Сертификат для шифрования с отпечатком [%s] не найден в храниилище \"Другие пользователи\""_cp,
        {sha1});
  }
  return EncryptMessage(recipient, content);
}

std::string CCryptoAPI20Tool::EncryptForCertificate(const std::string& content,
                                                    const std::string& certificateText) {
  CZUMECCertificate certificate;
  certificate.Open(certificateText);
  return EncryptMessage(certificate.GetContext(), content);
}

void CCryptoAPI20Tool::DecryptInPersonalStore(bool currentUser, std::string& message) {
  CCryptoProvider provider;
  provider.SetMachineKeyset(!currentUser);
  provider.AcquireContext({}, {}, kCryptVerifyContext | (currentUser ? 0u : kCryptMachineKeyset), kProvGost);
  CCryptoStore store;
  store.SetProvider(&provider);
  store.Open(kStoreProvSystem, "MY");
  DecryptMessageInPlace(store.Handle(), message);
}

std::string CCryptoAPI20Tool::DecryptWithPersonalStore(bool currentUser, const std::string& encrypted) {
  std::string message = encrypted;
  DecryptInPersonalStore(currentUser, message);
  return message;
}

}  // namespace qv
