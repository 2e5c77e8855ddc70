// Key containers of the commercial provider's file format: the provider's own containers (tests/
// data/provider-containers, with the keys another converter read from them), containers these
// tests write by the format (every algorithm, both keys, with and without a PIN), and damaged
// ones.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <functional>
#include <string>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "pki/TestPki.h"
#include "platform/CryptError.h"
#include "platform/KeyContainer.h"
#include "platform/ProviderContainer.h"

using namespace qv;
using namespace qvtest;

namespace {

std::string Provider(const std::string& name) {
  return DataPath("provider-containers/" + name);
}

// The message (UTF-8) and code of what `body` raises; empty when it raises nothing.
std::pair<std::string, std::int32_t> Failure(const std::function<void()>& body) {
  try {
    body();
  } catch (const COSException& e) {
    return {Cp1251ToUtf8(e.Message()), e.Code()};
  } catch (const CVorlentException& e) {
    return {Cp1251ToUtf8(e.Message()), 0};
  }
  return {};
}

std::string PrivateDer(EVP_PKEY* key) {
  Pkcs8Ptr p8(EVP_PKEY2PKCS8(key));
  unsigned char* der = nullptr;
  int length = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &der) : 0;
  std::string bytes(reinterpret_cast<const char*>(der), length > 0 ? static_cast<std::size_t>(length) : 0);
  OPENSSL_free(der);
  return bytes;
}

X509Ptr CertificateOf(const std::string& der) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  return X509Ptr(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
}

std::string LittleEndian(const BIGNUM* value, int size) {
  std::string bytes(static_cast<std::size_t>(size), '\0');
  BN_bn2lebinpad(value, reinterpret_cast<unsigned char*>(bytes.data()), size);
  return bytes;
}

struct ProviderSample {
  const char* folder;
  const char* pin;
  const char* reference;  // the other converter's reading, or null
  const char* thumbprint;
};

const ProviderSample kSamples[] = {
    {"get-cpcert/g2001.000", "1", "get-cpcert/g2001.reference.pem",
     "A851F2A86E20DA4B278A6853FFA6FBAAB6C9AD38"},
    {"get-cpcert/g2012256.000", "1", "get-cpcert/g2012256.reference.pem",
     "77B97AE3E05572A77D185DFEF58D54E3317F1D84"},
    {"get-cpcert/g2012512.000", "1", "get-cpcert/g2012512.reference.pem",
     "54AB2259B3D5EC26D59C5B60635482BA3003DC37"},
    {"91team/srv.000", "", nullptr, "55B8A6951997C06C86E83D6DD900BEAE4CA94DCF"},
};

// The provider's own containers open with their PINs to the keys of their certificates, the same
// keys another converter read from them; the second copy of the key opens to it as well, and a
// wrong PIN is told as such.
TEST(ProviderContainer, ProviderMadeContainersOpenToTheKeysOfTheirCertificates) {
  ASSERT_TRUE(EnsureGostEngine());
  for (const ProviderSample& sample : kSamples) {
    SCOPED_TRACE(sample.folder);
    CProviderContainer container(Provider(sample.folder),
                                 ReadProviderContainerFiles(Provider(sample.folder)));
    ASSERT_EQ(container.KeyCount(), 1);
    X509Ptr certificate = CertificateOf(container.Certificate(0));
    ASSERT_TRUE(certificate);
    EXPECT_EQ(CCertContext::FromDer(container.Certificate(0))->Sha1Text(), sample.thumbprint);

    EvpPkeyPtr key = container.OpenKey(0, sample.pin);
    ASSERT_TRUE(key);
    EXPECT_EQ(X509_check_private_key(certificate.get(), key.get()), 1);
    if (sample.reference) {
      // its PKCS #8 holds the private value as little-endian bytes
      const std::string pem = ReadBytes(Provider(sample.reference));  // the BIO reads it in place
      BioPtr bio = MemoryBio(pem);
      Pkcs8Ptr reference(PEM_read_bio_PKCS8_PRIV_KEY_INFO(bio.get(), nullptr, nullptr, nullptr));
      ASSERT_TRUE(reference);
      const unsigned char* value = nullptr;
      int valueLength = 0;
      ASSERT_EQ(PKCS8_pkey_get0(nullptr, &value, &valueLength, nullptr, reference.get()), 1);
      const BIGNUM* secret = EC_KEY_get0_private_key(static_cast<const EC_KEY*>(EVP_PKEY_get0(key.get())));
      EXPECT_EQ(LittleEndian(secret, valueLength),
                std::string(reinterpret_cast<const char*>(value), static_cast<std::size_t>(valueLength)));
    }
    // primary2.key and masks2.key: the same key under another mask and salt
    ProviderContainerFiles copy = ReadProviderContainerFiles(Provider(sample.folder));
    std::swap(copy.primary, copy.primary2);
    std::swap(copy.masks, copy.masks2);
    EvpPkeyPtr second = CProviderContainer(Provider(sample.folder), copy).OpenKey(0, sample.pin);
    EXPECT_EQ(PrivateDer(second.get()), PrivateDer(key.get()));

    auto wrong = Failure([&] { container.OpenKey(0, std::string(sample.pin) + "2"); });
    EXPECT_EQ(wrong.first, "Неверный PIN контейнера ключа [" + Provider(sample.folder) + "]");
    EXPECT_EQ(wrong.second, kNteBadKey);
  }
}

// ---- a writer that follows the format, for the cases the provider's containers do not cover ----

std::string Tlv(unsigned char tag, const std::string& contents) {
  std::string out(1, static_cast<char>(tag));
  const std::size_t n = contents.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n < 0x100) {
    out += "\x81";
    out += static_cast<char>(n);
  } else {
    out += "\x82";
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xFF);
  }
  return out + contents;
}

std::string OidDer(const char* text) {
  Asn1ObjectPtr object(OBJ_txt2obj(text, 1));
  unsigned char* der = nullptr;
  int length = i2d_ASN1_OBJECT(object.get(), &der);
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

// GOST 28147-89 simple replacement, encrypting (CBC with a zero IV, block by block).
std::string EncryptBlocks(const std::string& key, const std::string& plain, bool gost2012) {
  std::string out(plain.size(), '\0');
  const unsigned char iv[8] = {};
  for (std::size_t at = 0; at < plain.size(); at += 8) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    EVP_EncryptInit_ex(ctx.get(), EVP_get_cipherbynid(NID_gost89_cbc), nullptr, nullptr, nullptr);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_SET_SBOX, 0,
                        const_cast<char*>(gost2012 ? SN_id_tc26_gost_28147_param_Z
                                                   : SN_id_Gost28147_89_CryptoPro_A_ParamSet));
    EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, reinterpret_cast<const unsigned char*>(key.data()), iv);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&out[at]), &n,
                      reinterpret_cast<const unsigned char*>(plain.data() + at), 8);
  }
  return out;
}

struct Algorithm {
  const char* name;
  int nid;
  const char* paramset;  // for keygen
  const char* keyOid;    // as header.key names it
  const char* curveOid;
  const char* digestOid;  // null for 512-bit keys
  int size;
  bool gost2012;
};

const Algorithm kAlgorithms[] = {
    {"2001", NID_id_GostR3410_2001, "A", "1.2.643.2.2.19", "1.2.643.2.2.35.1", "1.2.643.2.2.30.1", 32, false},
    {"2012-256", NID_id_GostR3410_2012_256, "XA", "1.2.643.7.1.1.6.1", "1.2.643.2.2.36.0",
     "1.2.643.7.1.1.2.2", 32, true},
    {"2012-512", NID_id_GostR3410_2012_512, "B", "1.2.643.7.1.1.1.2", "1.2.643.7.1.2.1.2.2", nullptr, 64,
     true},
};

struct WrittenKey {
  EvpPkeyPtr key;
  std::string certificate;  // DER, empty for none
  std::string primary;
  std::string masks;
  std::string parameters;  // PrivateKeyParameters contents
  std::string fingerprint;
};

EvpPkeyPtr NewKey(const Algorithm& algorithm) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(algorithm.nid, nullptr));
  EVP_PKEY* raw = nullptr;
  EVP_PKEY_keygen_init(ctx.get());
  EVP_PKEY_CTX_ctrl_str(ctx.get(), "paramset", algorithm.paramset);
  EVP_PKEY_keygen(ctx.get(), &raw);
  return EvpPkeyPtr(raw);
}

std::string SelfSigned(EVP_PKEY* key, const char* cn) {
  X509Ptr certificate(X509_new());
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
  X509_set_pubkey(certificate.get(), key);
  X509_sign(certificate.get(), key, DigestForKey(key));
  unsigned char* der = nullptr;
  int length = i2d_X509(certificate.get(), &der);
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

WrittenKey WriteKey(const Algorithm& algorithm, const std::string& pin, const char* cn) {
  WrittenKey written;
  written.key = NewKey(algorithm);
  const EC_KEY* ec = static_cast<const EC_KEY*>(EVP_PKEY_get0(written.key.get()));
  const EC_GROUP* group = EC_KEY_get0_group(ec);
  OsslPtr<BN_CTX, BN_CTX_free> bn(BN_CTX_new());
  OsslPtr<BIGNUM, BN_free> order(BN_new()), mask(BN_new()), masked(BN_new()), x(BN_new());
  EC_GROUP_get_order(group, order.get(), bn.get());
  BN_rand_range(mask.get(), order.get());
  BN_mod_mul(masked.get(), EC_KEY_get0_private_key(ec), mask.get(), order.get(), bn.get());
  EC_POINT_get_affine_coordinates(group, EC_KEY_get0_public_key(ec), x.get(), nullptr, bn.get());
  written.fingerprint = LittleEndian(x.get(), algorithm.size).substr(0, 8);
  std::string salt(12, '\0');
  RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), 12);
  const std::string maskBytes = LittleEndian(mask.get(), algorithm.size);
  written.masks = Tlv(0x30, Tlv(0x04, maskBytes) + Tlv(0x04, salt) +
                                Tlv(0x04, provider_format::Imitation(maskBytes.substr(maskBytes.size() - 32),
                                                                     salt, algorithm.gost2012)));
  written.primary =
      Tlv(0x30, Tlv(0x04, EncryptBlocks(provider_format::PinKey(pin, salt, algorithm.gost2012),
                                        LittleEndian(masked.get(), algorithm.size), algorithm.gost2012)));
  std::string parameters = OidDer(algorithm.curveOid);
  if (algorithm.digestOid) parameters += OidDer(algorithm.digestOid);
  written.parameters =
      Tlv(0x03, std::string("\x05\xa0", 2)) + Tlv(0xA0, OidDer(algorithm.keyOid) + Tlv(0x30, parameters));
  if (cn) written.certificate = SelfSigned(written.key.get(), cn);
  return written;
}

// header.key for one or two keys: its fields in the order of their tags, the PIN's check value
// when there is a PIN, and a check value at the end.
std::string WriteHeader(const WrittenKey& first, const WrittenKey* second, const std::string& pin,
                        bool gost2012) {
  std::string content = Tlv(0xA0, OidDer("1.2.643.2.2.37.2.1")) + Tlv(0x03, std::string("\x06\xc0", 2)) +
                        Tlv(0x30, first.parameters);
  content += Tlv(0x82, pin.empty() ? std::string(4, '\0')
                                   : provider_format::Imitation(
                                         provider_format::PinKey(pin, first.fingerprint, gost2012),
                                         std::string(16, '\0'), gost2012));
  if (second) content += Tlv(0xA4, second->parameters);
  if (!first.certificate.empty()) content += Tlv(0x85, first.certificate);
  if (second && !second->certificate.empty()) content += Tlv(0x86, second->certificate);
  content += Tlv(0x8A, first.fingerprint);
  if (second) content += Tlv(0x8B, second->fingerprint);
  content = Tlv(0x30, content);
  return Tlv(0x30, content + Tlv(0x04, provider_format::Imitation(std::string(32, '\0'), content, gost2012)));
}

void WriteFolder(const std::string& folder, const ProviderContainerFiles& files) {
  RunCommand("mkdir -p '" + folder + "'");
  WriteBytes(folder + "/header.key", files.header);
  WriteBytes(folder + "/primary.key", files.primary);
  WriteBytes(folder + "/masks.key", files.masks);
  if (!files.primary2.empty()) WriteBytes(folder + "/primary2.key", files.primary2);
  if (!files.masks2.empty()) WriteBytes(folder + "/masks2.key", files.masks2);
}

// Containers written by the format, every algorithm, one key or two, with a PIN and without:
// each key opens to itself, the import takes the key of the certificate (or the one asked for)
// and writes that certificate into the new container.
TEST(ProviderContainer, ContainersWrittenByTheFormatOpenToTheirKeys) {
  ASSERT_TRUE(EnsureGostEngine());
  int made = 0;
  for (const Algorithm& algorithm : kAlgorithms) {
    for (const std::string pin : {"", "пин-12"}) {
      SCOPED_TRACE(std::string(algorithm.name) + " PIN [" + pin + "]");
      const std::string pin1251 = Utf8ToCp1251(pin);
      // two keys: the exchange key without a certificate, the signature key with one
      WrittenKey first = WriteKey(algorithm, pin1251, nullptr);
      WrittenKey second = WriteKey(algorithm, pin1251, "second");
      ProviderContainerFiles files{WriteHeader(first, &second, pin1251, algorithm.gost2012), first.primary,
                                   first.masks, second.primary, second.masks};
      CProviderContainer container("two", files);
      ASSERT_EQ(container.KeyCount(), 2);
      EXPECT_TRUE(container.Certificate(0).empty());
      EXPECT_EQ(container.Certificate(1), second.certificate);
      EXPECT_EQ(EVP_PKEY_eq(container.OpenKey(0, pin1251).get(), first.key.get()), 1);
      EXPECT_EQ(EVP_PKEY_eq(container.OpenKey(1, pin1251).get(), second.key.get()), 1);

      const std::string folder = TestPath("c" + std::to_string(made));
      WriteFolder(folder, files);
      const std::string name = "imported" + std::to_string(made++);
      ProviderImport imported = ImportProviderContainer(false, folder, name, &pin1251, 0);
      EXPECT_EQ(imported.certificate, second.certificate);
      EXPECT_EQ(ReadContainerCertificate(false, name), second.certificate);
      if (!pin.empty()) setenv("QELVORLENT_PIN", pin.c_str(), 1);
      EXPECT_EQ(EVP_PKEY_eq(LoadContainerKey(false, name).get(), second.key.get()), 1);
      unsetenv("QELVORLENT_PIN");
      // the first key, asked for by its slot, has no certificate
      ProviderImport firstKey = ImportProviderContainer(false, folder, name + "-1", &pin1251, 1);
      EXPECT_TRUE(firstKey.certificate.empty());
      EXPECT_TRUE(ReadContainerCertificate(false, name + "-1").empty());
    }
  }
}

// The import refuses a wrong PIN and a certificate of another key before it writes anything, and
// asks for a PIN only when the container has one.
TEST(ProviderContainer, ImportWritesNothingForAWrongPinOrAnotherKeysCertificate) {
  ASSERT_TRUE(EnsureGostEngine());
  const Algorithm& algorithm = kAlgorithms[1];
  WrittenKey key = WriteKey(algorithm, "1234", nullptr);
  WrittenKey other = WriteKey(algorithm, "1234", "other");
  key.certificate = other.certificate;
  const std::string folder = TestPath("foreign.000");
  WriteFolder(folder, {WriteHeader(key, nullptr, "1234", true), key.primary, key.masks, {}, {}});
  const std::string pin = "1234";
  auto foreign = Failure([&] { ImportProviderContainer(false, folder, "k", &pin, 0); });
  EXPECT_EQ(foreign.first, "Закрытый ключ контейнера [" + folder + "] не соответствует сертификату [" +
                               CCertContext::FromDer(other.certificate)->Sha1Text() + "]");
  EXPECT_FALSE(KeyContainerExists(false, "k"));

  const std::string wrongPin = "4321";
  auto wrong =
      Failure([&] { ImportProviderContainer(false, Provider(kSamples[1].folder), "k", &wrongPin, 0); });
  EXPECT_EQ(wrong.first, "Неверный PIN контейнера ключа [" + Provider(kSamples[1].folder) + "]");
  // without a PIN given: none tried first, then QELVORLENT_PIN, then the callback
  auto none = Failure([&] { ImportProviderContainer(false, Provider(kSamples[1].folder), "k", nullptr, 0); });
  EXPECT_EQ(none.first, "Не указан PIN контейнера ключа [" + Provider(kSamples[1].folder) + "]");
  EXPECT_FALSE(KeyContainerExists(false, "k"));
  EXPECT_FALSE(IsDirectory(KeyContainerFolder(false, "k")));
  int asked = 0;
  SetPinCallback([&](const std::string&, std::string& given) {
    ++asked;
    given = "1";
    return true;
  });
  EXPECT_EQ(ImportProviderContainer(false, Provider(kSamples[1].folder), "k", nullptr, 0).pin, "1");
  EXPECT_EQ(ImportProviderContainer(false, Provider(kSamples[3].folder), "srv", nullptr, 0).pin, "");
  SetPinCallback(nullptr);
  EXPECT_EQ(asked, 1);
}

// Every file cut short at every length, check values that do not match, an unknown version,
// algorithm or curve, fields out of place, files too large or missing: each refused naming the
// file and the reason, never a key.
TEST(ProviderContainer, DamagedFilesAreRefusedNamingTheFileAndTheReason) {
  ASSERT_TRUE(EnsureGostEngine());
  const std::string source = Provider("get-cpcert/g2012256.000");
  const ProviderContainerFiles good = ReadProviderContainerFiles(source);
  const std::string where = TestPath("d.000");
  auto refusal = [&](const ProviderContainerFiles& files) {
    return Failure([&] { CProviderContainer(where, files).OpenKey(0, "1"); }).first;
  };
  auto damaged = [&](const char* file, const std::string& reason) {
    return "Файл контейнера ключа [" + where + "/" + file + "] поврежден: " + reason;
  };
  ASSERT_EQ(refusal(good), "");
  struct Part {
    const char* file;
    std::string ProviderContainerFiles::*bytes;
  };
  for (const Part& part : {Part{"header.key", &ProviderContainerFiles::header},
                           Part{"primary.key", &ProviderContainerFiles::primary},
                           Part{"masks.key", &ProviderContainerFiles::masks}}) {
    const std::string& whole = good.*part.bytes;
    for (std::size_t length = 0; length < whole.size(); ++length) {
      ProviderContainerFiles cut = good;
      (cut.*part.bytes).resize(length);
      const std::string said = refusal(cut);
      EXPECT_TRUE(said == damaged(part.file, "файл обрезан") ||
                  said == damaged(part.file, "неверная структура ASN.1"))
          << part.file << " cut to " << length << ": " << said;
    }
    ProviderContainerFiles longer = good;
    (longer.*part.bytes) += std::string(1, '\0');
    EXPECT_EQ(refusal(longer), damaged(part.file, "лишние данные в конце"));
  }
  auto patched = [&](std::string ProviderContainerFiles::*bytes, const std::string& from,
                     const std::string& to) {
    ProviderContainerFiles files = good;
    std::string& text = files.*bytes;
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return refusal(files);
  };
  using F = ProviderContainerFiles;
  // masks.key: its check value, the mask under it
  std::string masks = good.masks;
  masks.back() ^= 1;
  EXPECT_EQ(refusal({good.header, good.primary, masks, {}, {}}),
            damaged("masks.key", "не совпадает контрольное значение"));
  masks = good.masks;
  masks[10] ^= 1;
  EXPECT_EQ(refusal({good.header, good.primary, masks, {}, {}}),
            damaged("masks.key", "не совпадает контрольное значение"));
  // primary.key: the PIN is right (its own check value says so), the key then is not the one named
  std::string primary = good.primary;
  primary[5] ^= 1;
  EXPECT_EQ(refusal({good.header, primary, good.masks, {}, {}}),
            damaged("primary.key", "открытый ключ не совпадает с записанным в header.key"));
  // header.key: version, algorithm, curve, the public key's fingerprint, the certificate, sizes
  EXPECT_EQ(patched(&F::header, OidDer("1.2.643.2.2.37.2.1"), OidDer("1.2.643.2.2.37.2.9")),
            damaged("header.key", "неизвестная версия формата 1.2.643.2.2.37.2.9"));
  EXPECT_EQ(patched(&F::header, OidDer("1.2.643.7.1.1.6.1"), OidDer("1.2.643.7.1.1.6.9")),
            damaged("header.key", "неизвестный алгоритм ключа 1.2.643.7.1.1.6.9"));
  EXPECT_EQ(patched(&F::header, OidDer("1.2.643.2.2.36.0"), OidDer("1.2.643.2.2.36.7")),
            damaged("header.key", "неизвестная кривая ключа 1.2.643.2.2.36.7"));
  EXPECT_EQ(patched(&F::header, OidDer("1.2.643.7.1.1.6.1"), OidDer("1.2.643.7.1.1.6.2")),
            damaged("header.key", "кривая 1.2.643.2.2.36.0 не подходит к ключу"));
  // the PIN's check value is keyed by the fingerprint: a damaged one reads as a wrong PIN
  EXPECT_EQ(patched(&F::header, std::string("\x8a\x08\x22\xde", 4), std::string("\x8a\x08\x23\xde", 4)),
            "Неверный PIN контейнера ключа [" + where + "]");
  // a fingerprint one byte short: the field after it starts inside it
  EXPECT_EQ(patched(&F::header, std::string("\x8a\x08", 2), std::string("\x8a\x07", 2)),
            damaged("header.key", "неверная структура ASN.1"));
  EXPECT_EQ(patched(&F::header, std::string("\x85\x82\x03\x6e\x30\x82", 6),
                    std::string("\x85\x82\x03\x6e\x31\x82", 6)),
            damaged("header.key", "неверный сертификат"));
  ProviderContainerFiles big = good;
  big.primary.assign(kMaxProviderKeyFile + 1, '\0');
  EXPECT_EQ(refusal(big), damaged("primary.key", "размер больше допустимых 1024 байт"));

  // On disk: a missing file, a file above its bound, a folder that is not there.
  WriteFolder(where, good);
  ::unlink((where + "/masks.key").c_str());
  EXPECT_EQ(Failure([&] { ReadProviderContainerFiles(where); }).first,
            damaged("masks.key", "файл не найден"));
  WriteBytes(where + "/masks.key", std::string(kMaxProviderKeyFile + 1, '0'));
  EXPECT_EQ(Failure([&] { ReadProviderContainerFiles(where); }).first,
            damaged("masks.key", "размер больше допустимых 1024 байт"));
  ::unlink((where + "/masks.key").c_str());
  RunCommand("mkdir '" + where + "/masks.key'");
  EXPECT_EQ(Failure([&] { ReadProviderContainerFiles(where); }).first,
            damaged("masks.key", "не является обычным файлом"));
  EXPECT_EQ(Failure([&] { ReadProviderContainerFiles(TestPath("none.000")); }).first,
            "Папка контейнера ключа не найдена: [" + TestPath("none.000") + "]");
}

}  // namespace
