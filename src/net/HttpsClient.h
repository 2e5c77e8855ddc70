// The library's HTTP/HTTPS client: one GET that returns the whole response body, and a
// download that tries a comma-separated list of URLs in turn. Built on libcurl.
//
// Every request is bounded: a connect timeout (30 s unless configured), an abort when the
// transfer stalls below 1 byte/s for the receive timeout (60 s unless configured), a body
// size bound (256 MiB unless configured: revocation lists of real authorities run to tens
// of megabytes) and at most 10 redirects. Only the "http" and "https" schemes are fetched,
// redirects included: a URL taken from a certificate never reaches a local file or another
// protocol. Server certificates are not verified (the content that travels is itself
// signed and checked).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/BaseClass.h"
#include "foundation/Errors.h"

namespace qv {

class CHttpsClientProxyConfig {
 public:
  std::string ProxyHost;      // empty: the system's proxy settings (http_proxy, https_proxy, no_proxy)
  std::string ProxyPort;      // as text
  std::string ProxyUserName;  // empty: no proxy credentials
  std::string ProxyPassword;
};

// A client certificate and its private key, each PEM or DER.
struct CClientCertificate {
  std::string Certificate;
  std::string PrivateKey;
};

// Supplies the client certificate with the given SHA-1 thumbprint (hexadecimal text) when a
// server demands one. Returns false when there is no such certificate; may raise a library
// exception, whose message then ends the request. The certificate stores install the
// process-wide default with SetClientCertificateSource.
using ClientCertificateSource =
    std::function<bool(const std::string& thumbprint, CClientCertificate& result)>;
void SetClientCertificateSource(ClientCertificateSource source);
ClientCertificateSource GetClientCertificateSource();

class CHttpsClientConfig {
 public:
  static constexpr std::int32_t kDefaultConnectTimeout = 30000;  // ms
  static constexpr std::int32_t kDefaultStallTimeout = 60000;    // ms below 1 byte/s
  // ms for the whole request, redirects included: a server that sends a byte a second never
  // stalls, and would otherwise hold a client until the body bound
  static constexpr std::int32_t kDefaultTotalTimeout = 30 * 60 * 1000;
  static constexpr std::int64_t kDefaultMaxBodySize = 256LL * 1024 * 1024;
  static constexpr int kMaxRedirects = 10;

  CHttpsClientProxyConfig Proxy;
  std::string ClientCertificate;  // SHA-1 thumbprint offered when a server demands a certificate
  bool UseProxy = true;      // false: direct; true: the explicit proxy if its host is set, else the system's
  std::string UserAgent;     // empty: "QEL-ZUMEC-HTTPSClient"
  bool CheckStatus = false;  // true: a status other than 200 raises CHttpStatusException
  std::int32_t ConnectTimeout = 0;                 // ms; 0 or less: kDefaultConnectTimeout
  std::int32_t ReceiveTimeout = 0;                 // ms a transfer may stall; 0 or less: kDefaultStallTimeout
  std::int32_t TotalTimeout = 0;                   // ms; 0 or less: kDefaultTotalTimeout
  std::int64_t MaxBodySize = kDefaultMaxBodySize;  // bytes; 0 or less: no bound
  // Where the client certificate comes from; taken from SetClientCertificateSource when created.
  ClientCertificateSource CertificateSource = GetClientCertificateSource();
};

// A response whose status is not 200 while the status check is on. The message is the
// status text the server sent.
class CHttpStatusException : public CVorlentException {
 public:
  CHttpStatusException(std::int32_t status, std::string statusText)
      : CVorlentException(std::move(statusText)), status_(status) {}
  std::int32_t Status() const { return status_; }

 private:
  std::int32_t status_;
};

// A response body beyond the configured size bound.
class CHttpTooLargeException : public CVorlentException {
 public:
  using CVorlentException::CVorlentException;
};

// A URL split the way the client requests it: no normalisation, no percent-decoding.
struct CParsedUrl {
  std::string Scheme;
  std::string Host;
  std::string ObjectPath;  // after the first "/" behind the host, query included
  int Port = 0;            // 0: not given
  bool Secure = false;
};

// Splits `url`; raises "Ошибка при разборе URL [%s]: [%s]" for a scheme other than http/https.
CParsedUrl ParseHttpUrl(const std::string& url);

class CHttpsClient : public CBaseClass {
 public:
  CHttpsClient() = default;

  CHttpsClientConfig& Config() { return config_; }
  const CHttpsClientConfig& Config() const { return config_; }

  // One GET; returns the body as received, no decoding of any kind.
  std::string Download(const std::string& url);

 private:
  CHttpsClientConfig config_;
};

class CHTTPClientTool {
 public:
  // Tries the non-empty URLs of a comma-separated list in order with one client and returns
  // the first body that arrives. When all fail, the failure names every URL tried.
  static std::string DownloadFromList(const std::string& url);
};

// "Не удалось соединиться с сервером: %s (код %d)" with the fixed English description of a
// WinInet or system error code ("Error" for a code outside the table).
std::string WinInetErrorText(std::int32_t code);
const char* WinInetErrorDescription(std::int32_t code);
// The WinInet code that stands for a libcurl failure (a CURLcode value).
std::int32_t WinInetCodeOfCurlError(int curlCode);

}  // namespace qv
