#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/TestEnv.h"
#include "foundation/CodePage.h"
#include "foundation/Format.h"
#include "net/HttpsClient.h"
#include "net/LoopbackServers.h"

namespace qv {
namespace {

using qvtest::CertFiles;
using qvtest::CertKind;
using qvtest::HttpServer;

// The failure message of a call, or "no failure".
template <class F>
std::string FailureOf(F&& call) {
  try {
    call();
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "no failure";
}

std::string Sent(int code) {
  return "Ошибка при отправке запроса: ["_cp + WinInetErrorText(code) + "]";
}

class HttpsClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      ::unsetenv(name);
    }
  }
  void TearDown() override { SetClientCertificateSource(nullptr); }
};

TEST_F(HttpsClientTest, PlainHttpGetSendsPathQueryAndUserAgent) {
  HttpServer server;
  std::string userAgent, target, accept = "none";
  server->Get(R"(/.*)", [&](const httplib::Request& req, httplib::Response& res) {
    userAgent = req.get_header_value("User-Agent");
    target = req.target;
    if (req.has_header("Accept")) accept = req.get_header_value("Accept");
    res.set_content(std::string("\x00\x01\xff body", 8), "application/pkix-crl");
  });
  server.Start();

  CHttpsClient client;
  EXPECT_EQ(client.Download(server.Url("/cdp/../ca%201.crl?a=1")), std::string("\x00\x01\xff body", 8));
  EXPECT_EQ(userAgent, "QEL-ZUMEC-HTTPSClient");
  EXPECT_EQ(target, "/cdp/../ca%201.crl?a=1");  // as in the URL, not normalised
  EXPECT_EQ(accept, "none");

  // A space travels as "%20"; control characters never reach the request.
  client.Download(server.Url("/a b.crl"));
  EXPECT_EQ(target, "/a%20b.crl");
  EXPECT_EQ(FailureOf([&] { client.Download(server.Url("/a\r\nX-Injected: 1\r\n.crl")); }), Sent(12005));

  client.Config().UserAgent = "Agent/1.0";
  client.Download(server.Url("/x"));
  EXPECT_EQ(userAgent, "Agent/1.0");
}

TEST_F(HttpsClientTest, UrlWithoutPortGoesToPort80AndHttpsTo443) {
  // An explicit proxy sees where the client is going.
  HttpServer proxy;
  std::string target, host;
  proxy->Get(R"(.*)", [&](const httplib::Request& req, httplib::Response& res) {
    target = req.target;
    host = req.get_header_value("Host");
    res.set_content("via proxy", "text/plain");
  });
  proxy.Start();
  CHttpsClient client;
  client.Config().Proxy.ProxyHost = "127.0.0.1";
  client.Config().Proxy.ProxyPort = std::to_string(proxy.Port());
  EXPECT_EQ(client.Download("http://qv-test.invalid/a/b.crl"), "via proxy");
  EXPECT_EQ(host, "qv-test.invalid");  // default port: not named in Host
  EXPECT_TRUE(target == "http://qv-test.invalid/a/b.crl" || target == "http://qv-test.invalid:80/a/b.crl")
      << target;

  qvtest::OneShotServer tunnel("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
  client.Config().Proxy.ProxyPort = std::to_string(tunnel.Port());
  EXPECT_NE(FailureOf([&] { client.Download("https://qv-test.invalid/a.cer"); }), "no failure");
  EXPECT_EQ(tunnel.Request().rfind("CONNECT qv-test.invalid:443 HTTP/1.1\r\n", 0), 0u) << tunnel.Request();
}

TEST_F(HttpsClientTest, ProxyModesAndProxyCredentials) {
  HttpServer origin;
  origin->Get("/doc", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("direct", "text/plain");
  });
  origin.Start();
  HttpServer proxy;
  std::string authorization;
  proxy->Get(R"(.*)", [&](const httplib::Request& req, httplib::Response& res) {
    if (!req.has_header("Proxy-Authorization")) {
      res.status = 407;
      res.set_header("Proxy-Authenticate", "Basic realm=\"qv\"");
      return;
    }
    authorization = req.get_header_value("Proxy-Authorization");
    res.set_content("proxied", "text/plain");
  });
  proxy.Start();

  // The system's settings (the environment) apply unless the client goes direct.
  ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
  CHttpsClient systemProxy;
  systemProxy.Config().CheckStatus = true;
  try {
    systemProxy.Download(origin.Url("/doc"));
    FAIL() << "the proxy was not asked";
  } catch (const CHttpStatusException& e) {
    EXPECT_EQ(e.Status(), 407);
  }
  CHttpsClient client;
  client.Config().UseProxy = false;
  EXPECT_EQ(client.Download(origin.Url("/doc")), "direct");

  CHttpsClient explicitProxy;
  explicitProxy.Config().Proxy.ProxyHost = "127.0.0.1";
  explicitProxy.Config().Proxy.ProxyPort = std::to_string(proxy.Port());
  explicitProxy.Config().Proxy.ProxyUserName = "user";
  explicitProxy.Config().Proxy.ProxyPassword = "secret";
  EXPECT_EQ(explicitProxy.Download(origin.Url("/doc")), "proxied");
  EXPECT_EQ(authorization, "Basic dXNlcjpzZWNyZXQ=");
}

TEST_F(HttpsClientTest, HttpsAcceptsSelfSignedExpiredAndWrongHostCertificates) {
  for (CertKind kind : {CertKind::kSelfSigned, CertKind::kExpired, CertKind::kWrongHost}) {
    const CertFiles files = qvtest::MakeServerCert(kind, "server" + std::to_string(static_cast<int>(kind)));
    HttpServer server(std::make_unique<httplib::SSLServer>(files.cert.c_str(), files.key.c_str()));
    server->Get("/ca.cer", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("certificate bytes", "application/pkix-cert");
    });
    server.Start();
    CHttpsClient client;
    EXPECT_EQ(client.Download(server.Url("/ca.cer", "https")), "certificate bytes") << static_cast<int>(kind);
  }
}

TEST_F(HttpsClientTest, StatusIsCheckedOnlyWhenAskedFor) {
  HttpServer server;
  server->Get("/missing", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("<html>no such file</html>", "text/html");
  });
  server->Get("/ok",
              [](const httplib::Request&, httplib::Response& res) { res.set_content("fine", "text/plain"); });
  server->Get("/empty", [](const httplib::Request&, httplib::Response& res) { res.status = 503; });
  server.Start();

  CHttpsClient client;
  EXPECT_EQ(client.Download(server.Url("/missing")), "<html>no such file</html>");

  client.Config().CheckStatus = true;
  EXPECT_EQ(client.Download(server.Url("/ok")), "fine");
  try {
    client.Download(server.Url("/missing"));
    FAIL() << "404 accepted";
  } catch (const CHttpStatusException& e) {
    EXPECT_EQ(e.Status(), 404);
    EXPECT_EQ(e.Message(), "Not Found");
  }
  try {
    client.Download(server.Url("/empty"));
    FAIL() << "503 accepted";
  } catch (const CHttpStatusException& e) {
    EXPECT_EQ(e.Status(), 503);
    EXPECT_EQ(e.Message(), "Service Unavailable");
  }
}

TEST_F(HttpsClientTest, BodyIsReturnedAsReceivedWithoutContentDecoding) {
  HttpServer server;
  const std::string gzipped(
      "\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x4b\x04\x00\x43\xbe\xb7\xe8\x01\x00\x00\x00", 21);
  server->Get("/gz", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("Content-Encoding", "gzip");
    res.set_content(gzipped, "application/octet-stream");
  });
  server.Start();
  CHttpsClient client;
  EXPECT_EQ(client.Download(server.Url("/gz")), gzipped);
}

TEST_F(HttpsClientTest, FailuresCarryTheStepAndTheWinInetText) {
  CHttpsClient client;
  EXPECT_EQ(FailureOf([&] { client.Download(""); }), "Передан пустой URL"_cp);
  EXPECT_EQ(
      FailureOf([&] { client.Download("http://127.0.0.1:" + std::to_string(qvtest::ClosedPort()) + "/x"); }),
      Sent(12029));
  EXPECT_EQ(FailureOf([&] { client.Download("http://127.0.0.1"); }),
            "Ошибка при установке соединения: ["_cp + WinInetErrorText(12005) + "]");

  // The answer breaks off in the middle of the body.
  qvtest::OneShotServer cut("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part");
  EXPECT_EQ(FailureOf([&] { client.Download("http://127.0.0.1:" + std::to_string(cut.Port()) + "/x"); }),
            "Ошибка при получении ответа: ["_cp + WinInetErrorText(12030) + "]");

  // An answer that is not HTTP is a response that cannot be parsed, not an unknown URL scheme.
  qvtest::OneShotServer garbage("<html>no status line</html>\r\n\r\n");
  EXPECT_EQ(FailureOf([&] { client.Download("http://127.0.0.1:" + std::to_string(garbage.Port()) + "/x"); }),
            "Ошибка при получении ответа: ["_cp + WinInetErrorText(12152) + "]");
}

TEST_F(HttpsClientTest, SilentServersAreAbandonedWithinTheConfiguredTime) {
  qvtest::SilentListener silent;
  CHttpsClient client;
  client.Config().ConnectTimeout = 1000;
  client.Config().ReceiveTimeout = 1000;
  const std::string url = "127.0.0.1:" + std::to_string(silent.Port()) + "/never";

  for (const char* scheme : {"http://", "https://"}) {  // no answer at all / no TLS handshake
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { client.Download(scheme + url); }), Sent(12002)) << scheme;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << scheme;
  }

  // The body stops coming after its first bytes.
  qvtest::OneShotServer stalled("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst bytes", true);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FailureOf([&] { client.Download("http://127.0.0.1:" + std::to_string(stalled.Port()) + "/x"); }),
            "Ошибка при получении ответа: ["_cp + WinInetErrorText(12002) + "]");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(HttpsClientTest, BodiesOverTheLimitAreRefused) {
  HttpServer server;
  server->Get("/sized", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(2000, 'x'), "application/octet-stream");
  });
  server->Get("/chunked", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
      std::string part(500, 'y');
      for (int i = 0; i < 4; ++i) sink.write(part.data(), part.size());
      sink.done();
      return true;
    });
  });
  server.Start();

  CHttpsClient client;
  client.Config().MaxBodySize = 2000;
  EXPECT_EQ(client.Download(server.Url("/sized")).size(), 2000u);
  EXPECT_EQ(client.Download(server.Url("/chunked")).size(), 2000u);

  client.Config().MaxBodySize = 1999;
  const std::string refused = "Ошибка при получении ответа: [Ответ сервера больше допустимых 1999 байт]"_cp;
  EXPECT_EQ(FailureOf([&] { client.Download(server.Url("/sized")); }), refused);
  EXPECT_EQ(FailureOf([&] { client.Download(server.Url("/chunked")); }), refused);
}

TEST_F(HttpsClientTest, RedirectsAreFollowedTenTimesAndOnlyToHttp) {
  HttpServer server;
  server->Get(R"(/hop/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    int n = std::atoi(req.matches[1].str().c_str());
    if (n == 0) {
      res.set_content("arrived", "text/plain");
    } else {
      res.set_redirect("/hop/" + std::to_string(n - 1));
    }
  });
  server->Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///etc/passwd");
  });
  server->Get("/to-gopher", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("gopher://127.0.0.1/1");
  });
  server.Start();

  CHttpsClient client;
  client.Config().CheckStatus = true;
  EXPECT_EQ(client.Download(server.Url("/hop/10")), "arrived");
  EXPECT_EQ(FailureOf([&] { client.Download(server.Url("/hop/11")); }), Sent(12156));
  EXPECT_EQ(
      FailureOf([&] { client.Download(server.Url("/to-file")); }),
      "Ошибка при отправке запроса: [Переадресация на [file:///etc/passwd] отклонена: допускаются только "
      "схемы http и https]"_cp);
  EXPECT_NE(FailureOf([&] { client.Download(server.Url("/to-gopher")); }).find("gopher://127.0.0.1/1"),
            std::string::npos);
}

TEST_F(HttpsClientTest, DownloadFromListTriesTheUrlsInOrder) {
  HttpServer server;
  server->Get("/second",
              [](const httplib::Request&, httplib::Response& res) { res.set_content("two", "text/plain"); });
  server.Start();
  const std::string dead = "http://127.0.0.1:" + std::to_string(qvtest::ClosedPort()) + "/a%20b.crl";

  EXPECT_EQ(CHTTPClientTool::DownloadFromList(dead + "," + server.Url("/second")), "two");
  EXPECT_EQ(CHTTPClientTool::DownloadFromList(",,"), "");

  std::string traced;
  SetTraceSink([&](const std::string& line) { traced += line; });
  const std::string message = FailureOf([&] { CHTTPClientTool::DownloadFromList(dead + ",,ftp://h/x%"); });
  SetTraceSink(nullptr);
  std::string shownDead = dead;
  shownDead.replace(shownDead.find('%'), 1, " ");
  const std::string expected =
      Sent(12029) + "[" + shownDead + "], " +
      "Ошибка при разборе URL [ftp://h/x%]: [Допускаются только адреса со схемой http или https][ftp://h/x ]"_cp;
  EXPECT_EQ(message, expected);
  EXPECT_NE(traced.find(expected), std::string::npos);

  EXPECT_EQ(FailureOf([] { CHTTPClientTool::DownloadFromList(""); }), "Передан пустой аргумент: url"_cp);
}

class ClientCertificateTest : public HttpsClientTest {
 protected:
  void SetUp() override {
    HttpsClientTest::SetUp();
    server_files_ = qvtest::MakeServerCert(CertKind::kSelfSigned, "server");
    client_files_ = qvtest::MakeServerCert(CertKind::kWrongHost, "client");
    // The server trusts exactly the client's self-signed certificate and demands one.
    server_ = std::make_unique<HttpServer>(std::make_unique<httplib::SSLServer>(
        server_files_.cert.c_str(), server_files_.key.c_str(), client_files_.cert.c_str()));
    (*server_)->Get("/private", [this](const httplib::Request& req, httplib::Response& res) {
      peer_ = req.ssl && SSL_get0_peer_certificate(req.ssl) != nullptr;
      res.set_content("for certificate holders", "text/plain");
    });
    server_->Start();
  }

  CertFiles server_files_, client_files_;
  std::unique_ptr<HttpServer> server_;
  bool peer_ = false;
};

TEST_F(ClientCertificateTest, OfferedFromTheSourceByThumbprintWhenDemanded) {
  std::string asked;
  CHttpsClient client;
  client.Config().ClientCertificate = "0A1B2C3D4E5F60718293A4B5C6D7E8F901234567";
  client.Config().CertificateSource = [&](const std::string& thumbprint, CClientCertificate& result) {
    asked = thumbprint;
    result.Certificate = qvtest::ReadBytes(client_files_.cert);
    result.PrivateKey = qvtest::ReadBytes(client_files_.key);
    return true;
  };
  EXPECT_EQ(client.Download(server_->Url("/private", "https")), "for certificate holders");
  EXPECT_EQ(asked, "0A1B2C3D4E5F60718293A4B5C6D7E8F901234567");
  EXPECT_TRUE(peer_);
}

TEST_F(ClientCertificateTest, DerFormsAndTheProcessWideSourceServeToo) {
  std::string derCert, derKey;
  ASSERT_EQ(qvtest::RunCommand("openssl x509 -in '" + client_files_.cert + "' -outform DER -out '" +
                               qvtest::TestPath("c.der") + "' && openssl pkcs8 -topk8 -nocrypt -in '" +
                               client_files_.key + "' -outform DER -out '" + qvtest::TestPath("k.der") + "'"),
            0);
  SetClientCertificateSource([&](const std::string&, CClientCertificate& result) {
    result.Certificate = qvtest::ReadBytes(qvtest::TestPath("c.der"));
    result.PrivateKey = qvtest::ReadBytes(qvtest::TestPath("k.der"));
    return true;
  });
  CHttpsClient client;
  client.Config().ClientCertificate = "AA";
  EXPECT_EQ(client.Download(server_->Url("/private", "https")), "for certificate holders");
}

TEST_F(ClientCertificateTest, MissingCertificatesFailWithTheirMessages) {
  CHttpsClient client;
  EXPECT_EQ(FailureOf([&] { client.Download(server_->Url("/private", "https")); }), Sent(12044));

  client.Config().ClientCertificate = "AA";
  client.Config().CertificateSource = [](const std::string&, CClientCertificate&) { return false; };
  EXPECT_EQ(FailureOf([&] { client.Download(server_->Url("/private", "https")); }),
            "Ошибка установки сертификата: [Ошибка получения контекста сертификата]"_cp);

  // A certificate the server does not trust, and a key that is not the certificate's.
  client.Config().CertificateSource = [&](const std::string&, CClientCertificate& result) {
    result.Certificate = qvtest::ReadBytes(server_files_.cert);
    result.PrivateKey = qvtest::ReadBytes(server_files_.key);
    return true;
  };
  EXPECT_EQ(FailureOf([&] {
              client.Download(server_->Url("/private", "https"));
            }).rfind("Ошибка установки сертификата: [Не удалось соединиться с сервером: "_cp, 0),
            0u);
  client.Config().CertificateSource = [&](const std::string&, CClientCertificate& result) {
    result.Certificate = qvtest::ReadBytes(client_files_.cert);
    result.PrivateKey = qvtest::ReadBytes(server_files_.key);
    return true;
  };
  EXPECT_EQ(FailureOf([&] { client.Download(server_->Url("/private", "https")); }),
            "Ошибка установки сертификата: [Сертификат клиента [AA] или его закрытый ключ не читаются]"_cp);

  client.Config().CertificateSource = [](const std::string&, CClientCertificate&) -> bool {
    throw CVorlentException("store unavailable");
  };
  EXPECT_EQ(FailureOf([&] { client.Download(server_->Url("/private", "https")); }),
            "Ошибка установки сертификата: [store unavailable]"_cp);
}

TEST_F(HttpsClientTest, NoCertificateIsLookedUpUnlessTheServerAsks) {
  const CertFiles files = qvtest::MakeServerCert(CertKind::kSelfSigned, "server");
  HttpServer server(std::make_unique<httplib::SSLServer>(files.cert.c_str(), files.key.c_str()));
  server->Get("/open",
              [](const httplib::Request&, httplib::Response& res) { res.set_content("open", "text/plain"); });
  server.Start();
  bool asked = false;
  CHttpsClient client;
  client.Config().ClientCertificate = "AA";
  client.Config().CertificateSource = [&](const std::string&, CClientCertificate&) { return asked = true; };
  EXPECT_EQ(client.Download(server.Url("/open", "https")), "open");
  EXPECT_FALSE(asked);
}

}  // namespace
}  // namespace qv
