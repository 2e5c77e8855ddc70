// The keys of the GOST engine are EC_KEY structures reached through the deprecated EC_KEY
// interface; the warnings are silenced for this file only (before the first OpenSSL header).
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "platform/ProviderContainer.h"

#include <sys/stat.h>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"

namespace qv {
namespace {

using BnPtr = OsslPtr<BIGNUM, BN_clear_free>;
using BnCtxPtr = OsslPtr<BN_CTX, BN_CTX_free>;
using EcPointPtr = OsslPtr<EC_POINT, EC_POINT_free>;

// The engine's controls of its MAC digests (GOST 28147-89 imitation): the key is given after
// the digest is initialised.
constexpr int kMdCtrlSetKey = EVP_MD_CTRL_ALG_CTRL + 4;

// The format version header.key names.
const char kFormatVersion[] = "1.2.643.2.2.37.2.1";
// The constant the PIN derivation starts from.
const char kDerivationSeed[] = "DENEFH028.760246785.IUEFHWUIO.EF";

const char kHeaderFile[] = "header.key";

// A key of the container once header.key has been read.
enum class Family { kGost2001, kGost2012 };

struct KeyParameters {
  int keyNid = NID_undef;  // NID_id_GostR3410_2001, NID_id_GostR3410_2012_256 or _512
  int curveNid = NID_undef;
  Family family = Family::kGost2001;
  std::size_t size = 32;  // bytes of the private key
};

[[noreturn]] void RaiseDamaged(const std::string& file, const std::string& reason) {
  ERR_clear_error();
  SetLastCryptError(kNteBadData);
  std::string message = FormatText("Файл контейнера ключа [%s] поврежден: %s"_cp, {file, reason});
  Trace("%s", {message});
  throw COSException(message, kNteBadData);
}

// One ASN.1 element: its tag, the bytes of its contents and the bytes of the whole element.
struct Element {
  int tag = 0;
  int tagClass = 0;
  bool constructed = false;
  const unsigned char* contents = nullptr;
  std::size_t length = 0;
  const unsigned char* begin = nullptr;
  std::size_t total = 0;
  std::string Contents() const { return std::string(reinterpret_cast<const char*>(contents), length); }
};

// Reads the elements of a run of DER bytes one after another; every length is checked against
// what is left (by OpenSSL's ASN1_get_object), an indefinite length is refused.
class ElementReader {
 public:
  ElementReader(const std::string& file, const unsigned char* data, std::size_t size)
      : file_(file), at_(data), end_(data + size) {}
  ElementReader(const std::string& file, const Element& parent)
      : ElementReader(file, parent.contents, parent.length) {}

  bool AtEnd() const { return at_ == end_; }

  Element Next() {
    if (AtEnd()) RaiseDamaged(file_, "файл обрезан"_cp);
    Element element;
    element.begin = at_;
    const unsigned char* p = at_;
    long length = 0;
    const int flags = ASN1_get_object(&p, &length, &element.tag, &element.tagClass, end_ - at_);
    if (flags & 0x80) {
      // a length past the end of the bytes is a file cut short
      const int reason = ERR_GET_REASON(ERR_peek_last_error());
      RaiseDamaged(file_, reason == ASN1_R_TOO_LONG || reason == ASN1_R_HEADER_TOO_LONG
                              ? "файл обрезан"_cp
                              : "неверная структура ASN.1"_cp);
    }
    if (flags == 0x21) RaiseDamaged(file_, "неверная структура ASN.1"_cp);  // indefinite length
    element.constructed = (flags & V_ASN1_CONSTRUCTED) != 0;
    element.contents = p;
    element.length = static_cast<std::size_t>(length);
    at_ = p + length;
    element.total = static_cast<std::size_t>(at_ - element.begin);
    return element;
  }

  // The next element, which must be a universal one of `tag`.
  Element Expect(int tag, bool constructed) {
    Element element = Next();
    if (element.tagClass != V_ASN1_UNIVERSAL || element.tag != tag || element.constructed != constructed)
      RaiseDamaged(file_, "неверная структура ASN.1"_cp);
    return element;
  }

  // An OCTET STRING of exactly one of the sizes given.
  std::string OctetString(std::initializer_list<std::size_t> sizes) {
    Element element = Expect(V_ASN1_OCTET_STRING, false);
    if (std::find(sizes.begin(), sizes.end(), element.length) == sizes.end())
      RaiseDamaged(file_, FormatText("неверная длина поля: %d байт"_cp, {element.length}));
    return element.Contents();
  }

  void End() {
    if (!AtEnd()) RaiseDamaged(file_, "лишние данные в конце"_cp);
  }

 private:
  const std::string& file_;
  const unsigned char* at_;
  const unsigned char* end_;
};

std::string Oid(const std::string& file, const Element& element) {
  if (element.tagClass != V_ASN1_UNIVERSAL || element.tag != V_ASN1_OBJECT || element.constructed)
    RaiseDamaged(file, "неверная структура ASN.1"_cp);
  const unsigned char* p = element.begin;
  Asn1ObjectPtr object(d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(element.total)));
  if (!object) RaiseDamaged(file, "неверный идентификатор объекта"_cp);
  return OidText(object.get());
}

// The key's algorithm from the contents of an AlgorithmIdentifier: the algorithm (signature or
// key agreement) and the parameters' first identifier, the curve.
KeyParameters ReadAlgorithm(const std::string& file, const Element& identifier) {
  ElementReader reader(file, identifier);
  const std::string algorithm = Oid(file, reader.Next());
  KeyParameters key;
  if (algorithm == "1.2.643.2.2.19" || algorithm == "1.2.643.2.2.98") {
    key.keyNid = NID_id_GostR3410_2001;
  } else if (algorithm == "1.2.643.7.1.1.1.1" || algorithm == "1.2.643.7.1.1.6.1") {
    key.keyNid = NID_id_GostR3410_2012_256;
    key.family = Family::kGost2012;
  } else if (algorithm == "1.2.643.7.1.1.1.2" || algorithm == "1.2.643.7.1.1.6.2") {
    key.keyNid = NID_id_GostR3410_2012_512;
    key.family = Family::kGost2012;
    key.size = 64;
  } else {
    RaiseDamaged(file, FormatText("неизвестный алгоритм ключа %s"_cp, {algorithm}));
  }
  ElementReader parameters(file, reader.Expect(V_ASN1_SEQUENCE, true));
  const std::string curve = Oid(file, parameters.Next());
  key.curveNid = OBJ_txt2nid(curve.c_str());
  ERR_clear_error();
  if (key.curveNid == NID_undef) RaiseDamaged(file, FormatText("неизвестная кривая ключа %s"_cp, {curve}));
  return key;
}

// PrivateKeyParameters: the key's attributes and its algorithm ([0] IMPLICIT).
KeyParameters ReadKeyParameters(const std::string& file, const Element& parameters) {
  ElementReader reader(file, parameters);
  reader.Expect(V_ASN1_BIT_STRING, false);
  Element algorithm = reader.Next();
  if (algorithm.tagClass != V_ASN1_CONTEXT_SPECIFIC || algorithm.tag != 0 || !algorithm.constructed)
    RaiseDamaged(file, "неверная структура ASN.1"_cp);
  return ReadAlgorithm(file, algorithm);
}

const EVP_MD* Digest(int nid) {
  const EVP_MD* md = EVP_get_digestbynid(nid);
  if (!md) RaiseErrorFmt("Криптопровайдер ГОСТ недоступен: %s"_cp, {TakeOpenSslErrors()});
  return md;
}

// The engine's GOST 28147-89 imitation (4 bytes) of `data` under `key` with the parameter set
// Z (GOST R 34.12-2015's S-boxes) or the CryptoPro A set.
std::string Imitation(const std::string& key, const std::string& data, Family family) {
  const EVP_MD* md = Digest(family == Family::kGost2012 ? NID_gost_mac_12 : NID_id_Gost28147_89_MAC);
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  std::string copy = key;
  if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1 ||
      EVP_MD_CTX_ctrl(ctx.get(), kMdCtrlSetKey, static_cast<int>(copy.size()), copy.data()) <= 0 ||
      EVP_DigestUpdate(ctx.get(), data.data(), data.size()) != 1 ||
      EVP_DigestFinal_ex(ctx.get(), out, &length) != 1 || length < 4) {
    OPENSSL_cleanse(copy.data(), copy.size());
    RaiseErrorFmt("Не удалось вычислить имитовставку: %s"_cp, {TakeOpenSslErrors()});
  }
  OPENSSL_cleanse(copy.data(), copy.size());
  return std::string(reinterpret_cast<const char*>(out), 4);
}

bool SameBytes(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string Hash(const EVP_MD* md, std::initializer_list<std::string_view> parts) {
  EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1;
  for (std::string_view part : parts) ok = ok && EVP_DigestUpdate(ctx.get(), part.data(), part.size()) == 1;
  if (!ok || EVP_DigestFinal_ex(ctx.get(), out, &length) != 1)
    RaiseErrorFmt("Не удалось вычислить хэш: %s"_cp, {TakeOpenSslErrors()});
  std::string hash(reinterpret_cast<const char*>(out), length);
  OPENSSL_cleanse(out, sizeof out);
  return hash;
}

// A string wiped when it goes.
struct Secret {
  std::string bytes;
  Secret() = default;
  explicit Secret(std::string b) : bytes(std::move(b)) {}
  Secret(const Secret&) = delete;
  Secret(Secret&& other) noexcept : bytes(std::move(other.bytes)) {}
  Secret& operator=(Secret&& other) noexcept {
    OPENSSL_cleanse(bytes.data(), bytes.size());
    bytes = std::move(other.bytes);
    return *this;
  }
  ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

// The key the PIN and a salt give: the PIN (each byte followed by three zero bytes) is hashed
// with the salt, that hash is folded into the seed 2000 times (twice without a PIN) in the
// manner of HMAC, and the result is hashed once more with the salt and the PIN. GOST R
// 34.11-94 (CryptoPro parameters, 32-byte blocks) for GOST R 34.10-2001 keys, GOST R 34.11-2012
// with a 256-bit result (64-byte blocks) for 2012 keys.
Secret DerivePinKey(const std::string& pin, const std::string& salt, Family family) {
  const bool streebog = family == Family::kGost2012;
  const EVP_MD* md = Digest(streebog ? NID_id_GostR3411_2012_256 : NID_id_GostR3411_94);
  const std::size_t block = streebog ? 64 : 32;
  Secret wide;
  wide.bytes.assign(pin.size() * 4, '\0');
  for (std::size_t i = 0; i < pin.size(); ++i) wide.bytes[i * 4] = pin[i];
  Secret salted(Hash(md, {salt, wide.bytes}));
  Secret current(std::string(kDerivationSeed, 32));
  current.bytes.resize(block, '\0');
  Secret inner(std::string(block, '\0'));
  Secret outer(std::string(block, '\0'));
  auto pads = [&] {
    for (std::size_t i = 0; i < block; ++i) {
      inner.bytes[i] = static_cast<char>(current.bytes[i] ^ 0x36);
      outer.bytes[i] = static_cast<char>(current.bytes[i] ^ 0x5C);
    }
  };
  const int rounds = pin.empty() ? 2 : 2000;
  for (int round = 0; round < rounds; ++round) {
    pads();
    current = Secret(Hash(md, {inner.bytes, salted.bytes, outer.bytes, salted.bytes}));
    current.bytes.resize(block, '\0');
  }
  pads();
  current = Secret(Hash(md, {std::string_view(inner.bytes).substr(0, 32), salt,
                             std::string_view(outer.bytes).substr(0, 32), wide.bytes}));
  return Secret(Hash(md, {std::string_view(current.bytes).substr(0, 32)}));
}

// GOST 28147-89 in simple replacement (ECB) mode, decrypting: the engine offers CBC, which with
// a zero IV and one block at a time is the same.
Secret DecryptBlocks(const std::string& key, const std::string& data, Family family) {
  const EVP_CIPHER* cipher = EVP_get_cipherbynid(NID_gost89_cbc);
  if (!cipher) RaiseErrorFmt("Криптопровайдер ГОСТ недоступен: %s"_cp, {TakeOpenSslErrors()});
  const char* sbox =
      family == Family::kGost2012 ? SN_id_tc26_gost_28147_param_Z : SN_id_Gost28147_89_CryptoPro_A_ParamSet;
  Secret plain(std::string(data.size(), '\0'));
  const unsigned char iv[8] = {};
  for (std::size_t at = 0; at + 8 <= data.size(); at += 8) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int out = 0;
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_SET_SBOX, 0, const_cast<char*>(sbox)) <= 0 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                           iv) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
        EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&plain.bytes[at]), &out,
                          reinterpret_cast<const unsigned char*>(data.data() + at), 8) != 1 ||
        out != 8) {
      RaiseErrorFmt("Не удалось расшифровать ключ: %s"_cp, {TakeOpenSslErrors()});
    }
  }
  return plain;
}

// A little-endian number.
BnPtr LittleEndian(const std::string& bytes) {
  BnPtr number(BN_lebin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                           static_cast<int>(bytes.size()), nullptr));
  if (!number) throw std::bad_alloc();
  return number;
}

// A key of the algorithm with the curve's parameters and no value yet; the curve must be one of
// the algorithm's size.
EvpPkeyPtr KeyWithCurve(const std::string& file, const KeyParameters& parameters) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(parameters.keyNid, nullptr));
  EVP_PKEY* raw = nullptr;
  const bool made = ctx && EVP_PKEY_paramgen_init(ctx.get()) > 0 &&
                    EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", OBJ_nid2sn(parameters.curveNid)) > 0 &&
                    EVP_PKEY_paramgen(ctx.get(), &raw) > 0;
  EvpPkeyPtr key(raw);
  const EC_KEY* ec = made ? static_cast<const EC_KEY*>(EVP_PKEY_get0(key.get())) : nullptr;
  const EC_GROUP* group = ec ? EC_KEY_get0_group(ec) : nullptr;
  if (!group || static_cast<std::size_t>(EC_GROUP_order_bits(group) + 7) / 8 != parameters.size) {
    RaiseDamaged(file,
                 FormatText("кривая %s не подходит к ключу"_cp, {OidText(OBJ_nid2obj(parameters.curveNid))}));
  }
  return key;
}

}  // namespace

struct CProviderContainer::Slot {
  KeyParameters parameters;
  std::string fingerprint;  // the first 8 bytes of the public key's X, little-endian
  std::string certificate;
};

ProviderContainerFiles ReadProviderContainerFiles(const std::string& folder) {
  if (!IsDirectory(folder)) RaiseErrorFmt("Папка контейнера ключа не найдена: [%s]"_cp, {folder});
  // copied from a FAT drive, the names may be upper-case
  auto read = [&](const char* name, std::size_t bound, bool required) {
    std::string path = CombinePath(folder, name);
    if (!FileExists(path)) {
      std::string upper = name;
      std::transform(upper.begin(), upper.end(), upper.begin(),
                     [](unsigned char c) { return std::toupper(c); });
      if (FileExists(CombinePath(folder, upper))) path = CombinePath(folder, upper);
    }
    if (IsDirectory(path)) RaiseDamaged(path, "не является обычным файлом"_cp);
    if (!FileExists(path)) {
      if (!required) return std::string();
      RaiseDamaged(path, "файл не найден"_cp);
    }
    struct stat st {};
    if (::stat(SysPath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) > bound)
      RaiseDamaged(path, FormatText("размер больше допустимых %d байт"_cp, {bound}));
    try {
      return ReadRegularFile(path, bound);
    } catch (const CVorlentException& e) {
      RaiseDamaged(path, e.Message());
    }
  };
  ProviderContainerFiles files;
  files.header = read(kHeaderFile, kMaxProviderHeaderFile, true);
  files.primary = read("primary.key", kMaxProviderKeyFile, true);
  files.masks = read("masks.key", kMaxProviderKeyFile, true);
  files.primary2 = read("primary2.key", kMaxProviderKeyFile, false);
  files.masks2 = read("masks2.key", kMaxProviderKeyFile, false);
  return files;
}

CProviderContainer::CProviderContainer(const std::string& where, ProviderContainerFiles files)
    : where_(where), files_(std::move(files)) {
  EnsureGostEngine();
  const std::string file = CombinePath(where_, kHeaderFile);
  if (files_.header.size() > kMaxProviderHeaderFile)
    RaiseDamaged(file, FormatText("размер больше допустимых %d байт"_cp, {kMaxProviderHeaderFile}));
  const auto* data = reinterpret_cast<const unsigned char*>(files_.header.data());
  ElementReader top(file, data, files_.header.size());
  Element whole = top.Expect(V_ASN1_SEQUENCE, true);
  top.End();
  ElementReader outer(file, whole);
  Element content = outer.Expect(V_ASN1_SEQUENCE, true);
  outer.OctetString({4});
  outer.End();

  std::unique_ptr<Slot> slots[2];
  std::string fingerprints[2];
  std::string certificates[2];
  int fields = 0;
  int lastTag = -1;
  ElementReader reader(file, content);
  while (!reader.AtEnd()) {
    if (++fields > kMaxProviderHeaderFields)
      RaiseDamaged(file, FormatText("больше допустимых %d полей"_cp, {kMaxProviderHeaderFields}));
    Element field = reader.Next();
    if (field.tagClass == V_ASN1_UNIVERSAL) {
      if (field.tag == V_ASN1_SEQUENCE && field.constructed && !slots[0]) {
        slots[0] = std::make_unique<Slot>();
        slots[0]->parameters = ReadKeyParameters(file, field);
      }
      continue;  // the container's name, attributes, password policy, security level
    }
    if (field.tagClass != V_ASN1_CONTEXT_SPECIFIC) RaiseDamaged(file, "неверная структура ASN.1"_cp);
    // the tagged fields come in the order of their tags, each once
    if (field.tag <= lastTag) RaiseDamaged(file, "неверная структура ASN.1"_cp);
    lastTag = field.tag;
    switch (field.tag) {
      case 0: {
        ElementReader version(file, field);
        const std::string oid = Oid(file, version.Next());
        if (oid != kFormatVersion) RaiseDamaged(file, FormatText("неизвестная версия формата %s"_cp, {oid}));
        break;
      }
      case 2:
        if (field.constructed || field.length != 4) RaiseDamaged(file, "неверная структура ASN.1"_cp);
        passwordCheck_ = field.Contents();
        break;
      case 4:
        if (!field.constructed) RaiseDamaged(file, "неверная структура ASN.1"_cp);
        slots[1] = std::make_unique<Slot>();
        slots[1]->parameters = ReadKeyParameters(file, field);
        break;
      case 5:
      case 6: {
        if (field.constructed) RaiseDamaged(file, "неверная структура ASN.1"_cp);
        const unsigned char* p = field.contents;
        X509Ptr certificate(d2i_X509(nullptr, &p, static_cast<long>(field.length)));
        if (!certificate || p != field.contents + field.length) RaiseDamaged(file, "неверный сертификат"_cp);
        certificates[field.tag - 5] = field.Contents();
        break;
      }
      case 10:
      case 11:
        if (field.constructed || field.length != 8) RaiseDamaged(file, "неверная структура ASN.1"_cp);
        fingerprints[field.tag - 10] = field.Contents();
        break;
      default:
        break;
    }
  }
  if (!slots[0]) RaiseDamaged(file, "нет параметров ключа"_cp);
  for (const auto& slot : slots) {
    if (slot) KeyWithCurve(file, slot->parameters);
  }
  // The check value at the end of header.key is not verified: the provider's versions compute
  // it in ways that differ (the imitation under a zero key matches some provider-made containers
  // and not others). What the import takes from the file is checked otherwise: the algorithm,
  // the curve and the public key's fingerprint by the key that the PIN opens, the certificate by
  // that key.
  for (int i = 0; i < 2; ++i) {
    if (!slots[i]) {
      if (!fingerprints[i].empty() || !certificates[i].empty()) RaiseDamaged(file, "нет параметров ключа"_cp);
      continue;
    }
    if (fingerprints[i].empty()) RaiseDamaged(file, "нет отпечатка открытого ключа"_cp);
    slots[i]->fingerprint = fingerprints[i];
    slots[i]->certificate = certificates[i];
    slots_[i] = std::move(slots[i]);
  }
  if (slots_[1] && (files_.primary2.empty() || files_.masks2.empty()))
    RaiseDamaged(CombinePath(where_, files_.primary2.empty() ? "primary2.key" : "masks2.key"),
                 "файл не найден"_cp);
}

CProviderContainer::~CProviderContainer() = default;

int CProviderContainer::KeyCount() const {
  return slots_[1] ? 2 : 1;
}

namespace {

// What a key file (primary.key, masks.key) holds: one SEQUENCE and nothing after it.
ElementReader KeyFileSequence(const std::string& file, const std::string& bytes) {
  if (bytes.size() > kMaxProviderKeyFile)
    RaiseDamaged(file, FormatText("размер больше допустимых %d байт"_cp, {kMaxProviderKeyFile}));
  ElementReader top(file, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  ElementReader sequence(file, top.Expect(V_ASN1_SEQUENCE, true));
  top.End();
  return sequence;
}

}  // namespace

const std::string& CProviderContainer::Certificate(int slot) const {
  static const std::string none;
  return slot >= 0 && slot < 2 && slots_[slot] ? slots_[slot]->certificate : none;
}

EvpPkeyPtr CProviderContainer::OpenKey(int slot, const std::string& pin) const {
  if (slot < 0 || slot >= KeyCount()) RaiseErrorFmt("В контейнере нет ключа %d"_cp, {slot + 1});
  const Slot& key = *slots_[slot];
  const KeyParameters& parameters = key.parameters;
  const std::string primaryFile = CombinePath(where_, slot == 0 ? "primary.key" : "primary2.key");
  const std::string masksFile = CombinePath(where_, slot == 0 ? "masks.key" : "masks2.key");
  const std::string& primaryBytes = slot == 0 ? files_.primary : files_.primary2;
  const std::string& masksBytes = slot == 0 ? files_.masks : files_.masks2;
  if (pin.size() > kMaxProviderPinLength)
    RaiseKeyError(kNteBadKey, FormatText("PIN длиннее допустимых %d символов"_cp, {kMaxProviderPinLength}));

  // masks.key: the mask, the salt of the PIN derivation and their check value
  ElementReader masks = KeyFileSequence(masksFile, masksBytes);
  Secret mask(masks.OctetString({parameters.size}));
  const std::string salt = masks.OctetString({12});
  const std::string masksCheck = masks.OctetString({4});
  masks.End();
  const std::string maskKey = mask.bytes.substr(mask.bytes.size() - 32);
  if (!SameBytes(Imitation(maskKey, salt, parameters.family), masksCheck))
    RaiseDamaged(masksFile, "не совпадает контрольное значение"_cp);

  // primary.key: the key, masked and encrypted
  ElementReader primary = KeyFileSequence(primaryFile, primaryBytes);
  const std::string encrypted = primary.OctetString({parameters.size});
  primary.End();

  // The PIN's own check value, when header.key keeps one, tells a wrong PIN from damaged key
  // files before the key is unmasked.
  const bool pinChecked = !passwordCheck_.empty() && passwordCheck_ != std::string(4, '\0');
  auto wrongPin = [&] {
    RaiseKeyError(kNteBadKey, FormatText("Неверный PIN контейнера ключа [%s]"_cp, {where_}));
  };
  if (pinChecked) {
    Secret checkKey = DerivePinKey(pin, slots_[0]->fingerprint, parameters.family);
    if (!SameBytes(Imitation(checkKey.bytes, std::string(16, '\0'), parameters.family), passwordCheck_))
      wrongPin();
  }
  Secret pinKey = DerivePinKey(pin, salt, parameters.family);
  Secret masked = DecryptBlocks(pinKey.bytes, encrypted, parameters.family);

  // A key with the curve's parameters, whose private value becomes masked / mask mod q.
  EvpPkeyPtr result = KeyWithCurve(CombinePath(where_, kHeaderFile), parameters);
  EC_KEY* ec = static_cast<EC_KEY*>(EVP_PKEY_get0(result.get()));
  const EC_GROUP* group = ec ? EC_KEY_get0_group(ec) : nullptr;
  BnCtxPtr bn(BN_CTX_new());
  BnPtr order(BN_new());
  BnPtr inverse(BN_new());
  BnPtr secret(BN_secure_new());
  BnPtr x(BN_new());
  if (!group || !bn || !order || !inverse || !secret || !x ||
      EC_GROUP_get_order(group, order.get(), bn.get()) != 1)
    RaiseErrorFmt("Не удалось прочитать параметры кривой: %s"_cp, {TakeOpenSslErrors()});
  BnPtr maskValue = LittleEndian(mask.bytes);
  BnPtr maskedValue = LittleEndian(masked.bytes);
  EcPointPtr point(EC_POINT_new(group));
  if (!BN_mod_inverse(inverse.get(), maskValue.get(), order.get(), bn.get())) {
    ERR_clear_error();
    RaiseDamaged(masksFile, "неверная маска"_cp);
  }
  if (BN_mod_mul(secret.get(), maskedValue.get(), inverse.get(), order.get(), bn.get()) != 1 || !point)
    RaiseErrorFmt("Не удалось снять маску ключа: %s"_cp, {TakeOpenSslErrors()});
  BN_clear(maskedValue.get());
  if (BN_is_zero(secret.get())) {
    if (!pinChecked) wrongPin();
    RaiseDamaged(primaryFile, "неверный закрытый ключ"_cp);
  }
  if (EC_POINT_mul(group, point.get(), secret.get(), nullptr, nullptr, bn.get()) != 1 ||
      EC_POINT_get_affine_coordinates(group, point.get(), x.get(), nullptr, bn.get()) != 1)
    RaiseErrorFmt("Не удалось вычислить открытый ключ: %s"_cp, {TakeOpenSslErrors()});
  unsigned char xBytes[64] = {};
  if (BN_bn2lebinpad(x.get(), xBytes, static_cast<int>(parameters.size)) < 0)
    RaiseErrorFmt("Не удалось вычислить открытый ключ: %s"_cp, {TakeOpenSslErrors()});
  // The public key must be the one header.key names: else the PIN (or the key files) is wrong.
  if (CRYPTO_memcmp(xBytes, key.fingerprint.data(), 8) != 0) {
    if (!pinChecked) wrongPin();
    RaiseDamaged(primaryFile, "открытый ключ не совпадает с записанным в header.key"_cp);
  }
  if (EC_KEY_set_private_key(ec, secret.get()) != 1 || EC_KEY_set_public_key(ec, point.get()) != 1)
    RaiseErrorFmt("Не удалось собрать ключ: %s"_cp, {TakeOpenSslErrors()});
  return result;
}

namespace provider_format {

std::string PinKey(const std::string& pin, const std::string& salt, bool gost2012) {
  return DerivePinKey(pin, salt, gost2012 ? Family::kGost2012 : Family::kGost2001).bytes;
}

std::string Imitation(const std::string& key, const std::string& data, bool gost2012) {
  return qv::Imitation(key, data, gost2012 ? Family::kGost2012 : Family::kGost2001);
}

}  // namespace provider_format

ProviderImport ImportProviderContainer(bool machineKeyset, const std::string& folder, const std::string& name,
                                       const std::string* pin, int slot) {
  if (name.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {"ContainerName"});
  if (!EnsureGostEngine()) RaiseKeyError(kNteProvTypeNotDef, "Криптопровайдер ГОСТ недоступен"_cp);
  if (KeyContainerExists(machineKeyset, name))
    RaiseKeyError(kNteExists, FormatText("Контейнер ключа уже существует: [%s]"_cp, {name}));
  CProviderContainer container(folder, ReadProviderContainerFiles(folder));
  if (slot < 0 || slot > container.KeyCount())
    RaiseErrorFmt("В контейнере [%s] нет ключа %d"_cp, {folder, slot});
  int index = slot - 1;
  if (slot == 0) index = container.Certificate(0).empty() && !container.Certificate(1).empty() ? 1 : 0;

  ProviderImport result;
  result.certificate = container.Certificate(index);
  EvpPkeyPtr key;
  if (pin) {
    result.pin = *pin;
    key = container.OpenKey(index, result.pin);
  } else {
    // a container without a PIN opens with none; else the PIN of the environment or the prompt
    try {
      key = container.OpenKey(index, {});
    } catch (const COSException& e) {
      if (e.Code() != kNteBadKey) throw;
      if (!AskContainerPin(folder, result.pin))
        RaiseKeyError(kErrorCancelled, FormatText("Не указан PIN контейнера ключа [%s]"_cp, {folder}));
      key = container.OpenKey(index, result.pin);
    }
  }
  if (!result.certificate.empty()) {
    CertContextPtr certificate = CCertContext::FromDer(result.certificate);
    if (!certificate) RaiseDamaged(CombinePath(folder, kHeaderFile), "неверный сертификат"_cp);
    CheckContainerKeyOf(folder, key.get(), *certificate);
  }
  WriteContainerWithKey(machineKeyset, name, key.get(), result.pin, result.certificate);
  return result;
}

}  // namespace qv
