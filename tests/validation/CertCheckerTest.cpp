#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/CryptObjects.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "net/LoopbackServers.h"
#include "platform/CertServices.h"
#include "validation/CertChecker.h"
#include "validation/CheckerPki.h"
#include "validation/Resign.h"

namespace qv {
namespace {

using qvtest::CheckerBytes;
using qvtest::CheckerPath;
using qvtest::PkiBytes;
using qvtest::PkiPath;

template <class F>
std::string FailureOf(F&& call) {
  try {
    call();
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "no failure";
}

std::unique_ptr<CCryptCertificate> Certificate(const std::string& der) {
  CertContextPtr context = CCertContext::FromDer(der);
  if (!context) throw std::runtime_error("not a certificate");
  return CCryptCertificate::Create(context);
}

std::string CrlEntry(const std::string& url, const std::string& message) {
  return "Не удалось проверить CRL по URL ["_cp + url + "]: [" + message + "]";
}

// ---------------------------------------------------------------- formal check

TEST(CheckFormal, CompleteCertificatesPass) {
  CCertChecker checker;
  EXPECT_NO_THROW(checker.CheckFormal(*Certificate(CheckerBytes("full.cer"))));
  EXPECT_NO_THROW(checker.CheckFormal(*Certificate(PkiBytes("user.cer"))));
}

TEST(CheckFormal, TheFirstMissingItemNamesTheFailure) {
  const std::string validity = "Срок действия сертификата уже истёк или ещё не наступил"_cp;
  const std::string policy = "В сертификате отсутствует класс средства ЭП (политика 1.2.643.100.113.1)"_cp;
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"nocn.cer", "В сертификате отсутствует поле CN"_cp},
      {"nosn.cer", "В сертификате отсутствует поле SN"_cp},
      {"nog.cer", "В сертификате отсутствует поле G"_cp},
      {"noinn.cer", "В сертификате отсутствует поле INN"_cp},
      {"nosnils.cer", "В сертификате отсутствует поле SNILS"_cp},
      {"nopolicy.cer", policy},
      // The earlier check wins.
      {"nopolicy-nosn.cer", "В сертификате отсутствует поле SN"_cp},
      // Validity is checked before any name.
      {"expired-nocn.cer", validity},
      {"notyet.cer", validity},
  };
  CCertChecker checker;
  for (const auto& [file, message] : cases) {
    std::unique_ptr<CCryptCertificate> certificate = Certificate(CheckerBytes(file));
    EXPECT_EQ(FailureOf([&] { checker.CheckFormal(*certificate); }), message) << file;
  }
  // A self-signed certificate without names fails on its name, not on its issuer.
  EXPECT_EQ(FailureOf([&] { checker.CheckFormal(*Certificate(PkiBytes("nocn.cer"))); }),
            "В сертификате отсутствует поле CN"_cp);
}

// Sets TZ for the test's life and restores it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old, hadOld_ = true;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (hadOld_) {
      ::setenv("TZ", old_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::string old_;
  bool hadOld_ = false;
};

TEST(CheckFormal, ValidityBoundsAndTheMomentShareOneTimeBase) {
  const long long now = static_cast<long long>(std::time(nullptr));
  // Valid for one more hour, and valid since one hour.
  std::unique_ptr<CCryptCertificate> ending =
      Certificate(qvtest::IssueWithValidity("ending", now - 86400, now + 3600));
  std::unique_ptr<CCryptCertificate> starting =
      Certificate(qvtest::IssueWithValidity("starting", now - 3600, now + 86400));
  CCertChecker checker;
  for (const char* zone : {"UTC0", "<+10>-10", "<-10>+10"}) {
    ScopedTimeZone tz(zone);
    EXPECT_NO_THROW(checker.CheckFormal(*ending)) << zone;
    EXPECT_NO_THROW(checker.CheckFormal(*starting)) << zone;
  }
}

TEST(CheckFormal, ValidityTimesMustBeDer) {
  // A time that does not parse once made the certificate valid since 1899; a GeneralizedTime before
  // 2050 parsed as any other.
  for (const auto& [type, text] : {std::pair<int, std::string>{V_ASN1_UTCTIME, "2501O1000000Z"},
                                   std::pair<int, std::string>{V_ASN1_GENERALIZEDTIME, "20250101000000Z"}}) {
    std::unique_ptr<CCryptCertificate> certificate =
        Certificate(qvtest::Resigned(PkiBytes("user.cer"), PkiBytes("inter.key"), [&](X509* cert) {
          EXPECT_EQ(X509_set1_notBefore(cert, qvtest::RawTime(type, text).get()), 1);
        }));
    std::string failure = FailureOf([&] { CCertChecker().CheckFormal(*certificate); });
    EXPECT_NE(failure.find("]: дата notBefore записана не по правилам DER"_cp), std::string::npos) << failure;
  }
}

// ---------------------------------------------------------------- issuer check

TEST(CheckIssuer, BeforeInitFailsInAnOrderlyWay) {
  CCertChecker checker;
  EXPECT_FALSE(checker.IsInitialized());
  EXPECT_EQ(FailureOf([&] { checker.CheckIssuer(*Certificate(PkiBytes("user.cer"))); }),
            "Не загружены доверенные сертификаты: проверка издателя возможна только после Init"_cp);
}

TEST(CheckIssuer, TheTrustedFileDecides) {
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  EXPECT_TRUE(checker.CheckIssuer(*Certificate(PkiBytes("user.cer"))));
  EXPECT_TRUE(checker.CheckIssuer(*Certificate(PkiBytes("inter.cer"))));
  // Self-signed: no issuer, even though the store holds the certificate itself.
  EXPECT_FALSE(checker.CheckIssuer(*Certificate(PkiBytes("root.cer"))));
  EXPECT_FALSE(checker.CheckIssuer(*Certificate(PkiBytes("selfnoca.cer"))));
  EXPECT_EQ(checker.Issuers().Count(), 2);
  // Found again, not collected again.
  EXPECT_TRUE(checker.CheckIssuer(*Certificate(PkiBytes("user.cer"))));
  EXPECT_EQ(checker.Issuers().Count(), 2);
}

TEST(CheckIssuer, TheIssuersNameWithAnotherKeyIsNoIssuer) {
  CCertChecker checker;
  checker.Init(PkiPath("inter-other.cer"));
  EXPECT_FALSE(checker.CheckIssuer(*Certificate(PkiBytes("user.cer"))));
  EXPECT_EQ(checker.Issuers().Count(), 0);
}

TEST(CheckIssuer, ALaterInitReplacesTheStoreAndAFailedOneKeepsIt) {
  CCertChecker checker;
  checker.Init(PkiPath("root.cer"));
  std::unique_ptr<CCryptCertificate> user = Certificate(PkiBytes("user.cer"));
  EXPECT_FALSE(checker.CheckIssuer(*user));
  checker.Init(PkiPath("bundle.pem"));
  EXPECT_TRUE(checker.CheckIssuer(*user));
  EXPECT_NE(FailureOf([&] { checker.Init(qvtest::TestPath("missing.p7b")); }), "no failure");
  EXPECT_TRUE(checker.CheckIssuer(*user));
}

// ---------------------------------------------------------------- revocation check

// Serves CRL bytes by path on 127.0.0.1 and records the paths asked for.
class CrlServer {
 public:
  CrlServer() {
    server_->Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
      std::lock_guard<std::mutex> lock(mutex_);
      requested_.push_back(request.path);
      auto found = content_.find(request.path);
      if (found == content_.end()) {
        response.status = 404;
        response.set_content("not found", "text/plain");
        return;
      }
      response.set_content(found->second, "application/pkix-crl");
    });
    server_.Start();
  }
  void Serve(const std::string& path, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    content_[path] = bytes;
  }
  std::vector<std::string> Requested() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
  }
  std::string Url(const std::string& path) const { return server_.Url(path); }

 private:
  std::mutex mutex_;
  std::map<std::string, std::string> content_;
  std::vector<std::string> requested_;
  qvtest::HttpServer server_;  // last: stopped before the content goes
};

class CheckCrl : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      ::unsetenv(name);
    }
  }
  // A certificate of serial 5EED (listed by listing.crl) with the given distribution points.
  std::unique_ptr<CCryptCertificate> Listed(const std::vector<std::string>& urls) {
    return Certificate(qvtest::IssueWithDistributionPoints("listed", "5EED", urls));
  }
  std::unique_ptr<CCryptCertificate> NotListed(const std::vector<std::string>& urls) {
    return Certificate(qvtest::IssueWithDistributionPoints("clean", "7777", urls));
  }
  static std::string ClosedUrl() {
    return "http://127.0.0.1:" + std::to_string(qvtest::ClosedPort()) + "/a.crl";
  }

  CrlServer server_;
};

TEST_F(CheckCrl, AnUnreachablePointIsSkippedForTheNextOne) {
  server_.Serve("/b.crl", CheckerBytes("good.crl"));
  std::unique_ptr<CCryptCertificate> certificate = NotListed({ClosedUrl(), server_.Url("/b.crl")});
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  EXPECT_TRUE(checker.CheckCrl(*certificate));
}

TEST_F(CheckCrl, AMirrorAnsweringAnErrorIsSkippedAndAtMostFourPointsAreTried) {
  server_.Serve("/b.crl", CheckerBytes("good.crl"));
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  EXPECT_TRUE(checker.CheckCrl(*NotListed({server_.Url("/missing.crl"), server_.Url("/b.crl")})));
  std::vector<std::string> many;
  for (int i = 0; i < 10000; ++i) many.push_back(server_.Url("/dp-" + std::to_string(i) + ".crl"));
  std::unique_ptr<CCryptCertificate> certificate = NotListed(many);
  std::string failure = FailureOf([&] { checker.CheckCrl(*certificate); });
  EXPECT_EQ(failure.rfind(CrlEntry(many[0], "Not Found") + "\r\n", 0), 0u) << failure;
  EXPECT_EQ(server_.Requested().size(), 2u + 4u);
}

TEST_F(CheckCrl, TheFirstListThatArrivesDecides) {
  server_.Serve("/a.crl", CheckerBytes("listing.crl"));  // DER
  server_.Serve("/b.crl", CheckerBytes("good.crl"));     // PEM
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  EXPECT_FALSE(checker.CheckCrl(*Listed({server_.Url("/a.crl"), server_.Url("/b.crl")})));
  EXPECT_EQ(server_.Requested(), std::vector<std::string>{"/a.crl"});
  // The same list does not name another serial.
  EXPECT_TRUE(checker.CheckCrl(*NotListed({server_.Url("/a.crl")})));
}

TEST_F(CheckCrl, WithoutDistributionPointsFails) {
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  EXPECT_EQ(FailureOf([&] { checker.CheckCrl(*Certificate(CheckerBytes("full.cer"))); }),
            "Не указана точка распространения CRL"_cp);
}

TEST_F(CheckCrl, AListNotSignedByTheIssuerIsNotBelieved) {
  // forged.crl carries the intermediate's name, is signed by another key and lists no 5EED.
  server_.Serve("/a.crl", CheckerBytes("forged.crl"));
  server_.Serve("/b.crl", CheckerBytes("listing.crl"));
  server_.Serve("/c.crl", CheckerBytes("foreign.crl"));
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  EXPECT_FALSE(checker.CheckCrl(*Listed({server_.Url("/a.crl"), server_.Url("/b.crl")})));

  std::unique_ptr<CCryptCertificate> forgedOnly = Listed({server_.Url("/a.crl"), server_.Url("/c.crl")});
  EXPECT_EQ(FailureOf([&] { checker.CheckCrl(*forgedOnly); }),
            CrlEntry(server_.Url("/a.crl"), "Подпись CRL не подтверждена ключом издателя сертификата"_cp) +
                "\r\n" + CrlEntry(server_.Url("/c.crl"), "CRL выпущен не издателем сертификата"_cp));
}

TEST_F(CheckCrl, TheIssuerOfTheListComesFromTrustedPlacesOnly) {
  server_.Serve("/a.crl", CheckerBytes("good.crl"));
  std::unique_ptr<CCryptCertificate> certificate = NotListed({server_.Url("/a.crl")});
  const std::string unknown =
      CrlEntry(server_.Url("/a.crl"),
               "Не найден сертификат издателя для проверки подписи CRL (ни среди доверенных сертификатов, "
               "ни в хранилищах CA и ROOT)"_cp);
  {
    CCertChecker checker;  // the root alone is trusted: the intermediate is unknown
    checker.Init(PkiPath("root.cer"));
    EXPECT_EQ(FailureOf([&] { checker.CheckCrl(*certificate); }), unknown);
    CCertChecker uninitialised;
    EXPECT_EQ(FailureOf([&] { uninitialised.CheckCrl(*certificate); }), unknown);
  }
  // The intermediate in the current user's "CA" store is enough, without Init.
  CertStorePtr ca = OpenSystemStore(kLocationCurrentUser, "CA");
  ASSERT_TRUE(ca);
  ASSERT_TRUE(ca->AddCertificate(CCertContext::FromDer(PkiBytes("inter.cer")), kStoreAddNew));
  CCertChecker checker;
  EXPECT_TRUE(checker.CheckCrl(*certificate));
}

TEST_F(CheckCrl, WhenEveryPointFailsEachIsReportedInOrder) {
  server_.Serve("/junk.crl", "<html>not a list</html>");
  const std::vector<std::string> urls = {ClosedUrl(), server_.Url("/missing.crl"), server_.Url("/junk.crl"),
                                         "ldap://127.0.0.1/cn=CA?certificateRevocationList"};
  CCertChecker checker;
  checker.Init(PkiPath("bundle.p7b"));
  std::string message = FailureOf([&] { checker.CheckCrl(*NotListed(urls)); });
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    std::size_t end = message.find("\r\n", start);
    lines.push_back(message.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  ASSERT_EQ(lines.size(), urls.size()) << message;
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const std::string head = "Не удалось проверить CRL по URL ["_cp + urls[i] + "]: [";
    EXPECT_EQ(lines[i].substr(0, head.size()), head) << lines[i];
    EXPECT_GT(lines[i].size(), head.size() + 1) << lines[i];
    EXPECT_EQ(lines[i].back(), ']');
  }
}

TEST_F(CheckCrl, AnEndEntityIssuesNeitherCertificatesNorLists) {
  // The end entity user.cer signs a certificate and the list of its distribution point.
  server_.Serve("/user.crl", qvtest::EmptyCrl(PkiBytes("user.cer"), PkiBytes("user.key")));
  std::unique_ptr<CCryptCertificate> issued =
      Certificate(qvtest::IssueWithDistributionPoints("by-user", "7778", {server_.Url("/user.crl")}, "user"));
  CCertChecker checker;
  checker.Init(PkiPath("user.cer"));
  std::string failure = FailureOf([&] { checker.CheckIssuer(*issued); });
  EXPECT_NE(
      failure.find("] не является сертификатом УЦ (нет basicConstraints CA:TRUE) и не может быть издателем "
                   "сертификата ["_cp),
      std::string::npos)
      << failure;
  failure = FailureOf([&] { checker.CheckCrl(*issued); });
  EXPECT_EQ(failure.rfind("Не удалось проверить CRL по URL ["_cp + server_.Url("/user.crl") + "]: [", 0), 0u)
      << failure;
  EXPECT_NE(failure.find("] не является сертификатом УЦ"_cp), std::string::npos) << failure;
  // The intermediate still issues both.
  checker.Init(PkiPath("bundle.p7b"));
  server_.Serve("/a.crl", CheckerBytes("good.crl"));
  std::unique_ptr<CCryptCertificate> good = NotListed({server_.Url("/a.crl")});
  EXPECT_TRUE(checker.CheckIssuer(*good));
  EXPECT_TRUE(checker.CheckCrl(*good));
}

}  // namespace
}  // namespace qv
