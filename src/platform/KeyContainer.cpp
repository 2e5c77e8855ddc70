#include "platform/KeyContainer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "platform/CryptError.h"

namespace qv {
namespace {

std::mutex pinMutex;
PinCallback& PinCallbackSlot() {
  static PinCallback* slot = new PinCallback;
  return *slot;
}

const char kNameFile[] = "name";
const char kKeyFile[] = "key.p8";
const char kCertFile[] = "certificate.cer";

std::string KeysRoot(bool machine) {
  return CombinePath(LocationRoot(machine ? kLocationLocalMachine : kLocationCurrentUser), "keys");
}

// The PIN a thread's import has just been given for the container it makes.
struct KnownPin {
  bool set = false;
  bool machine = false;
  std::string name;
  std::string pin;
};
thread_local KnownPin knownPin;

std::string Pkcs8Der(const PKCS8_PRIV_KEY_INFO* p8) {
  unsigned char* der = nullptr;
  int length = i2d_PKCS8_PRIV_KEY_INFO(p8, &der);
  if (length <= 0) return {};
  std::unique_ptr<unsigned char, OsslFreeDeleter> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

std::string X509SigDer(const X509_SIG* sig) {
  unsigned char* der = nullptr;
  int length = i2d_X509_SIG(sig, &der);
  if (length <= 0) return {};
  std::unique_ptr<unsigned char, OsslFreeDeleter> owner(der);
  return std::string(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
}

// The bytes to store for a key: its PKCS #8, encrypted with the PIN when one is given.
std::string KeyFileBytes(EVP_PKEY* key, const std::string& pin) {
  Pkcs8Ptr p8(EVP_PKEY2PKCS8(key));
  if (!p8) RaiseErrorFmt("Не удалось закодировать закрытый ключ: %s"_cp, {TakeOpenSslErrors()});
  if (pin.empty()) return Pkcs8Der(p8.get());
  std::string utf8 = Cp1251ToUtf8(pin);
  X509SigPtr sig(PKCS8_encrypt(-1, EVP_aes_256_cbc(), utf8.data(), static_cast<int>(utf8.size()), nullptr, 0,
                               100000, p8.get()));
  if (!sig) RaiseErrorFmt("Не удалось зашифровать закрытый ключ: %s"_cp, {TakeOpenSslErrors()});
  return X509SigDer(sig.get());
}

void CheckContainerName(const std::string& name) {
  if (name.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {"ContainerName"});
}

using ContainerFiles = std::vector<std::pair<const char*, std::string>>;

// Makes a complete container in one step: its files are written into a temporary folder
// beside it, which is then renamed into place. A crash or a failure at any point leaves the
// container whole or not there at all. False with the last error set (kNteExists when the
// container exists).
bool CommitNewContainer(bool machine, const std::string& name, const ContainerFiles& files) {
  if (name.empty()) {
    SetLastCryptError(kNteBadKeysetParam);
    return false;
  }
  if (KeyContainerExists(machine, name)) {
    SetLastCryptError(kNteExists);
    return false;
  }
  auto fail = [](int error) {
    SetLastCryptError(error == EACCES ? kErrorAccessDenied : kCryptEFileError, SystemErrorText(error));
    return false;
  };
  const std::string root = KeysRoot(machine);
  if (!ForceDirectories(root, 0700)) return fail(errno);
  RemoveStaleTemporaries(root, {kTemporaryNamePattern});
  const std::string folder = KeyContainerFolder(machine, name);
  const std::string temporary = TemporaryNameFor(CombinePath(root, "." + ExtractFileName(folder)));
  if (::mkdir(SysPath(temporary).c_str(), 0700) != 0) return fail(errno);
  bool ok = WriteFileAtomic(CombinePath(temporary, kNameFile), name, 0600);
  for (const auto& [file, bytes] : files)
    ok = ok && WriteFileAtomic(CombinePath(temporary, file), bytes, 0600);
  // What is left of a container that was never completed does not carry over into a new one.
  if (ok && IsDirectory(folder) && !KeyContainerExists(machine, name)) DeleteFolderTree(folder, true);
  if (ok && ::rename(SysPath(temporary).c_str(), SysPath(folder).c_str()) != 0) {
    // a container made by someone else in the meantime
    if (errno == ENOTEMPTY || errno == EEXIST) {
      SetLastCryptError(kNteExists);
    } else {
      fail(errno);
    }
    ok = false;
  }
  if (!ok) DeleteFolderTree(temporary, true);
  return ok;
}

// Makes the container with its key (and the certificate, when given).
void WriteNewContainer(bool machine, const std::string& name, EVP_PKEY* key, const std::string& pin,
                       const std::string& certificate) {
  ContainerFiles files{{kKeyFile, KeyFileBytes(key, pin)}};
  if (!certificate.empty()) files.emplace_back(kCertFile, certificate);
  if (!CommitNewContainer(machine, name, files)) {
    RaiseKeyError(GetLastCryptError(), GetLastCryptError() == kNteExists
                                           ? FormatText("Контейнер ключа уже существует: [%s]"_cp, {name})
                                           : FormatText("Не удалось создать контейнер ключа [%s]: %s"_cp,
                                                        {name, LastErrorMessage()}));
  }
}

// A library context whose only provider is the null one. Decoding a key there finds no
// provider decoder and goes straight to the engine's, which is what reads a GOST key: the
// providers' decoders are never tried (they cannot read it, and gathering them takes ten times
// as long as the decoding, under locks that threads loading keys contend for).
class EngineKeyContext {
 public:
  EngineKeyContext() : context_(OSSL_LIB_CTX_new()) {
    if (context_) provider_ = OSSL_PROVIDER_load(context_, "null");
  }
  ~EngineKeyContext() {
    if (provider_) OSSL_PROVIDER_unload(provider_);
    OSSL_LIB_CTX_free(context_);
  }
  EngineKeyContext(const EngineKeyContext&) = delete;
  EngineKeyContext& operator=(const EngineKeyContext&) = delete;
  // Null when the context could not be made.
  OSSL_LIB_CTX* Get() const { return provider_ ? context_ : nullptr; }

 private:
  OSSL_LIB_CTX* context_;
  OSSL_PROVIDER* provider_ = nullptr;
};

// The key of a PKCS#8 structure: a GOST key through the engine, anything else (and a GOST key
// the engine does not read) through the providers.
EvpPkeyPtr DecodePkcs8(const PKCS8_PRIV_KEY_INFO* p8) {
  const ASN1_OBJECT* algorithm = nullptr;
  const int nid =
      PKCS8_pkey_get0(&algorithm, nullptr, nullptr, nullptr, p8) == 1 ? OBJ_obj2nid(algorithm) : 0;
  const bool gost =
      nid == NID_id_GostR3410_2001 || nid == NID_id_GostR3410_2012_256 || nid == NID_id_GostR3410_2012_512;
  static const EngineKeyContext engineKeys;
  if (OSSL_LIB_CTX* context = gost ? engineKeys.Get() : nullptr) {
    if (EvpPkeyPtr key{EVP_PKCS82PKEY_ex(p8, context, nullptr)}) return key;
    ERR_clear_error();
  }
  return EvpPkeyPtr(EVP_PKCS82PKEY(p8));
}

EvpPkeyPtr KeyFromPkcs8(const PKCS8_PRIV_KEY_INFO* p8) {
  EvpPkeyPtr key = DecodePkcs8(p8);
  if (!key) RaiseErrorFmt("Не удалось прочитать закрытый ключ: %s"_cp, {TakeOpenSslErrors()});
  return key;
}

using PbeParamPtr = OsslPtr<PBEPARAM, PBEPARAM_free>;
using Pbe2ParamPtr = OsslPtr<PBE2PARAM, PBE2PARAM_free>;
using Pbkdf2ParamPtr = OsslPtr<PBKDF2PARAM, PBKDF2PARAM_free>;
using ScryptParamsPtr = OsslPtr<SCRYPT_PARAMS, SCRYPT_PARAMS_free>;

[[noreturn]] void RaiseBadKeyFile(const std::string& detail) {
  ERR_clear_error();
  RaiseKeyError(kNteBadData, FormatText("Неверные параметры шифрования файла ключа: %s"_cp, {detail}));
}

// A non-negative ASN.1 integer; above any bound (so refused) when it does not fit.
std::uint64_t Asn1Count(const ASN1_INTEGER* value, std::uint64_t absent) {
  if (!value) return absent;
  std::uint64_t count = 0;
  if (ASN1_INTEGER_get_uint64(&count, value) != 1) {
    ERR_clear_error();
    return UINT64_MAX;
  }
  return count;
}

// The iterations a key file asks for, added up and checked before each derivation is run.
class IterationBudget {
 public:
  void Add(std::uint64_t count) {
    spent_ = count > kMaxKeyIterations ? UINT64_MAX : spent_ + count;
    if (spent_ > kMaxKeyIterations) {
      RaiseKeyError(kNteBadData,
                    FormatText("Файл ключа требует %s итераций пароля, больше допустимых %s"_cp,
                               {count > kMaxKeyIterations ? std::to_string(count) : std::to_string(spent_),
                                std::to_string(kMaxKeyIterations)}));
    }
  }

  // A password-based encryption: the PKCS #5 v1 and PKCS #12 schemes (PBEParameter), or PBES2
  // with PBKDF2 (the GOST R 34.11-2012 PRF of GOST files included) or scrypt.
  void AddEncryption(const X509_ALGOR* algorithm) {
    const ASN1_OBJECT* oid = nullptr;
    int type = 0;
    const void* value = nullptr;
    X509_ALGOR_get0(&oid, &type, &value, algorithm);
    if (type != V_ASN1_SEQUENCE || !value) RaiseBadKeyFile("нет параметров"_cp);
    const ASN1_STRING* parameters = static_cast<const ASN1_STRING*>(value);
    if (OBJ_obj2nid(oid) != NID_pbes2) {
      PbeParamPtr pbe(static_cast<PBEPARAM*>(ASN1_item_unpack(parameters, ASN1_ITEM_rptr(PBEPARAM))));
      if (!pbe) RaiseBadKeyFile(OidText(oid));
      Add(Asn1Count(pbe->iter, 1));
      return;
    }
    Pbe2ParamPtr pbe2(static_cast<PBE2PARAM*>(ASN1_item_unpack(parameters, ASN1_ITEM_rptr(PBE2PARAM))));
    if (!pbe2 || !pbe2->keyfunc) RaiseBadKeyFile("PBES2");
    const int kdf = OBJ_obj2nid(pbe2->keyfunc->algorithm);
    if (kdf == NID_id_pbkdf2) {
      Pbkdf2ParamPtr pbkdf2(static_cast<PBKDF2PARAM*>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)));
      if (!pbkdf2) RaiseBadKeyFile("PBKDF2");
      Add(Asn1Count(pbkdf2->iter, 1));
    } else if (kdf == NID_id_scrypt) {
      ScryptParamsPtr scrypt(static_cast<SCRYPT_PARAMS*>(
          ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbe2->keyfunc->parameter)));
      if (!scrypt) RaiseBadKeyFile("scrypt");
      const std::uint64_t n = Asn1Count(scrypt->costParameter, UINT64_MAX);
      const std::uint64_t r = Asn1Count(scrypt->blockSize, UINT64_MAX);
      const std::uint64_t p = Asn1Count(scrypt->parallelizationParameter, UINT64_MAX);
      // each factor is at most the bound times 8, so the product does not overflow
      const std::uint64_t most = kMaxKeyIterations * 8;
      Add(n > most || r > most || p > most || n * r > most || n * r * p > most ? UINT64_MAX
                                                                               : (n * r * p + 7) / 8);
    } else {
      RaiseBadKeyFile(OidText(pbe2->keyfunc->algorithm));
    }
  }

 private:
  std::uint64_t spent_ = 0;
};

// The first key and the certificates of a PKCS #12 file.
struct Pkcs12Contents {
  EvpPkeyPtr key;
  std::vector<X509Ptr> certificates;
};

class Pkcs12Reader {
 public:
  Pkcs12Reader(const char* password, IterationBudget& budget) : password_(password), budget_(budget) {}

  void ReadSafes(PKCS12* p12, Pkcs12Contents& out) {
    using Safes = OsslPtr<STACK_OF(PKCS7), FreeSafes>;
    Safes safes(PKCS12_unpack_authsafes(p12));
    if (!safes) RaiseErrorFmt("Неверный формат файла PKCS#12: %s"_cp, {TakeOpenSslErrors()});
    for (int i = 0; i < sk_PKCS7_num(safes.get()); ++i) {
      PKCS7* safe = sk_PKCS7_value(safes.get(), i);
      CountBag();
      using Bags = OsslPtr<STACK_OF(PKCS12_SAFEBAG), FreeBags>;
      Bags bags;
      switch (OBJ_obj2nid(safe->type)) {
        case NID_pkcs7_data:
          bags.reset(PKCS12_unpack_p7data(safe));
          break;
        case NID_pkcs7_encrypted:
          if (!safe->d.encrypted || !safe->d.encrypted->enc_data) RaiseBadKeyFile("EncryptedData");
          budget_.AddEncryption(safe->d.encrypted->enc_data->algorithm);
          bags.reset(PKCS12_unpack_p7encdata(safe, password_, -1));
          if (!bags) RaiseWrongPassword();
          break;
        default:
          continue;
      }
      if (!bags) RaiseErrorFmt("Неверный формат файла PKCS#12: %s"_cp, {TakeOpenSslErrors()});
      ReadBags(bags.get(), out);
    }
  }

  [[noreturn]] static void RaiseWrongPassword() {
    std::string detail = TakeOpenSslErrors();
    RaiseKeyError(kNteBadKey,
                  FormatText("Не удалось открыть файл PKCS#12 (неверный пароль?): %s"_cp, {detail}));
  }

 private:
  static void FreeSafes(STACK_OF(PKCS7) * safes) { sk_PKCS7_pop_free(safes, PKCS7_free); }
  static void FreeBags(STACK_OF(PKCS12_SAFEBAG) * bags) {
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
  }

  void CountBag() {
    if (++bags_ > kMaxPkcs12Bags)
      RaiseKeyError(kNteBadData,
                    FormatText("В файле PKCS#12 больше допустимых %d элементов"_cp, {kMaxPkcs12Bags}));
  }

  void ReadBags(const STACK_OF(PKCS12_SAFEBAG) * bags, Pkcs12Contents& out) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
      const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
      CountBag();
      switch (PKCS12_SAFEBAG_get_nid(bag)) {
        case NID_keyBag:
          if (!out.key) out.key = KeyFromPkcs8(PKCS12_SAFEBAG_get0_p8inf(bag));
          break;
        case NID_pkcs8ShroudedKeyBag: {
          if (out.key) break;
          const X509_ALGOR* algorithm = nullptr;
          X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &algorithm, nullptr);
          if (!algorithm) RaiseBadKeyFile("pkcs8ShroudedKeyBag");
          budget_.AddEncryption(algorithm);
          Pkcs8Ptr p8(PKCS12_decrypt_skey(bag, password_, -1));
          if (!p8) RaiseWrongPassword();
          out.key = KeyFromPkcs8(p8.get());
          break;
        }
        case NID_certBag:
          if (PKCS12_SAFEBAG_get_bag_nid(bag) == NID_x509Certificate) {
            X509Ptr certificate(PKCS12_SAFEBAG_get1_cert(bag));
            if (!certificate) RaiseErrorFmt("Неверный формат файла PKCS#12: %s"_cp, {TakeOpenSslErrors()});
            out.certificates.push_back(std::move(certificate));
          }
          break;
        case NID_safeContentsBag:
          ReadBags(PKCS12_SAFEBAG_get0_safes(bag), out);
          break;
        default:
          break;
      }
    }
  }

  const char* password_;
  IterationBudget& budget_;
  int bags_ = 0;
};

void CheckKeyFileSize(const std::string& bytes, const std::string& what) {
  if (bytes.size() > kMaxKeyFileSize) {
    RaiseKeyError(kNteBadData, FormatText("%s больше допустимых %d байт"_cp, {what, kMaxKeyFileSize}));
  }
}

}  // namespace

void RaiseKeyError(std::int32_t code, const std::string& message) {
  SetLastCryptError(code);
  Trace("%s", {message});
  throw COSException(message, code);
}

bool AskContainerPin(const std::string& name, std::string& pin) {
  pin = GetEnvironmentText("QELVORLENT_PIN");
  if (!pin.empty()) return true;
  PinCallback callback;
  {
    std::lock_guard<std::mutex> lock(pinMutex);
    callback = PinCallbackSlot();
  }
  return callback && callback(name, pin);
}

ScopedContainerPin::ScopedContainerPin(bool machineKeyset, const std::string& name, const std::string& pin) {
  knownPin = {true, machineKeyset, name, pin};
}

ScopedContainerPin::~ScopedContainerPin() {
  OPENSSL_cleanse(knownPin.pin.data(), knownPin.pin.size());
  knownPin = {};
}

void WriteContainerWithKey(bool machineKeyset, const std::string& name, EVP_PKEY* key, const std::string& pin,
                           const std::string& certificate) {
  CheckContainerName(name);
  WriteNewContainer(machineKeyset, name, key, pin, certificate);
}

void SetPinCallback(PinCallback callback) {
  std::lock_guard<std::mutex> lock(pinMutex);
  PinCallbackSlot() = std::move(callback);
}

std::string KeyContainerFolder(bool machineKeyset, const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string folder;
  for (char c : name) {
    unsigned char b = static_cast<unsigned char>(c);
    bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '_' ||
                 b == '-' || (b == '.' && !folder.empty());
    if (plain) {
      folder += c;
    } else {
      folder += '%';
      folder += kHex[b >> 4];
      folder += kHex[b & 15];
    }
  }
  return CombinePath(KeysRoot(machineKeyset), folder);
}

bool KeyContainerExists(bool machineKeyset, const std::string& name) {
  return !name.empty() && FileExists(CombinePath(KeyContainerFolder(machineKeyset, name), kNameFile));
}

bool KeyContainerHasKey(bool machineKeyset, const std::string& name) {
  return KeyContainerExists(machineKeyset, name) &&
         FileExists(CombinePath(KeyContainerFolder(machineKeyset, name), kKeyFile));
}

std::vector<std::string> EnumKeyContainers(bool machineKeyset) {
  std::vector<std::string> names;
  std::string root = KeysRoot(machineKeyset);
  if (!IsDirectory(root)) return names;
  CStrArray folders;
  ListFiles(root, "[!.]*", kListFolders, folders);  // not the temporary folders of unfinished ones
  for (int i = 0; i < folders.Count(); ++i) {
    std::string nameFile = CombinePath(CombinePath(root, folders.Key(i)), kNameFile);
    if (!IsDirectory(CombinePath(root, folders.Key(i)))) continue;
    try {
      std::string name = ReadRegularFile(nameFile, kMaxContainerFile);
      if (KeyContainerFolder(machineKeyset, name) != CombinePath(root, folders.Key(i))) {
        Trace("Поврежденный контейнер ключа пропущен: %s"_cp, {CombinePath(root, folders.Key(i))});
        continue;
      }
      names.push_back(name);
    } catch (const std::exception& e) {
      Trace("Контейнер ключа не прочитан: %s: %s"_cp, {nameFile, e.what()});
    }
  }
  return names;
}

bool CreateKeyContainerFolder(bool machineKeyset, const std::string& name) {
  return CommitNewContainer(machineKeyset, name, {});
}

bool DeleteKeyContainer(bool machineKeyset, const std::string& name) {
  if (!KeyContainerExists(machineKeyset, name)) {
    SetLastCryptError(kNteBadKeyset);
    return false;
  }
  DeleteFolderTree(KeyContainerFolder(machineKeyset, name), true);
  return true;
}

std::string ReadContainerCertificate(bool machineKeyset, const std::string& name) {
  std::string path = CombinePath(KeyContainerFolder(machineKeyset, name), kCertFile);
  if (!FileExists(path)) return {};
  try {
    return ReadRegularFile(path, kMaxContainerFile);
  } catch (const CVorlentException& e) {
    Trace("Сертификат контейнера не прочитан: %s: %s"_cp, {path, e.Message()});
    return {};
  }
}

bool WriteContainerCertificate(bool machineKeyset, const std::string& name, const std::string& der) {
  if (!KeyContainerExists(machineKeyset, name)) {
    SetLastCryptError(kNteBadKeyset);
    return false;
  }
  // a certificate the container would not read back
  if (der.size() > kMaxContainerFile) {
    SetLastCryptError(kCryptEFileError,
                      FormatText("Сертификат больше допустимых %d байт"_cp, {kMaxContainerFile}));
    return false;
  }
  const std::string folder = KeyContainerFolder(machineKeyset, name);
  RemoveStaleTemporaries(folder, {kTemporaryNamePattern});
  return WriteFileAtomic(CombinePath(folder, kCertFile), der, 0600);
}

EvpPkeyPtr LoadContainerKey(bool machineKeyset, const std::string& name) {
  if (!KeyContainerExists(machineKeyset, name)) {
    RaiseKeyError(kNteBadKeyset, FormatText("Контейнер ключа не найден: [%s]"_cp, {name}));
  }
  std::string path = CombinePath(KeyContainerFolder(machineKeyset, name), kKeyFile);
  if (!FileExists(path)) {
    RaiseKeyError(kNteNoKey, FormatText("В контейнере [%s] нет закрытого ключа"_cp, {name}));
  }
  std::string bytes = ReadRegularFile(path, kMaxContainerFile);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  Pkcs8Ptr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(bytes.size())));
  if (!p8) {
    ERR_clear_error();
    p = reinterpret_cast<const unsigned char*>(bytes.data());
    X509SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(bytes.size())));
    if (!sig) {
      ERR_clear_error();
      RaiseKeyError(kNteBadKey, FormatText("Закрытый ключ контейнера [%s] поврежден"_cp, {name}));
    }
    std::string pin;
    const bool known = knownPin.set && knownPin.machine == machineKeyset && knownPin.name == name;
    if (known) pin = knownPin.pin;
    if (!known && !AskContainerPin(name, pin)) {
      RaiseKeyError(kErrorCancelled, FormatText("Не указан PIN контейнера ключа [%s]"_cp, {name}));
    }
    // A key file put into the home by someone else names its own iteration count.
    const X509_ALGOR* algorithm = nullptr;
    X509_SIG_get0(sig.get(), &algorithm, nullptr);
    try {
      IterationBudget().AddEncryption(algorithm);
    } catch (const CVorlentException& e) {
      RaiseKeyError(kNteBadKey,
                    FormatText("Закрытый ключ контейнера [%s] не прочитан: %s"_cp, {name, e.Message()}));
    }
    std::string utf8 = Cp1251ToUtf8(pin);
    p8.reset(PKCS8_decrypt(sig.get(), utf8.data(), static_cast<int>(utf8.size())));
    if (!p8) {
      ERR_clear_error();
      RaiseKeyError(kNteBadKey, FormatText("Неверный PIN контейнера ключа [%s]"_cp, {name}));
    }
  }
  EvpPkeyPtr key = DecodePkcs8(p8.get());
  if (!key) {
    std::string detail = TakeOpenSslErrors();
    RaiseKeyError(kNteBadKey, FormatText("Закрытый ключ контейнера [%s] не прочитан: %s"_cp, {name, detail}));
  }
  return key;
}

EvpPkeyPtr LoadKeyForCertificate(const CCertContext& certificate) {
  if (!certificate.KeyProv() || certificate.KeyProv()->containerName.empty()) {
    RaiseKeyError(kCryptENoKeyProperty,
                  FormatText("Сертификат [%s] не связан с контейнером ключа"_cp, {certificate.Sha1Text()}));
  }
  const KeyProvInfo& info = *certificate.KeyProv();
  EvpPkeyPtr key = LoadContainerKey((info.flags & 0x20u) != 0, info.containerName);
  CheckContainerKeyOf(info.containerName, key.get(), certificate);
  return key;
}

void CheckContainerKeyOf(const std::string& name, EVP_PKEY* key, const CCertContext& certificate) {
  if (X509_check_private_key(certificate.Cert(), key) != 1) {
    ERR_clear_error();
    RaiseKeyError(kNteBadKey, FormatText("Закрытый ключ контейнера [%s] не соответствует сертификату [%s]"_cp,
                                         {name, certificate.Sha1Text()}));
  }
}

GostKeyAlgorithm KeyAlgorithm(const EVP_PKEY* key) {
  switch (EVP_PKEY_get_base_id(key)) {
    case NID_id_GostR3410_2001:
      return GostKeyAlgorithm::kGost2001;
    case NID_id_GostR3410_2012_256:
      return GostKeyAlgorithm::kGost2012_256;
    case NID_id_GostR3410_2012_512:
      return GostKeyAlgorithm::kGost2012_512;
    default:
      RaiseError("Ключ не является ключом ГОСТ Р 34.10"_cp);
  }
}

const EVP_MD* DigestForKey(const EVP_PKEY* key) {
  EnsureGostEngine();
  switch (KeyAlgorithm(key)) {
    case GostKeyAlgorithm::kGost2001:
      return EVP_get_digestbynid(NID_id_GostR3411_94);
    case GostKeyAlgorithm::kGost2012_256:
      return EVP_get_digestbynid(NID_id_GostR3411_2012_256);
    case GostKeyAlgorithm::kGost2012_512:
      return EVP_get_digestbynid(NID_id_GostR3411_2012_512);
  }
  return nullptr;
}

namespace {

const char* SubjectOid(const std::string& type) {
  struct Pair {
    const char* name;
    const char* oid;
  };
  static const Pair kTypes[] = {
      {"CN", "2.5.4.3"},
      {"SN", "2.5.4.4"},
      {"G", "2.5.4.42"},
      {"O", "2.5.4.10"},
      {"OU", "2.5.4.11"},
      {"T", "2.5.4.12"},
      {"L", "2.5.4.7"},
      {"S", "2.5.4.8"},
      {"C", "2.5.4.6"},
      {"STREET", "2.5.4.9"},
      {"E", "1.2.840.113549.1.9.1"},
      {"INN", "1.2.643.3.131.1.1"},
      {"OGRN", "1.2.643.100.1"},
      {"SNILS", "1.2.643.100.3"},
  };
  for (const Pair& p : kTypes) {
    if (SameText(type, p.name)) return p.oid;
  }
  return nullptr;
}

}  // namespace

std::string CreateContainerWithRequest(bool machineKeyset, const std::string& name,
                                       GostKeyAlgorithm algorithm,
                                       const std::vector<std::pair<std::string, std::string>>& subject,
                                       const std::string& pin) {
  CheckContainerName(name);
  if (!EnsureGostEngine()) RaiseKeyError(kNteProvTypeNotDef, "Криптопровайдер ГОСТ недоступен"_cp);
  if (KeyContainerExists(machineKeyset, name)) {
    RaiseKeyError(kNteExists, FormatText("Контейнер ключа уже существует: [%s]"_cp, {name}));
  }
  int nid = algorithm == GostKeyAlgorithm::kGost2001       ? NID_id_GostR3410_2001
            : algorithm == GostKeyAlgorithm::kGost2012_256 ? NID_id_GostR3410_2012_256
                                                           : NID_id_GostR3410_2012_512;
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(nid, nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", "A") <= 0 || EVP_PKEY_keygen(ctx.get(), &raw) <= 0) {
    RaiseErrorFmt("Не удалось создать ключ: %s"_cp, {TakeOpenSslErrors()});
  }
  EvpPkeyPtr key(raw);

  X509ReqPtr req(X509_REQ_new());
  X509_NAME* reqName = X509_REQ_get_subject_name(req.get());
  for (const auto& [type, value] : subject) {
    const char* oid = SubjectOid(type);
    Asn1ObjectPtr object(OBJ_txt2obj(oid ? oid : type.c_str(), 1));
    std::string utf8 = Cp1251ToUtf8(value);
    if (!object || !X509_NAME_add_entry_by_OBJ(reqName, object.get(), MBSTRING_UTF8,
                                               reinterpret_cast<const unsigned char*>(utf8.data()),
                                               static_cast<int>(utf8.size()), -1, 0)) {
      RaiseErrorFmt("Неверный атрибут имени: [%s=%s]: %s"_cp, {type, value, TakeOpenSslErrors()});
    }
  }
  if (!X509_REQ_set_version(req.get(), 0) || !X509_REQ_set_pubkey(req.get(), key.get()) ||
      X509_REQ_sign(req.get(), key.get(), DigestForKey(key.get())) <= 0) {
    RaiseErrorFmt("Не удалось создать запрос на сертификат: %s"_cp, {TakeOpenSslErrors()});
  }
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!PEM_write_bio_X509_REQ(out.get(), req.get())) {
    RaiseErrorFmt("Не удалось создать запрос на сертификат: %s"_cp, {TakeOpenSslErrors()});
  }
  WriteNewContainer(machineKeyset, name, key.get(), pin, {});
  return BioBytes(out.get());
}

void ImportPkcs8Key(bool machineKeyset, const std::string& name, const std::string& pkcs8,
                    const std::string& password, const std::string& pin) {
  CheckContainerName(name);
  if (pkcs8.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {"PKCS8"});
  CheckKeyFileSize(pkcs8, "Файл ключа PKCS#8"_cp);
  EnsureGostEngine();
  std::string der = pkcs8;
  if (pkcs8.find("-----BEGIN") != std::string::npos) {
    BioPtr bio = MemoryBio(pkcs8);
    char* pemName = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (!PEM_read_bio(bio.get(), &pemName, &header, &data, &length)) {
      RaiseErrorFmt("Неверный формат ключа PKCS#8: %s"_cp, {TakeOpenSslErrors()});
    }
    der.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
    OPENSSL_free(pemName);
    OPENSSL_free(header);
    OPENSSL_free(data);
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  Pkcs8Ptr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (!p8) {
    ERR_clear_error();
    p = reinterpret_cast<const unsigned char*>(der.data());
    X509SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig) RaiseErrorFmt("Неверный формат ключа PKCS#8: %s"_cp, {TakeOpenSslErrors()});
    const X509_ALGOR* algorithm = nullptr;
    X509_SIG_get0(sig.get(), &algorithm, nullptr);
    IterationBudget().AddEncryption(algorithm);
    std::string utf8 = Cp1251ToUtf8(password);
    p8.reset(PKCS8_decrypt(sig.get(), utf8.data(), static_cast<int>(utf8.size())));
    if (!p8) {
      ERR_clear_error();
      RaiseKeyError(kNteBadKey, "Неверный пароль ключа PKCS#8"_cp);
    }
  }
  EvpPkeyPtr key = KeyFromPkcs8(p8.get());
  KeyAlgorithm(key.get());
  WriteNewContainer(machineKeyset, name, key.get(), pin, {});
}

std::string ImportPkcs12(bool machineKeyset, const std::string& name, const std::string& pfx,
                         const std::string& password, const std::string& pin) {
  CheckContainerName(name);
  if (pfx.empty()) RaiseErrorFmt("Передан пустой аргумент: %s"_cp, {"PFX"});
  CheckKeyFileSize(pfx, "Файл PKCS#12"_cp);
  EnsureGostEngine();
  BioPtr bio = MemoryBio(pfx);
  Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
  if (!p12) RaiseErrorFmt("Неверный формат файла PKCS#12: %s"_cp, {TakeOpenSslErrors()});
  // The file is read part by part (as PKCS12_parse would) so that every iteration count is
  // checked before its derivation runs, the MAC's first.
  IterationBudget budget;
  std::string utf8 = Cp1251ToUtf8(password);
  const char* pass = utf8.c_str();
  if (PKCS12_mac_present(p12.get())) {
    const ASN1_INTEGER* macIterations = nullptr;
    PKCS12_get0_mac(nullptr, nullptr, nullptr, &macIterations, p12.get());
    const std::uint64_t macCount = Asn1Count(macIterations, 1);
    budget.Add(macCount);
    if (utf8.empty()) {
      // no password at all, or an empty one: the MAC tells which
      if (PKCS12_verify_mac(p12.get(), nullptr, 0)) {
        pass = nullptr;
      } else {
        budget.Add(macCount);
        if (!PKCS12_verify_mac(p12.get(), "", 0)) Pkcs12Reader::RaiseWrongPassword();
      }
    } else if (!PKCS12_verify_mac(p12.get(), pass, -1)) {
      Pkcs12Reader::RaiseWrongPassword();
    }
  } else if (utf8.empty()) {
    pass = nullptr;
  }
  Pkcs12Contents contents;
  Pkcs12Reader(pass, budget).ReadSafes(p12.get(), contents);
  ERR_clear_error();
  EvpPkeyPtr key = std::move(contents.key);
  // the certificate of the key; the others (its chain) are not imported
  X509Ptr cert;
  for (X509Ptr& candidate : contents.certificates) {
    if (key && X509_check_private_key(candidate.get(), key.get()) == 1) {
      cert = std::move(candidate);
      break;
    }
  }
  ERR_clear_error();
  if (!key) RaiseKeyError(kNteNoKey, "В файле PKCS#12 нет закрытого ключа"_cp);
  KeyAlgorithm(key.get());
  std::string der;
  if (cert) {
    unsigned char* out = nullptr;
    int length = i2d_X509(cert.get(), &out);
    if (length > 0) der.assign(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
    OPENSSL_free(out);
  }
  WriteNewContainer(machineKeyset, name, key.get(), pin, der);
  return der;
}

}  // namespace qv
