#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "../fuzz/EngineLeaks.h"
#include "crypto/CmsTestKit.h"
#include "crypto/ContentCipher.h"
#include "crypto/CryptoAPI20Tool.h"
#include "foundation/CodePage.h"

using namespace qv;
using namespace qvtest;
using T = CCryptoAPI20Tool;

namespace {

std::string Prefix(const std::string& text, std::size_t n) {
  return text.substr(0, std::min(n, text.size()));
}

const std::string kDecryptFailure = "Ошибка при расшифровании (1): "_cp;

}  // namespace

TEST(Envelope, RoundTripsAndInteroperatesWithOpenSsl) {
  BindKey("user", PkiBytes("user.key"), PkiBytes("user.pem"));
  std::string content = "Документ\r\n"_cp + std::string(3, '\0') + std::string(70000, 'x');
  for (const std::string& plain : {content, std::string()}) {
    SCOPED_TRACE(plain.size());
    std::string encrypted = T::EncryptForCertificate(plain, PkiBytes("user.pem"));
    EXPECT_EQ(T::DecryptWithPersonalStore(true, encrypted), plain);
    // One recipient, key transport, GOST 28147-89 content cipher.
    std::string path = Put("enc.p7m", encrypted), out;
    ASSERT_EQ(RunCommand(OpenSsl("cms -cmsout -print -inform DER -in '" + path + "'"), &out), 0);
    EXPECT_NE(out.find("(1.2.643.2.2.21)"), std::string::npos);
    EXPECT_NE(out.find("d.ktri:"), std::string::npos);
    // DER throughout: openssl encodes what it has read to the same bytes.
    ASSERT_EQ(RunCommand(OpenSsl("cms -cmsout -inform DER -outform DER -in '" + path + "' -out '" +
                                 TestPath("again.p7m") + "'"),
                         &out),
              0);
    EXPECT_EQ(ReadBytes(TestPath("again.p7m")), encrypted);
    // openssl decrypts it, with the check that refuses a wrong key.
    ASSERT_EQ(RunCommand(OpenSsl("cms -decrypt -debug_decrypt -binary -inform DER -in '" + path +
                                 "' -inkey '" + PkiPath("user.key") + "' -recip '" + PkiPath("user.pem") +
                                 "' -out '" + TestPath("dec.bin") + "' 2>&1"),
                         &out),
              0)
        << out;
    EXPECT_EQ(ReadBytes(TestPath("dec.bin")), plain);
    // And the library decrypts what openssl encrypts.
    std::string plainPath = Put("plain.bin", plain);
    ASSERT_EQ(RunCommand(OpenSsl("cms -encrypt -gost89 -binary -outform DER -in '" + plainPath + "' -out '" +
                                 TestPath("ossl.p7m") + "' '" + PkiPath("user.pem") + "' 2>&1"),
                         &out),
              0)
        << out;
    EXPECT_EQ(T::DecryptWithPersonalStore(true, ReadBytes(TestPath("ossl.p7m"))), plain);
    // BER with indefinite lengths (streamed) as well; openssl cannot stream an empty content.
    if (plain.empty()) continue;
    ASSERT_EQ(
        RunCommand(OpenSsl("cms -encrypt -gost89 -binary -stream -outform DER -in '" + plainPath +
                           "' -out '" + TestPath("stream.p7m") + "' '" + PkiPath("user.pem") + "' 2>&1"),
                   &out),
        0)
        << out;
    std::string streamed = ReadBytes(TestPath("stream.p7m"));
    ASSERT_GT(streamed.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(streamed[1]), 0x80);
    EXPECT_EQ(T::DecryptWithPersonalStore(true, streamed), plain);
  }
}

TEST(Envelope, RecipientsWithGost2001And2012_512Keys) {
  for (const std::string name : {"k2001", "k512"}) {
    SCOPED_TRACE(name);
    BindKey(name, PkiBytes(name + ".key"), PkiBytes(name + ".pem"));
    std::string plain = "Заявление"_cp + std::string(1000, '\x98');
    std::string encrypted = T::EncryptForCertificate(plain, PkiBytes(name + ".pem"));
    EXPECT_EQ(T::DecryptWithPersonalStore(true, encrypted), plain);
    std::string path = Put(name + ".p7m", encrypted), out;
    ASSERT_EQ(RunCommand(OpenSsl("cms -decrypt -debug_decrypt -binary -inform DER -in '" + path +
                                 "' -inkey '" + PkiPath(name + ".key") + "' -recip '" +
                                 PkiPath(name + ".pem") + "' -out '" + TestPath("dec.bin") + "' 2>&1"),
                         &out),
              0)
        << out;
    EXPECT_EQ(ReadBytes(TestPath("dec.bin")), plain);
    std::string plainPath = Put("plain.bin", plain);
    ASSERT_EQ(RunCommand(OpenSsl("cms -encrypt -gost89 -binary -outform DER -in '" + plainPath + "' -out '" +
                                 TestPath("ossl.p7m") + "' '" + PkiPath(name + ".pem") + "' 2>&1"),
                         &out),
              0)
        << out;
    EXPECT_EQ(T::DecryptWithPersonalStore(true, ReadBytes(TestPath("ossl.p7m"))), plain);
  }
}

TEST(Envelope, ConformanceVectorsDecryptWithTheirKeys) {
  for (const char* bits : {"256", "512"}) {
    SCOPED_TRACE(bits);
    // The recipient certificates are not published: one with the recipient identifier's issuer
    // name and serial number stands for them.
    std::string key = DataPath(std::string("cms/recipient_key_") + bits + ".pem");
    std::string certPath = TestPath(std::string("recipient") + bits + ".pem"), out;
    ASSERT_EQ(
        RunCommand(OpenSsl("req -new -x509 -key '" + key +
                           "' -subj '/emailAddress=GostR3410-2012@example.com/CN=GostR3410-2012 " + bits +
                           " bits exchange' -set_serial 1 -days 30 -out '" + certPath + "' 2>&1"),
                   &out),
        0)
        << out;
    BindKey(std::string("recipient") + bits, ReadBytes(key), ReadBytes(certPath));
    std::string encrypted = ReadBytes(DataPath(std::string("cms/enveloped_ktri_") + bits + ".p7m"));
    EXPECT_EQ(T::DecryptWithPersonalStore(true, encrypted),
              ReadBytes(DataPath(std::string("cms/plaintext_ktri_") + bits + ".txt")));
  }
}

TEST(Envelope, DecryptionFailsWithoutTheRightKey) {
  std::string secret = "secret" + std::string(100000, '\x98');
  std::string encrypted = T::EncryptForCertificate(secret, PkiBytes("user.pem"));
  // Nothing in "MY" stands for the recipient.
  BindKey("k512", PkiBytes("k512.key"), PkiBytes("k512.pem"));
  std::string failure = Message([&] { T::DecryptWithPersonalStore(true, encrypted); });
  EXPECT_EQ(Prefix(failure, kDecryptFailure.size() + 12), kDecryptFailure + "0x8009200C (") << failure;
  // The recipient's certificate bound to a container with another key: an error, never garbage,
  // and a message decrypted where it lies is left as it was.
  BindThenReplaceKey("wrong", PkiBytes("user.key"), PkiBytes("misc.key"), PkiBytes("user.pem"));
  std::string message = encrypted;
  failure = Message([&] { T::DecryptInPersonalStore(true, message); });
  EXPECT_EQ(Prefix(failure, kDecryptFailure.size()), kDecryptFailure) << failure;
  EXPECT_EQ(message, encrypted);
  // Only the chosen location's "MY" counts.
  BindKey("user", PkiBytes("user.key"), PkiBytes("user.pem"));
  T::DecryptInPersonalStore(true, message);
  EXPECT_EQ(message, secret);
  failure = Message([&] { T::DecryptWithPersonalStore(false, encrypted); });
  EXPECT_EQ(Prefix(failure, kDecryptFailure.size()), kDecryptFailure) << failure;
  failure = Message([&] { T::DecryptWithPersonalStore(true, "not a message"); });
  EXPECT_EQ(Prefix(failure, kDecryptFailure.size()), kDecryptFailure) << failure;
}

TEST(Envelope, EncryptionForAThumbprintLooksOnlyInAddressBook) {
  CertContextPtr user = CCryptoAPI20Utils::CertificateFromText(PkiBytes("user.pem"));
  std::string sha1 = user->Sha1Text();
  std::string notFound =
      "Сертификат для шифрования с отпечатком [%s] не найден в храниилище \"Другие пользователи\""_cp;
  BindKey("user", PkiBytes("user.key"), PkiBytes("user.pem"));
  EXPECT_EQ(Message([&] { T::EncryptForThumbprint(true, "x", sha1); }), FormatText(notFound, {sha1}));
  CCryptoAPI20Utils::AddToStore(nullptr, kStoreCurrentUser, kStoreAddressBook, {}, user);
  std::string lower = sha1;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Message([&] { T::EncryptForThumbprint(true, "x", lower); }), FormatText(notFound, {lower}));
  EXPECT_EQ(Message([&] { T::EncryptForThumbprint(false, "x", sha1); }), FormatText(notFound, {sha1}));
  EXPECT_EQ(T::DecryptWithPersonalStore(true, T::EncryptForThumbprint(true, "to the user", sha1)),
            "to the user");
  EXPECT_NE(Message([] { T::EncryptForCertificate("x", "no certificate"); }), "<no error>");
}

namespace {

std::string Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

}  // namespace

// Content of some megabytes is decrypted in parts, each from the key and the block before it
// that its segment has in the whole; a content key that does not agree falls back to one piece.
TEST(Envelope, LongContentDecryptsInPartsAsInOnePiece) {
  ASSERT_TRUE(EnsureGostEngine());
  const EVP_CIPHER* cipher = EVP_get_cipherbyname("gost89");
  ASSERT_NE(cipher, nullptr);
  const std::string plain = Noise(kContentPartsMinimum + 4099, 1), key = Noise(32, 2), iv = Noise(8, 3);
  const auto* keyBytes = reinterpret_cast<const unsigned char*>(key.data());
  CipherCtxPtr encrypt(EVP_CIPHER_CTX_new());
  ASSERT_EQ(EVP_EncryptInit_ex(encrypt.get(), cipher, nullptr, keyBytes,
                               reinterpret_cast<const unsigned char*>(iv.data())),
            1);
  GostContentKey content;
  content.key = key;
  content.algorithm.reset(X509_ALGOR_new());
  content.algorithm->parameter = ASN1_TYPE_new();
  ASSERT_GT(EVP_CIPHER_param_to_asn1(encrypt.get(), content.algorithm->parameter), 0);
  std::string encrypted(plain.size(), '\0');
  int out = 0;
  ASSERT_EQ(
      EVP_EncryptUpdate(encrypt.get(), reinterpret_cast<unsigned char*>(encrypted.data()), &out,
                        reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size())),
      1);
  const std::string header = "header of 37 bytes before the content";
  for (unsigned parts : {2u, 3u, 4u, 0u}) {
    SCOPED_TRACE(parts);
    if (parts == 0) content.key[5] ^= 1;  // another key: the check on the head refuses the parts
    CipherCtxPtr sequential(EVP_CIPHER_CTX_new());
    ASSERT_EQ(EVP_DecryptInit_ex(sequential.get(), cipher, nullptr, nullptr, nullptr), 1);
    ASSERT_GT(EVP_CIPHER_asn1_to_param(sequential.get(), content.algorithm->parameter), 0);
    ASSERT_EQ(EVP_DecryptInit_ex(sequential.get(), nullptr, nullptr, keyBytes, nullptr), 1);
    std::string message = header + encrypted;
    const std::uint64_t before = ContentsDecryptedInParts();
    ASSERT_TRUE(DecryptContentWhereItLies(sequential.get(), &content, message.data(), header.size(),
                                          encrypted.size(), parts ? parts : 2));
    message.resize(plain.size());
    EXPECT_TRUE(message == plain);
    EXPECT_EQ(ContentsDecryptedInParts(), before + (parts ? 1 : 0));
  }
}

// Messages from openssl for each kind of key: the content key unwrapped for the parts is the
// one the message library unwraps.
TEST(Envelope, LongMessagesForEveryKindOfKeyDecryptInParts) {
  const std::string plain = Noise(kContentPartsMinimum + 1021, 4), plainPath = Put("long.bin", plain);
  for (const std::string name : {"user", "k2001", "k512"}) {
    SCOPED_TRACE(name);
    BindKey(name, PkiBytes(name + ".key"), PkiBytes(name + ".pem"));
    std::string out;
    ASSERT_EQ(RunCommand(OpenSsl("cms -encrypt -gost89 -binary -outform DER -in '" + plainPath + "' -out '" +
                                 TestPath("long.p7m") + "' '" + PkiPath(name + ".pem") + "' 2>&1"),
                         &out),
              0)
        << out;
    const std::uint64_t before = ContentsDecryptedInParts();
    EXPECT_TRUE(T::DecryptWithPersonalStore(true, ReadBytes(TestPath("long.p7m"))) == plain);
    if (std::thread::hardware_concurrency() > 1) {
      EXPECT_EQ(ContentsDecryptedInParts(), before + 1);
    }
  }
}

namespace {

std::string Hex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

}  // namespace

// A content cipher is taken only in the form of its parameters that the GOST engine reads: any
// other form, and any other cipher, is refused by name before the engine sees the message
// (it crashed on a third field of the GOST 28147-89 parameters and on CTR-ACPKM without
// parameters). The messages are the library's own with the content cipher's identifier replaced.
TEST(Envelope, ContentCiphersOfAnyOtherFormAreRefusedByName) {
  BindKey("user", PkiBytes("user.key"), PkiBytes("user.pem"));
  const std::string plain = "Заявление"_cp;
  const std::string encrypted = T::EncryptForCertificate(plain, PkiBytes("user.pem"));
  const std::size_t oid = encrypted.find(Hex("06062a8503020215"));
  ASSERT_NE(oid, std::string::npos);
  ASSERT_EQ(encrypted[oid - 2], '\x30');
  const std::size_t at = oid - 2, size = 2 + static_cast<unsigned char>(encrypted[oid - 1]);
  // SEQUENCE { IV, S-box set } as made.
  const std::string parameters = encrypted.substr(oid + 8, at + size - oid - 8);
  ASSERT_EQ(parameters[0], '\x30');
  auto der = [](char tag, const std::string& contents) {
    return std::string(1, tag) + static_cast<char>(contents.size()) + contents;
  };
  const std::string gost89 = Hex("06062a8503020215"), kuznyechik = Hex("06092a8503070101050201"),
                    magma = Hex("06092a8503070101050101");
  const std::string badForm = "параметры алгоритма шифрования содержимого [%s] имеют неверную форму"_cp;
  const std::string unknown = "алгоритм шифрования содержимого [%s] не поддерживается"_cp;
  struct Case {
    const char* name;
    std::string identifier, detail;
  } cases[] = {
      {"GOST 28147-89, a third field", der('\x30', gost89 + der('\x30', parameters.substr(2) + Hex("0500"))),
       FormatText(badForm, {"1.2.643.2.2.21 gost89"})},
      {"GOST 28147-89, no parameters", der('\x30', gost89), FormatText(badForm, {"1.2.643.2.2.21 gost89"})},
      {"Kuznyechik CTR-ACPKM, no parameters", der('\x30', kuznyechik),
       FormatText(badForm, {"1.2.643.7.1.1.5.2.1 kuznyechik-ctr-acpkm"})},
      {"Magma CTR-ACPKM, no parameters", der('\x30', magma),
       FormatText(badForm, {"1.2.643.7.1.1.5.1.1 magma-ctr-acpkm"})},
      {"Magma CTR-ACPKM, a 16-byte UKM", der('\x30', magma + der('\x30', der('\x04', std::string(16, 'u')))),
       FormatText(badForm, {"1.2.643.7.1.1.5.1.1 magma-ctr-acpkm"})},
      {"AES-256-CBC", der('\x30', Hex("060960864801650304012a") + der('\x04', std::string(16, 'i'))),
       FormatText(unknown, {"2.16.840.1.101.3.4.1.42 AES-256-CBC"})},
  };
  const std::string algorithm = "0x80090008 (-2146893816): Неправильный алгоритм. ("_cp;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string changed = ReplaceTlv(encrypted, at, size, c.identifier);
    std::string path = Put("changed.p7m", changed), out;
    ASSERT_EQ(RunCommand(OpenSsl("asn1parse -inform DER -in '" + path + "' 2>&1"), &out), 0) << out;
    std::string message = changed;
    EXPECT_EQ(Message([&] { T::DecryptInPersonalStore(true, message); }),
              kDecryptFailure + algorithm + c.detail + ")");
    EXPECT_EQ(message, changed);
  }
  // The form itself is taken: a Kuznyechik identifier of the right form passes the check (the key
  // transport made for GOST 28147-89 then gives it some key, and the content other bytes).
  const std::string rightForm = der('\x30', kuznyechik + der('\x30', der('\x04', std::string(16, 'u'))));
  std::string failure =
      Message([&] { T::DecryptWithPersonalStore(true, ReplaceTlv(encrypted, at, size, rightForm)); });
  EXPECT_EQ(failure.find("Неправильный алгоритм"_cp), std::string::npos) << failure;
  EXPECT_EQ(T::DecryptWithPersonalStore(true, encrypted), plain);
}

// Messages of other parties with Kuznyechik CTR-ACPKM and Magma CTR-ACPKM-OMAC content still decrypt.
TEST(Envelope, KuznyechikAndMagmaConformanceVectorsDecrypt) {
  for (const char* vector : {"a231", "a241"}) {
    SCOPED_TRACE(vector);
    const std::string bits = std::string(vector) == "a231" ? "256" : "512";
    BindKey(
        "recipient" + bits,
        ReadBytes(ConformancePath("08_tc26_2019_cms_examples_gost_engine/recipient" + bits + "_key.pem")),
        ReadBytes(ConformancePath("08_tc26_2019_cms_examples_gost_engine/recipient" + bits + "_cert.pem")));
    std::string out;
    ASSERT_EQ(
        RunCommand(
            OpenSsl("cms -cmsout -inform PEM -outform DER -in '" +
                    ConformancePath(std::string("08_tc26_2019_cms_examples_gost_engine/encrypted_keytrans_") +
                                    vector + ".pem") +
                    "' -out '" + TestPath("vector.p7m") + "' 2>&1"),
            &out),
        0)
        << out;
    const std::string bytes = ReadBytes(TestPath("vector.p7m"));
    EngineLeaksIgnored engine;
    EXPECT_EQ(T::DecryptWithPersonalStore(true, bytes), "Контрольный пример для структуры EnvelopedData."_cp);
  }
}
