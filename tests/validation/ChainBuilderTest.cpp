#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "crypto/CryptoAPI20Tool.h"
#include "crypto/CryptoSignature.h"
#include "crypto/CryptoUtils.h"
#include "crypto/DateText.h"
#include "foundation/CodePage.h"
#include "net/LoopbackServers.h"
#include "pki/TestPki.h"
#include "validation/ChainBuilder.h"
#include "validation/Resign.h"

using namespace qv;
using namespace qvtest;
using U = CCryptoAPI20Utils;

namespace {

constexpr std::uint8_t kAll = kChainDownloadCertificates | kChainDownloadCrls | kChainCheckRevocation;

// A test PKI whose URLs point at a loopback server that serves the files a test chooses and
// counts the requests.
class Chain : public ::testing::Test {
 protected:
  void SetUp() override {
    InstallStrictChainBuilder();
    server_->Get(R"(/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      std::string path = request.matches[1];
      ++hits_[path];
      auto found = served_.find(path);
      if (found == served_.end()) {
        response.status = 404;
        return;
      }
      response.set_content(found->second, "application/octet-stream");
    });
    port_ = server_.Start();
    std::string output;
    folder_ = TestPath("chain-pki");
    ASSERT_EQ(RunCommand("bash '" + std::string(QV_SOURCE_DIR) + "/tests/validation/make-chain-pki.sh' '" +
                             folder_ + "' " + std::to_string(port_) + " " + Extra() + " 2>&1",
                         &output),
              0)
        << output;
  }
  void TearDown() override { server_.Stop(); }
  // The third argument of the PKI script.
  virtual std::string Extra() const { return {}; }

  std::string File(const std::string& name) { return ReadBytes(folder_ + "/" + name); }
  CertContextPtr Cert(const std::string& name) { return U::CertificateFromText(File(name)); }
  void Serve(const std::string& path, const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    served_[path] = File(file);
  }
  int Hits(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return hits_[path];
  }
  int AllHits() {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (auto& hit : hits_) total += hit.second;
    return total;
  }
  std::string Url(const std::string& path) { return server_.Url("/" + path); }
  void Install(const std::string& name, int store) {
    U::AddToStore(nullptr, kStoreCurrentUser, store, {}, Cert(name));
  }
  void InstallCrl(const std::string& name) {
    CertStorePtr ca = OpenSystemStore(kLocationCurrentUser, "CA");
    ASSERT_TRUE(ca->AddCrl(U::CrlFromBytes(File(name)), kStoreAddAlways));
  }
  // Root in "ROOT", intermediate in "CA", the root's CRL in "CA".
  void InstallAuthorities() {
    Install("root.cer", kStoreRoot);
    Install("inter.cer", kStoreCA);
    InstallCrl("root.crl");
  }

  // The message of a failed check ("" when it passes) and its code.
  std::string Check(CCryptoAPI20ChainBuilderStrict& builder, const std::string& cert, double date = 0) {
    try {
      builder.CheckCertificate(Cert(cert), date);
    } catch (const CCryptoAPI20Exception& e) {
      code_ = e.Code();
      return e.Message();
    }
    code_ = 0;
    return {};
  }
  std::string Check(const std::string& cert, std::uint8_t options, double date = 0) {
    CCryptoAPI20ChainBuilderStrictConfig config;
    config.Options = options;
    CCryptoAPI20ChainBuilderStrict builder;
    builder.Open(&config);
    return Check(builder, cert, date);
  }

  HttpServer server_;
  int port_ = 0;
  int code_ = 0;
  std::string folder_;
  std::mutex mutex_;
  std::map<std::string, std::string> served_;
  std::map<std::string, int> hits_;
};

std::string NotFoundIssuer(const std::string& cn, const std::string& url) {
  return FormatText("Не найден сертификат УЦ [%s]"_cp, {cn}) +
         FormatText(". URL для скачивания: [%s]"_cp, {url});
}

}  // namespace

TEST_F(Chain, InstalledAuthoritiesWithoutDownloadsOrRevocationNeedNoNetwork) {
  Install("root.cer", kStoreRoot);
  Install("inter.cer", kStoreCA);
  EXPECT_EQ(Check("user.cer", 0), "");
  EXPECT_EQ(Check("revoked.cer", 0), "") << "revocation is not checked without option 0x08";
  EXPECT_EQ(AllHits(), 0);
  // A root filed in "CA" (as bundle import does for a root with a critical CA constraint) counts as
  // installed.
  CertStorePtr root = OpenSystemStore(kLocationCurrentUser, "ROOT");
  ASSERT_TRUE(root->DeleteCertificate(Cert("root.cer")));
  EXPECT_NE(Check("user.cer", 0), "");
  Install("root.cer", kStoreCA);
  EXPECT_EQ(Check("user.cer", 0), "");
}

TEST_F(Chain, DownloadsTheIssuerAndTheCrlOncePerBuilder) {
  Install("root.cer", kStoreRoot);
  InstallCrl("root.crl");
  Serve("inter.cer", "inter.cer");
  Serve("inter.crl", "inter.crl");
  CCryptoAPI20ChainBuilderStrictConfig config;
  config.Options = kAll;
  CCryptoAPI20ChainBuilderStrict builder;
  builder.Open(&config);
  EXPECT_EQ(Check(builder, "user.cer"), "");
  EXPECT_EQ(builder.TopCertificate()->Encoded(), Cert("root.cer")->Encoded());
  EXPECT_EQ(Check(builder, "user.cer"), "");
  EXPECT_EQ(Hits("inter.cer"), 1);
  EXPECT_EQ(Hits("inter.crl"), 1);
  EXPECT_EQ(Hits("root.crl"), 1) << "the intermediate's list is asked for once as well";
  // A new builder downloads again; the system stores were never written.
  EXPECT_EQ(Check("user.cer", kAll), "");
  EXPECT_EQ(Hits("inter.cer"), 2);
  EXPECT_FALSE(U::FindBySha1(nullptr, kStoreCurrentUser, kStoreCA, Cert("inter.cer")->Sha1Text()));
}

TEST_F(Chain, RevokedBeforeAndAfterTheCheckDate) {
  InstallAuthorities();
  Serve("inter.crl", "inter.crl");
  double now = NowLocalDateTime();
  EXPECT_EQ(Check("revoked.cer", kAll, now - 7), "") << "revoked five days ago, checked for a week ago";
  std::string failure = Check("revoked.cer", kAll);
  EXPECT_EQ(code_, 21);
  EXPECT_EQ(failure.rfind(
                FormatText("На момент подписания [%s] сертификат был отозван ["_cp, {ShortDateText(now)}), 0),
            0u)
      << failure;
  EXPECT_EQ(Check("user.cer", kAll), "");
  // A check date in the future.
  failure = Check("user.cer", kAll, now + 1);
  EXPECT_EQ(code_, 33);
  EXPECT_EQ(failure.rfind("Дата подписи ["_cp, 0), 0u);
  EXPECT_NE(failure.find("] больше текущей даты ["_cp), std::string::npos) << failure;
}

TEST_F(Chain, ExpiredUnreachableAndForgedCrls) {
  InstallAuthorities();
  std::string url = Url("inter.crl");
  Serve("inter.crl", "inter-expired.crl");
  std::string failure = Check("user.cer", kAll);
  EXPECT_EQ(code_, 33);
  EXPECT_EQ(failure.rfind("Нет актуального списка отозванных сертификатов ["_cp, 0), 0u) << failure;
  EXPECT_NE(failure.find(FormatText("]. URL для скачивания: [%s]"_cp, {url})), std::string::npos) << failure;

  // A list with the intermediate's name that its key does not verify is not used.
  Serve("inter.crl", "inter-forged.crl");
  failure = Check("user.cer", kAll);
  EXPECT_EQ(code_, 34);
  EXPECT_EQ(failure, "Список отозванных сертификатов для [Chain Intermediate CA] не найден"_cp +
                         FormatText(". URL для скачивания: [%s]"_cp, {url}));

  // Nothing answers at the distribution point.
  server_.Stop();
  EXPECT_EQ(Check("user.cer", kAll), failure);
  EXPECT_EQ(code_, 34);
}

TEST_F(Chain, ForgedIntermediateWithTheSameNameIsNoIssuer) {
  Install("root.cer", kStoreRoot);
  InstallCrl("root.crl");
  Serve("inter.cer", "inter-forged.cer");
  Serve("inter.crl", "inter.crl");
  EXPECT_EQ(Check("user.cer", kAll), NotFoundIssuer("Chain Intermediate CA", Url("inter.cer")));
  EXPECT_EQ(code_, 35);

  // A signer certificate forged with the intermediate's name and an authority URL of its own does
  // not reach the installed root, although the real intermediate is installed too.
  Install("inter.cer", kStoreCA);
  Serve("inter-forged.cer", "inter-forged.cer");
  Serve("root.cer", "rogue-root.cer");
  EXPECT_EQ(Check("forged-user.cer", kChainDownloadCertificates),
            NotFoundIssuer("Chain Root CA", Url("root.cer")));
  EXPECT_EQ(Hits("root.cer"), 1) << "the self-signed rogue root was fetched but never used";
}

TEST_F(Chain, SelfSignedTopMustBeInstalled) {
  int code = 0;
  std::string failure = Check("self.cer", 0);
  EXPECT_EQ(failure, "Корневой сертификат [Self Signer] не является доверенным"_cp);
  EXPECT_EQ(code_, 33);
  (void)code;
  // A root served at the authority URL is never taken: the chain finds no issuer.
  Install("inter.cer", kStoreCA);
  Serve("root.cer", "root.cer");
  EXPECT_EQ(Check("user.cer", kChainDownloadCertificates), NotFoundIssuer("Chain Root CA", Url("root.cer")));
  Install("self.cer", kStoreRoot);
  EXPECT_EQ(Check("self.cer", kAll), "") << "an installed self-signed signer is checked against nothing";
}

TEST_F(Chain, IssuerOutsideItsValidityIsSkipped) {
  Install("root.cer", kStoreRoot);
  Install("inter.cer", kStoreCA);
  // 25 days ago the intermediate (valid from 20 days ago) did not exist yet; the user's own dates
  // are not examined without the revocation check.
  EXPECT_EQ(Check("user.cer", 0, NowLocalDateTime() - 25),
            NotFoundIssuer("Chain Intermediate CA", Url("inter.cer")));
  EXPECT_EQ(code_, 35);
}

TEST_F(Chain, WindowTestAndMargin) {
  CCryptoAPI20ChainBuilderStrictConfig config;
  CCryptoAPI20ChainBuilderStrict builder;
  builder.Open(&config);
  EXPECT_EQ(builder.Window(5, 10, 20), 1);
  EXPECT_EQ(builder.Window(10, 10, 20), 0);
  EXPECT_EQ(builder.Window(19.9, 10, 20), 0);
  EXPECT_EQ(builder.Window(20, 10, 20), 1);
  EXPECT_EQ(builder.Window(1, 0, 0), 1) << "a list without a next update is never current";
  config.Margin = 24;
  builder.Open(&config);
  EXPECT_EQ(builder.Window(8.5, 10, 20), 1);
  EXPECT_EQ(builder.Window(9.5, 10, 20), 2);
  EXPECT_EQ(builder.Window(10.5, 10, 20), 2);
  EXPECT_EQ(builder.Window(15, 10, 20), 0);
  EXPECT_EQ(builder.Window(19.5, 10, 20), 2);
  EXPECT_EQ(builder.Window(21.5, 10, 20), 1);

  // Less than a day after the user's not-before with a margin of 24 hours.
  InstallAuthorities();
  Serve("inter.crl", "inter.crl");
  builder.Open(&config);
  double notBefore = UtcToLocalDateTime(Asn1TimeToDateTime(X509_get0_notBefore(Cert("user.cer")->Cert())));
  std::string failure = Check(builder, "user.cer", notBefore + 0.5);
  EXPECT_EQ(failure.rfind("Дата подписи ["_cp + DateTimeText(notBefore + 0.5) +
                              "] недопустимо близка к окончанию срока действия сертификата ["_cp,
                          0),
            0u)
      << failure;

  // Less than a day before the next update of the revocation list (one that ended three days ago).
  Serve("inter.crl", "inter-expired.crl");
  double nextUpdate = UtcToLocalDateTime(
      Asn1TimeToDateTime(X509_CRL_get0_nextUpdate(U::CrlFromBytes(File("inter-expired.crl"))->Crl())));
  CCryptoAPI20ChainBuilderStrict fresh;
  fresh.Open(&config);
  failure = Check(fresh, "user.cer", nextUpdate - 0.5);
  EXPECT_EQ(code_, 33);
  EXPECT_EQ(failure.rfind("Дата подписи ["_cp + DateTimeText(nextUpdate - 0.5) +
                              "] недопустимо близка к сроку действия списка отозванных сертификатов ["_cp +
                              DateTimeText(nextUpdate) + "]. URL для скачивания: ["_cp,
                          0),
            0u)
      << failure;
  config.Margin = 0;
  CCryptoAPI20ChainBuilderStrict noMargin;
  noMargin.Open(&config);
  EXPECT_EQ(Check(noMargin, "user.cer", nextUpdate - 0.5), "");
}

TEST_F(Chain, OpenAndArgumentRules) {
  CCryptoAPI20ChainBuilderStrict builder;
  auto message = [](const std::function<void()>& body) {
    try {
      body();
    } catch (const CVorlentException& e) {
      return e.Message();
    }
    return std::string("<no error>");
  };
  EXPECT_EQ(message([&] { builder.CheckCertificate(Cert("user.cer"), 0); }), "Документ не открыт"_cp);
  EXPECT_EQ(message([&] { builder.Open(nullptr); }), "Передан пустой аргумент: config"_cp);
  CCryptoAPI20ChainBuilderStrictConfig config;
  EXPECT_EQ(message([&] { config.SetInitialCertificate(nullptr); }),
            "Передан пустой аргумент: pInitialCertContext"_cp);
  EXPECT_EQ(message([&] { config.SetCheckDate(-1); }), "Неверное значение аргумента [29.12.1899]"_cp);
  config.SetCheckDate(0);
  EXPECT_GT(config.CheckDate(), 40000);
  EXPECT_TRUE(builder.Open(&config));
  EXPECT_TRUE(builder.IsOpen());
  EXPECT_TRUE(builder.Close());
  EXPECT_FALSE(builder.IsOpen());
}

TEST_F(Chain, VerifyDetachedChecksTheSignersChain) {
  Install("root.cer", kStoreRoot);
  InstallCrl("root.crl");
  Serve("inter.cer", "inter.cer");
  Serve("inter.crl", "inter.crl");
  std::string content = "Документ"_cp, out;
  std::string contentPath = TestPath("content.bin");
  WriteBytes(contentPath, content);
  auto sign = [&](const std::string& who) {
    std::string sigPath = TestPath(who + ".p7s");
    EXPECT_EQ(OpensslSignDetached(contentPath, folder_ + "/" + who + ".pem", folder_ + "/" + who + ".key",
                                  sigPath, &out),
              0)
        << out;
    return ReadBytes(sigPath);
  };
  auto failure = [&](const std::string& sig, bool download, bool revocation) {
    try {
      CCryptoAPI20Tool::VerifyDetached(true, content, sig, download, revocation, 0, nullptr);
    } catch (const CCryptoAPI20Exception& e) {
      EXPECT_EQ(e.Code(), 22);
      return e.Message();
    }
    return std::string();
  };
  std::string userSig = sign("user");
  CStrArray signers;
  signers.SetOwnership(CStrArray::kOwnDestroy);
  EXPECT_TRUE(CCryptoAPI20Tool::VerifyDetached(true, content, userSig, true, true, 0, &signers));
  ASSERT_EQ(signers.Count(), 1);
  EXPECT_EQ(signers.Key(0), Cert("user.cer")->Sha1Text());

  // A signature that carries the intermediate beside the signer: the signer's chain is checked.
  std::string withChain = TestPath("with-chain.p7s");
  ASSERT_EQ(OpensslSignDetached(contentPath, folder_ + "/user.pem", folder_ + "/user.key", withChain, &out,
                                " -certfile '" + folder_ + "/inter.pem'"),
            0)
      << out;
  CStrArray chainSigners;
  chainSigners.SetOwnership(CStrArray::kOwnDestroy);
  EXPECT_TRUE(
      CCryptoAPI20Tool::VerifyDetached(true, content, ReadBytes(withChain), true, true, 0, &chainSigners));
  ASSERT_EQ(chainSigners.Count(), 1);
  EXPECT_EQ(chainSigners.Key(0), Cert("user.cer")->Sha1Text());

  // Without downloads the intermediate is missing; the message names where it could be fetched.
  EXPECT_EQ(failure(userSig, false, false), NotFoundIssuer("Chain Intermediate CA", Url("inter.cer")));
  EXPECT_EQ(failure(sign("revoked"), true, true).rfind("На момент подписания ["_cp, 0), 0u);
  EXPECT_EQ(failure(sign("self"), true, true), "Корневой сертификат [Self Signer] не является доверенным"_cp);
  std::string changed = content + "!";
  EXPECT_EQ(failure(userSig, true, true).size(), 0u);
  try {
    CCryptoAPI20Tool::VerifyDetached(true, changed, userSig, true, true, 0, nullptr);
    ADD_FAILURE() << "a changed content verified";
  } catch (const CCryptoAPI20Exception& e) {
    EXPECT_EQ(std::string(e.Message()).rfind("Ошибка при проверке подписи [0x"_cp, 0), 0u);
  }
}

namespace {

// The chain PKI with the certificates of the path and signer rules.
class ChainPaths : public Chain {
 protected:
  std::string Extra() const override { return "paths"; }

  // Whether `openssl verify` accepts `leaf` under the trusted `root` with the untrusted `others`.
  bool OpenSslVerifies(const std::string& root, const std::vector<std::string>& others,
                       const std::string& leaf) {
    std::string arguments = "verify -CAfile '" + folder_ + "/" + root + "'";
    for (const std::string& other : others) arguments += " -untrusted '" + folder_ + "/" + other + "'";
    std::string out;
    return RunCommand(OpenSsl(arguments + " '" + folder_ + "/" + leaf + "' 2>&1"), &out) == 0;
  }

  // A detached signature of `content` made by openssl with the certificate and key `who` of the PKI
  // folder (or the full paths given), with the digest `md`.
  std::string SignFile(const std::string& content, const std::string& pem, const std::string& key,
                       const std::string& md = {}) {
    std::string contentPath = TestPath("content.bin");
    WriteBytes(contentPath, content);
    std::string sigPath = TestPath("signature.p7s");
    std::string out;
    EXPECT_EQ(OpensslSignDetached(contentPath, pem, key, sigPath, &out, md.empty() ? "" : " -md " + md), 0)
        << out;
    return ReadBytes(sigPath);
  }

  // The message of a failed VerifyDetached with the chain checked offline ("" when it passes).
  static std::string VerifyFailure(const std::string& content, const std::string& signature) {
    try {
      CCryptoAPI20Tool::VerifyDetached(true, content, signature, false, false, 0, nullptr);
    } catch (const CCryptoAPI20Exception& e) {
      return e.Message();
    }
    return {};
  }
};

}  // namespace

TEST_F(ChainPaths, IssuersMustBeAuthoritiesThatMaySignCertificatesAndLists) {
  InstallAuthorities();
  // The applicant's own certificate issues one in the notary's name and signs its list: every
  // download the chain needs is served.
  Serve("user.cer", "user.cer");
  Serve("user.crl", "user.crl");
  Serve("inter.crl", "inter.crl");
  EXPECT_EQ(
      Check("notary.cer", kAll),
      "Сертификат [Chain User] не является сертификатом УЦ (нет basicConstraints CA:TRUE) и не может быть "
      "издателем сертификата [Chain Notary]"_cp);
  EXPECT_EQ(code_, 33);
  EXPECT_FALSE(OpenSslVerifies("root.pem", {"inter.pem", "user.pem"}, "notary.pem"));

  Install("noks-ca.cer", kStoreCA);
  EXPECT_EQ(
      Check("noks-user.cer", 0),
      "Сертификат УЦ [No CertSign CA] не может быть издателем сертификата [No CertSign User]: в расширении "
      "keyUsage нет keyCertSign"_cp);
  EXPECT_FALSE(OpenSslVerifies("root.pem", {"noks-ca.pem"}, "noks-user.pem"));

  // A CA without cRLSign issues certificates but its lists are not believed.
  Install("nocrl-ca.cer", kStoreCA);
  InstallCrl("nocrl-ca.crl");
  EXPECT_EQ(Check("nocrl-user.cer", 0), "");
  EXPECT_EQ(Check("nocrl-user.cer", kChainCheckRevocation),
            "Сертификат УЦ [No CrlSign CA] не может подписывать списки отозванных сертификатов: в расширении "
            "keyUsage нет cRLSign"_cp);

  // pathlen:0 allows no authority below the one that carries it.
  Install("pl0-ca.cer", kStoreCA);
  Install("pl0-sub.cer", kStoreCA);
  EXPECT_EQ(Check("pl0-sub.cer", 0), "");
  EXPECT_EQ(Check("pl0-user.cer", 0),
            "Нарушено ограничение длины пути сертификата УЦ [PathLen0 CA]: pathLenConstraint 0, а ниже него "
            "промежуточных УЦ: 1"_cp);
  EXPECT_FALSE(OpenSslVerifies("root.pem", {"pl0-ca.pem", "pl0-sub.pem"}, "pl0-user.pem"));

  // A version 1 certificate issues only as an installed trusted root.
  Install("v1-root.cer", kStoreCA);
  EXPECT_EQ(
      Check("v1-user.cer", 0),
      "Сертификат [V1 Root] версии 1 не может быть издателем сертификата [V1 User]: он не установлен как "
      "доверенный корневой"_cp);
  Install("v1-root.cer", kStoreRoot);
  EXPECT_EQ(Check("v1-user.cer", 0), "");
  EXPECT_TRUE(OpenSslVerifies("v1-root.pem", {}, "v1-user.pem"));
  EXPECT_EQ(Check("user.cer", kAll), "") << "a well-formed chain still passes";
}

TEST_F(ChainPaths, SignerKeyMustBeMeantForSigning) {
  Install("root.cer", kStoreRoot);
  Install("inter.cer", kStoreCA);
  std::string content = "Заявление"_cp;
  auto failure = [&](const std::string& who) {
    return VerifyFailure(content,
                         SignFile(content, folder_ + "/" + who + ".pem", folder_ + "/" + who + ".key"));
  };
  EXPECT_EQ(failure("user"), "");
  EXPECT_EQ(failure("kenc"),
            "Сертификат [KeyEncipherment User] не предназначен для подписи: в расширении keyUsage нет "
            "digitalSignature и nonRepudiation"_cp);
  EXPECT_EQ(failure("kcs"),
            "Сертификат [KeyCertSign User] не предназначен для подписи: в расширении keyUsage нет "
            "digitalSignature и nonRepudiation"_cp);
  EXPECT_EQ(failure("eku"),
            "Сертификат [ServerAuth User] не предназначен для подписи документов: критическое расширение "
            "extendedKeyUsage допускает только [TLS Web Server Authentication]"_cp);
}

TEST_F(ChainPaths, OnlyGostSignaturesAndNoWeakAlgorithmsInTheChain) {
  // Foreign signatures under certificates installed as trusted roots.
  std::string content = "Заявление"_cp;
  auto foreign = [&](const std::string& name, const std::string& keyAlgorithm, const std::string& md) {
    std::string key = TestPath(name + ".key");
    std::string pem = TestPath(name + ".pem");
    std::string out;
    EXPECT_EQ(RunCommand(OpenSsl("req -x509 -newkey " + keyAlgorithm + " -nodes -keyout '" + key +
                                 "' -out '" + pem + "' -days 30 -subj '/CN=" + name + "' 2>&1"),
                         &out),
              0)
        << out;
    U::AddToStore(nullptr, kStoreCurrentUser, kStoreRoot, {}, U::CertificateFromText(ReadBytes(pem)));
    return VerifyFailure(content, SignFile(content, pem, key, md));
  };
  const std::string rule =
      "принимаются только подписи ГОСТ Р 34.10-2001 и ГОСТ Р 34.10-2012 с хэшем своего ключа"_cp;
  EXPECT_EQ(foreign("Rsa2048", "rsa:2048", "sha256"),
            "Недопустимый алгоритм подписи [rsaEncryption, хэш sha256] сертификата [Rsa2048]: "_cp + rule);
  EXPECT_EQ(foreign("EcP256", "ec -pkeyopt ec_paramgen_curve:P-256", "sha256"),
            "Недопустимый алгоритм подписи [ecdsa-with-SHA256, хэш sha256] сертификата [EcP256]: "_cp + rule);
  EXPECT_EQ(foreign("Rsa512", "rsa:512", "md5"),
            "Недопустимый алгоритм подписи [rsaEncryption, хэш md5] сертификата [Rsa512]: "_cp + rule);

  // SHA-1 and a short RSA key anywhere in a chain.
  Install("weak-root.cer", kStoreRoot);
  EXPECT_EQ(Check("weak-sha1.cer", 0),
            "Сертификат [Weak sha1 User] подписан с недопустимо слабым хэшем [sha1]"_cp);
  EXPECT_EQ(
      Check("weak-rsa.cer", 0),
      "Сертификат [Weak Root] содержит ключ RSA длиной 1024 бит: допускаются ключи RSA не короче 2048 бит"_cp);
  EXPECT_EQ(code_, 33);
}

TEST_F(Chain, TimesOutsideTheDerFormMakeCertificatesAndListsInvalid) {
  Install("root.cer", kStoreRoot);
  Install("inter.cer", kStoreCA);
  InstallCrl("root.crl");
  // The user's certificate with other validity times, signed again by the intermediate.
  auto resigned = [&](int beforeType, const std::string& before, int afterType, const std::string& after) {
    WriteBytes(folder_ + "/dated.cer", Resigned(File("user.cer"), File("inter.key"), [&](X509* cert) {
                 EXPECT_EQ(X509_set1_notBefore(cert, RawTime(beforeType, before).get()), 1);
                 EXPECT_EQ(X509_set1_notAfter(cert, RawTime(afterType, after).get()), 1);
               }));
    return Check("dated.cer", 0);
  };
  const std::string rule =
      " записана не по правилам DER (UTCTime ГГММДДччммссZ до 2049 года, GeneralizedTime ГГГГММДДччммссZ с "
      "2050 "
      "года)"_cp;
  const std::string badBefore = "Сертификат [Chain User]: дата notBefore"_cp + rule;
  const std::string end = "300101000000Z";
  EXPECT_EQ(resigned(V_ASN1_UTCTIME, "2501O1000000Z", V_ASN1_UTCTIME, end), badBefore) << "not a time at all";
  EXPECT_EQ(resigned(V_ASN1_GENERALIZEDTIME, "20250101000000Z", V_ASN1_UTCTIME, end), badBefore);
  EXPECT_EQ(resigned(V_ASN1_UTCTIME, "2501010000Z", V_ASN1_UTCTIME, end), badBefore) << "no seconds";
  EXPECT_EQ(resigned(V_ASN1_UTCTIME, "250101000000+0300", V_ASN1_UTCTIME, end), badBefore);
  EXPECT_EQ(resigned(V_ASN1_UTCTIME, "250229000000Z", V_ASN1_UTCTIME, end), badBefore);
  EXPECT_EQ(resigned(V_ASN1_UTCTIME, "240101000000Z", V_ASN1_GENERALIZEDTIME, "20491231235959Z"),
            "Сертификат [Chain User]: дата notAfter"_cp + rule);
  EXPECT_EQ(resigned(V_ASN1_UTCTIME, "240229000000Z", V_ASN1_GENERALIZEDTIME, "20500101000000Z"), "")
      << "a leap day and a GeneralizedTime from 2050 are DER times";
  EXPECT_EQ(code_, 0);

  // The intermediate's list with a GeneralizedTime next update before 2050, signed again.
  WriteBytes(
      folder_ + "/dated.crl", ResignedCrl(File("inter.crl"), File("inter.key"), [](X509_CRL* crl) {
        EXPECT_EQ(X509_CRL_set1_nextUpdate(crl, RawTime(V_ASN1_GENERALIZEDTIME, "20490101000000Z").get()), 1);
      }));
  Serve("inter.crl", "dated.crl");
  EXPECT_EQ(Check("user.cer", kAll),
            "Список отозванных сертификатов УЦ [Chain Intermediate CA]: дата nextUpdate"_cp + rule);
}

TEST_F(Chain, PathWithoutTrustedRootFetchesNoRevocationList) {
  // The intermediate and both lists are served, the root is installed nowhere: the path breaks
  // above the intermediate, and neither list is asked for, not even the one of the link below.
  Serve("inter.cer", "inter.cer");
  Serve("inter.crl", "inter.crl");
  Serve("root.crl", "root.crl");
  EXPECT_EQ(Check("revoked.cer", kAll), NotFoundIssuer("Chain Root CA", Url("root.cer")));
  EXPECT_EQ(code_, 35);
  EXPECT_EQ(Hits("inter.cer"), 1);
  EXPECT_EQ(Hits("inter.crl"), 0);
  EXPECT_EQ(Hits("root.crl"), 0);
  // With the root installed the same path is checked link by link, its lists fetched.
  Install("root.cer", kStoreRoot);
  EXPECT_EQ(Check("user.cer", kAll), "");
  EXPECT_EQ(Hits("inter.crl"), 1);
  EXPECT_EQ(Hits("root.crl"), 1);
  EXPECT_EQ(Check("revoked.cer", kAll).rfind("На момент подписания ["_cp, 0), 0u);
}

namespace {

// The DER element of `tag` around `content`.
std::string Element(unsigned char tag, const std::string& content) {
  std::string length;
  std::size_t size = content.size();
  if (size < 0x80) {
    length = std::string(1, static_cast<char>(size));
  } else {
    for (; size; size >>= 8) length.insert(length.begin(), static_cast<char>(size & 0xFF));
    length.insert(length.begin(), static_cast<char>(0x80 | length.size()));
  }
  return std::string(1, static_cast<char>(tag)) + length + content;
}

// The elements inside the constructed element `der`, each with its header.
std::vector<std::string> Children(const std::string& der) {
  const auto* start = reinterpret_cast<const unsigned char*>(der.data());
  const unsigned char* p = start;
  long length = 0;
  int tag = 0, tagClass = 0;
  ASN1_get_object(&p, &length, &tag, &tagClass, static_cast<long>(der.size()));
  const unsigned char* end = p + length;
  std::vector<std::string> children;
  while (p < end) {
    const unsigned char* child = p;
    ASN1_get_object(&p, &length, &tag, &tagClass, static_cast<long>(end - p));
    p += length;
    children.emplace_back(reinterpret_cast<const char*>(child), static_cast<std::size_t>(p - child));
  }
  return children;
}

// `issued` (a list with entries) with `extra` more entries before its own, signed again with `key`.
std::string WithManyEntries(const std::string& issued, int extra, const std::string& keyPem) {
  std::vector<std::string> list = Children(issued);
  std::vector<std::string> tbs = Children(list[0]);
  std::string entries;
  entries.reserve(static_cast<std::size_t>(extra) * 24 + 64);
  const std::string date = Element(V_ASN1_UTCTIME, "240101000000Z");
  for (int i = 0; i < extra; ++i) {
    std::string serial = {'\x7F', static_cast<char>(i >> 16), static_cast<char>(i >> 8),
                          static_cast<char>(i)};
    entries += Element(0x30, Element(V_ASN1_INTEGER, serial) + date);
  }
  std::string content;
  for (std::string& field : tbs) {
    // The entries are the only universal SEQUENCE after the dates (version, algorithm and name come first).
    if (&field - tbs.data() > 3 && field[0] == '\x30') {
      for (const std::string& own : Children(field)) entries += own;
      field = Element(0x30, entries);
    }
    content += field;
  }
  std::string signedPart = Element(0x30, content);
  BioPtr bio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  OsslPtr<EVP_PKEY, EVP_PKEY_free> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  const X509_ALGOR* algorithm = nullptr;
  CrlContextPtr parsed = U::CrlFromBytes(issued);
  X509_CRL_get0_signature(parsed->Crl(), nullptr, &algorithm);
  int digest = NID_undef, type = NID_undef;
  OBJ_find_sigid_algs(OBJ_obj2nid(algorithm->algorithm), &digest, &type);
  OsslPtr<EVP_MD_CTX, EVP_MD_CTX_free> context(EVP_MD_CTX_new());
  std::size_t size = 0;
  EXPECT_EQ(EVP_DigestSignInit(context.get(), nullptr, EVP_get_digestbynid(digest), nullptr, key.get()), 1);
  EXPECT_EQ(EVP_DigestSign(context.get(), nullptr, &size, nullptr, 0), 1);
  std::string signature(size, '\0');
  EXPECT_EQ(EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size,
                           reinterpret_cast<const unsigned char*>(signedPart.data()), signedPart.size()),
            1);
  signature.resize(size);
  return Element(0x30, signedPart + list[1] + Element(V_ASN1_BIT_STRING, std::string(1, '\0') + signature));
}

// The resident set and its peak since the last ResetPeak, in bytes.
std::int64_t StatusBytes(const std::string& field) {
  std::string status = ReadBytes("/proc/self/status");
  std::size_t at = status.find(field + ":");
  return at == std::string::npos ? -1 : std::stoll(status.substr(at + field.size() + 1)) * 1024;
}
bool ResetPeak() {
  FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (!file) return false;
  bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

}  // namespace

TEST_F(Chain, LongRevocationListIsSearchedWithoutAnObjectPerEntry) {
  InstallAuthorities();
  Serve("inter.crl", "inter.crl");
  EXPECT_EQ(Check("user.cer", kAll), "");  // caches and pools settle first
  // 300,000 entries more, about 7 MB: decoded as a whole, they made some 70 MB of objects.
  const std::string list = WithManyEntries(File("inter.crl"), 300000, File("inter.key"));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    served_["inter.crl"] = list;
  }
  ASSERT_TRUE(ResetPeak());
  const std::int64_t before = StatusBytes("VmRSS");
  EXPECT_EQ(Check("user.cer", kAll), "");
  std::string failure = Check("revoked.cer", kAll);
  EXPECT_EQ(failure.rfind("На момент подписания ["_cp, 0), 0u) << failure;
  const std::int64_t growth = StatusBytes("VmHWM") - before;
  // The list's bytes as served, as received and as kept, and room for the rest. The sanitizer
  // keeps freed memory aside for a while: no bound holds there.
  if (!qvtest::kSanitized) {
    EXPECT_LT(growth, 4 * static_cast<std::int64_t>(list.size()) + (8 << 20))
        << growth << " bytes for a list of " << list.size();
  }
  EXPECT_EQ(Hits("inter.crl"), 3);
}
