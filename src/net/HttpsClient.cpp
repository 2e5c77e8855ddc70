#include "net/HttpsClient.h"

#include <curl/curl.h>
#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/CodePage.h"
#include "foundation/Files.h"
#include "foundation/Format.h"
#include "foundation/ValueCheck.h"

namespace qv {
namespace {

const char kDefaultUserAgent[] = "QEL-ZUMEC-HTTPSClient";
// libcurl by its soname, which has stayed the same since version 7.16
const char kCurlLibrary[] = "libcurl.so.4";
constexpr std::size_t kMaxStatusText = 1024;

// One level of wrapping: the step's message around the cause.
[[noreturn]] void RaiseStep(const std::string& step, const std::string& cause) {
  RaiseErrorFmt(step, {cause});
}

[[noreturn]] void RaiseWinInet(const std::string& step, std::int32_t code) {
  RaiseStep(step, WinInetErrorText(code));
}

// ---- libcurl, loaded at the first request -------------------------------------------

// libcurl and the thirty libraries it needs in turn are loaded when the first request is made,
// not at every start of a process that loads this library: most operations never go to the
// network, and loading them took about 4 ms of each start. Once loaded, libcurl stays for the
// life of the process, as a linked library would: threads of the client may still be inside it
// when the process ends.
struct CurlLibrary {
  decltype(&curl_global_init) globalInit = nullptr;
  decltype(&curl_easy_init) easyInit = nullptr;
  decltype(&curl_easy_setopt) easySetopt = nullptr;
  decltype(&curl_easy_getinfo) easyGetinfo = nullptr;
  decltype(&curl_easy_perform) easyPerform = nullptr;
  decltype(&curl_easy_cleanup) easyCleanup = nullptr;
  decltype(&curl_easy_strerror) easyStrerror = nullptr;
  decltype(&curl_slist_append) slistAppend = nullptr;
  decltype(&curl_slist_free_all) slistFreeAll = nullptr;
  // CURLE_FAILED_INIT when the library or one of its functions could not be loaded
  CURLcode init = CURLE_FAILED_INIT;
};

template <class F>
bool LoadFunction(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(::dlsym(library, name));
  if (!function) Trace("libcurl: %s", {name});
  return function != nullptr;
}

CurlLibrary LoadCurl() {
  CurlLibrary curl;
  void* library = ::dlopen(kCurlLibrary, RTLD_LAZY | RTLD_LOCAL);
  if (!library) {
    const char* error = ::dlerror();
    Trace("%s", {error ? error : kCurlLibrary});
    return curl;
  }
  if (LoadFunction(library, "curl_global_init", curl.globalInit) &&
      LoadFunction(library, "curl_easy_init", curl.easyInit) &&
      LoadFunction(library, "curl_easy_setopt", curl.easySetopt) &&
      LoadFunction(library, "curl_easy_getinfo", curl.easyGetinfo) &&
      LoadFunction(library, "curl_easy_perform", curl.easyPerform) &&
      LoadFunction(library, "curl_easy_cleanup", curl.easyCleanup) &&
      LoadFunction(library, "curl_easy_strerror", curl.easyStrerror) &&
      LoadFunction(library, "curl_slist_append", curl.slistAppend) &&
      LoadFunction(library, "curl_slist_free_all", curl.slistFreeAll)) {
    // curl_global_init is not thread-safe and runs once per process, here.
    curl.init = curl.globalInit(CURL_GLOBAL_DEFAULT);
  }
  return curl;
}

// The loaded library, raising the connection's opening failure when it could not be loaded
// or initialised.
const CurlLibrary& Curl() {
  static const CurlLibrary curl = LoadCurl();
  if (curl.init != CURLE_OK)
    RaiseWinInet("Ошибка при открытии соединения: [%s]"_cp, WinInetCodeOfCurlError(curl.init));
  return curl;
}

// ---- libcurl and OpenSSL handles -------------------------------------------------------

struct CurlEasyDeleter {
  void operator()(CURL* h) const { Curl().easyCleanup(h); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlSlistDeleter {
  void operator()(curl_slist* l) const { Curl().slistFreeAll(l); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioDeleter {
  void operator()(BIO* b) const { BIO_free(b); }
};

std::mutex& SourceMutex() {
  static std::mutex mutex;
  return mutex;
}
ClientCertificateSource& DefaultSource() {
  static ClientCertificateSource* source = new ClientCertificateSource;  // lives to the end of the process
  return *source;
}

// ---- the state of one request, shared with libcurl's callbacks -------------------------

struct Transfer {
  const CHttpsClientConfig* config = nullptr;
  CURL* easy = nullptr;
  std::string body;
  std::string statusText;  // of the last status line received
  bool firstWrite = true;
  bool timedOut = false;  // stalled, or out of the time of the whole request
  std::chrono::milliseconds stallLimit{CHttpsClientConfig::kDefaultStallTimeout};
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
  std::chrono::steady_clock::time_point lastProgress;  // the last byte received in this hop
  curl_off_t lastReceived = -1;
  bool tooLarge = false;
  bool statusRejected = false;
  bool certDemanded = false;
  bool certOffered = false;
  std::string certError;

  void StartHop() {
    body.clear();
    statusText.clear();
    firstWrite = true;
    timedOut = false;
    lastProgress = std::chrono::steady_clock::now();
    lastReceived = -1;
    certDemanded = false;
    certOffered = false;
    certError.clear();
  }
};

bool IsRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) noexcept {
  auto* t = static_cast<Transfer*>(user);
  t->lastProgress = std::chrono::steady_clock::now();
  const size_t n = size * count;
  try {
    std::string line(data, n);
    if (line.compare(0, 5, "HTTP/") == 0) {
      // A new response (a proxy's CONNECT answer, an interim or the final one): its
      // reason phrase is the text after the version and the status code.
      t->statusText.clear();
      size_t p = line.find(' ');
      if (p != std::string::npos) p = line.find(' ', p + 1);
      if (p != std::string::npos) {
        std::string reason = line.substr(p + 1);
        while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) reason.pop_back();
        if (reason.size() > kMaxStatusText) reason.resize(kMaxStatusText);
        t->statusText = reason;
      }
    }
  } catch (...) {
    return 0;
  }
  return n;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) noexcept {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (t->firstWrite) {
    t->firstWrite = false;
    if (t->config->CheckStatus) {
      long status = 0;
      Curl().easyGetinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
      // a redirect is decided on when the response is complete
      if (status != 200 && !IsRedirectStatus(status)) {
        t->statusRejected = true;
        return 0;
      }
    }
  }
  const std::int64_t limit = t->config->MaxBodySize;
  if (limit > 0 && static_cast<std::int64_t>(t->body.size() + n) > limit) {
    t->tooLarge = true;
    return 0;
  }
  try {
    t->body.append(data, n);
  } catch (...) {
    return 0;
  }
  return n;
}

// Once connected, a transfer that receives nothing for the receive timeout is abandoned.
// libcurl's own low-speed check (below 1 byte/s) averages over several seconds; this one
// catches a server that simply stops.
int ProgressCallback(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) noexcept {
  auto* t = static_cast<Transfer*>(user);
  const auto now = std::chrono::steady_clock::now();
  if (now >= t->deadline) {
    t->timedOut = true;
    return 1;
  }
  curl_off_t connected = 0;
  Curl().easyGetinfo(t->easy, CURLINFO_PRETRANSFER_TIME_T, &connected);
  if (connected == 0 || received != t->lastReceived) {  // the connect timeout governs until connected
    t->lastReceived = received;
    t->lastProgress = now;
    return 0;
  }
  if (now - t->lastProgress >= t->stallLimit) {
    t->timedOut = true;
    return 1;
  }
  return 0;
}

// ---- the client certificate, offered only when the server demands one ------------------

int TransferIndex() {
  static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int NoPassword(char*, int, int, void*) {
  return 0;
}

bool LoadCertificate(const std::string& text, std::unique_ptr<X509, X509Deleter>& cert) {
  if (text.find("-----BEGIN") != std::string::npos) {
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (bio) cert.reset(PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr));
  } else {
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    cert.reset(d2i_X509(nullptr, &p, static_cast<long>(text.size())));
  }
  return cert != nullptr;
}

bool LoadPrivateKey(const std::string& text, std::unique_ptr<EVP_PKEY, PkeyDeleter>& key) {
  if (text.find("-----BEGIN") != std::string::npos) {
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (bio) key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr));
  } else {
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    key.reset(d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(text.size())));
  }
  return key != nullptr;
}

// OpenSSL calls this when the server sends a certificate request and no certificate is set.
int ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** pkey) noexcept {
  auto* t = static_cast<Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), TransferIndex()));
  if (!t) return 0;
  t->certDemanded = true;
  const CHttpsClientConfig& config = *t->config;
  if (config.ClientCertificate.empty()) return 0;
  try {
    CClientCertificate found;
    if (!config.CertificateSource || !config.CertificateSource(config.ClientCertificate, found)) {
      t->certError = "Ошибка получения контекста сертификата"_cp;
      return 0;
    }
    std::unique_ptr<X509, X509Deleter> cert;
    std::unique_ptr<EVP_PKEY, PkeyDeleter> key;
    if (!LoadCertificate(found.Certificate, cert) || !LoadPrivateKey(found.PrivateKey, key) ||
        X509_check_private_key(cert.get(), key.get()) != 1) {
      ERR_clear_error();
      t->certError = FormatText("Сертификат клиента [%s] или его закрытый ключ не читаются"_cp,
                                {config.ClientCertificate});
      return 0;
    }
    *x509 = cert.release();  // OpenSSL takes both
    *pkey = key.release();
    t->certOffered = true;
    return 1;
  } catch (const std::exception& e) {
    t->certError = e.what();
  } catch (...) {
    t->certError = "Ошибка получения контекста сертификата"_cp;
  }
  return 0;
}

CURLcode SslCtxCallback(CURL*, void* sslContext, void* user) noexcept {
  auto* ctx = static_cast<SSL_CTX*>(sslContext);
  if (TransferIndex() < 0 || SSL_CTX_set_ex_data(ctx, TransferIndex(), user) != 1)
    return CURLE_SSL_CERTPROBLEM;
  SSL_CTX_set_client_cert_cb(ctx, ClientCertCallback);
  return CURLE_OK;
}

// ---- helpers ------------------------------------------------------------------------

// The scheme of a URL, lower case, without surrounding spaces; empty when it names none.
std::string SchemeOf(const std::string& url) {
  size_t p = url.find("://");
  if (p == std::string::npos) return {};
  std::string scheme = Trim(url.substr(0, p));
  for (char& c : scheme) c = static_cast<char>(Cp1251Upper(static_cast<unsigned char>(c)));
  return scheme;
}

bool IsHttpScheme(const std::string& scheme) {
  return scheme == "HTTP" || scheme == "HTTPS";
}

// StrToIntDef: a port that is not a plain number gives 0.
int PortNumber(const std::string& text) {
  if (text.empty()) return 0;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return 0;
  return static_cast<int>(value);
}

template <class T>
void SetOption(CURL* easy, CURLoption option, T value) {
  CURLcode rc = Curl().easySetopt(easy, option, value);
  if (rc != CURLE_OK) {
    Trace("curl_easy_setopt(%d): %s", {static_cast<int>(option), Curl().easyStrerror(rc)});
    RaiseWinInet("Ошибка при установки параметров соединения: [%s]"_cp, WinInetCodeOfCurlError(rc));
  }
}

}  // namespace

// ---- client certificate source ------------------------------------------------------

void SetClientCertificateSource(ClientCertificateSource source) {
  std::lock_guard<std::mutex> lock(SourceMutex());
  DefaultSource() = std::move(source);
}

ClientCertificateSource GetClientCertificateSource() {
  std::lock_guard<std::mutex> lock(SourceMutex());
  return DefaultSource();
}

// ---- URL ----------------------------------------------------------------------------

CParsedUrl ParseHttpUrl(const std::string& url) {
  CParsedUrl result;
  size_t p = url.find("://");
  std::string rest;
  if (p == std::string::npos) {
    rest = url.size() > 2 ? url.substr(2) : std::string();
  } else {
    result.Scheme = url.substr(0, p);
    rest = url.substr(p + 3);
  }
  // Only http and https are fetched: a URL taken from a certificate must never read a local
  // file or reach another protocol.
  std::string scheme = SchemeOf(url);
  if (!IsHttpScheme(scheme)) {
    RaiseErrorFmt("Ошибка при разборе URL [%s]: [%s]"_cp,
                  {url, "Допускаются только адреса со схемой http или https"_cp});
  }
  result.Secure = scheme == "HTTPS";
  size_t slash = rest.find('/');
  if (slash == std::string::npos) return result;  // no host: the request fails
  std::string hostPart = rest.substr(0, slash);
  result.ObjectPath = rest.substr(slash + 1);
  // The port follows the first ":", or for a bracketed IPv6 address the first ":" after "]".
  size_t colon = hostPart.find(':', hostPart.compare(0, 1, "[") == 0 ? hostPart.find(']') : 0);
  if (colon != std::string::npos) {
    result.Port = PortNumber(hostPart.substr(colon + 1));
    hostPart.resize(colon);
  }
  result.Host = hostPart;
  return result;
}

// ---- CHttpsClient -------------------------------------------------------------------

std::string CHttpsClient::Download(const std::string& url) {
  if (url.empty()) RaiseError("Передан пустой URL"_cp);
  const CParsedUrl parsed = ParseHttpUrl(url);
  const CHttpsClientConfig& config = config_;

  const CurlLibrary& curl = Curl();
  // The handle is released first: the state, error buffer and header list it points at outlive it.
  Transfer transfer;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  // No "Accept" header: the request names no accept types.
  CurlSlist headers(curl.slistAppend(nullptr, "Accept:"));
  if (!headers) RaiseWinInet("Ошибка при открытии соединения: [%s]"_cp, 12004);
  transfer.config = &config;
  CurlEasy easy(curl.easyInit());
  if (!easy) RaiseWinInet("Ошибка при открытии соединения: [%s]"_cp, 12004);
  CURL* h = easy.get();
  transfer.easy = h;

  if (parsed.Host.empty()) RaiseWinInet("Ошибка при установке соединения: [%s]"_cp, 12005);
  const int port = parsed.Port > 0 ? parsed.Port : (parsed.Secure ? 443 : 80);
  // A space cannot travel in a request line: it goes as "%20". Control characters are
  // refused by libcurl as an invalid URL, so nothing can be injected into the request.
  std::string objectPath;
  for (char c : parsed.ObjectPath) {
    if (c == ' ') {
      objectPath += "%20";
    } else {
      objectPath += c;
    }
  }
  std::string requestUrl =
      FormatText("%s://%s:%d/%s", {parsed.Secure ? "https" : "http", parsed.Host, port, objectPath});

  SetOption(h, CURLOPT_ERRORBUFFER, errorBuffer);
  SetOption(h, CURLOPT_NOSIGNAL, 1L);
  SetOption(h, CURLOPT_PROTOCOLS_STR, "http,https");
  SetOption(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  SetOption(h, CURLOPT_FOLLOWLOCATION, 0L);  // followed below, each target checked
  SetOption(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  SetOption(h, CURLOPT_PATH_AS_IS, 1L);
  SetOption(h, CURLOPT_HTTPGET, 1L);
  SetOption(h, CURLOPT_HTTPHEADER, headers.get());
  SetOption(h, CURLOPT_USERAGENT, config.UserAgent.empty() ? kDefaultUserAgent : config.UserAgent.c_str());
  SetOption(h, CURLOPT_HEADERFUNCTION, HeaderCallback);
  SetOption(h, CURLOPT_HEADERDATA, &transfer);
  SetOption(h, CURLOPT_WRITEFUNCTION, WriteCallback);
  SetOption(h, CURLOPT_WRITEDATA, &transfer);

  // Proxy: direct, the system's settings (the environment), or the explicit one.
  if (!config.UseProxy) {
    SetOption(h, CURLOPT_PROXY, "");
  } else if (!config.Proxy.ProxyHost.empty()) {
    std::string proxy = FormatText("%s:%s", {config.Proxy.ProxyHost, config.Proxy.ProxyPort});
    SetOption(h, CURLOPT_PROXY, proxy.c_str());
    SetOption(h, CURLOPT_NOPROXY, "");
  }

  // Server certificates are accepted whatever their authority, dates and host name.
  SetOption(h, CURLOPT_SSL_VERIFYPEER, 0L);
  SetOption(h, CURLOPT_SSL_VERIFYHOST, 0L);
  SetOption(h, CURLOPT_SSL_CTX_FUNCTION, SslCtxCallback);
  SetOption(h, CURLOPT_SSL_CTX_DATA, &transfer);
  if (config.UseProxy && !config.Proxy.ProxyUserName.empty()) {
    SetOption(h, CURLOPT_PROXYUSERNAME, config.Proxy.ProxyUserName.c_str());
    SetOption(h, CURLOPT_PROXYPASSWORD, config.Proxy.ProxyPassword.c_str());
    SetOption(h, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
  }

  // Nothing may hang a client: connect timeout, stall abort, time of the whole request, body
  // size bound.
  const long connectMs =
      config.ConnectTimeout > 0 ? config.ConnectTimeout : CHttpsClientConfig::kDefaultConnectTimeout;
  const long stallMs =
      config.ReceiveTimeout > 0 ? config.ReceiveTimeout : CHttpsClientConfig::kDefaultStallTimeout;
  SetOption(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
  SetOption(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  SetOption(h, CURLOPT_LOW_SPEED_TIME, (stallMs + 999) / 1000);
  transfer.stallLimit = std::chrono::milliseconds(stallMs);
  const long totalMs =
      config.TotalTimeout > 0 ? config.TotalTimeout : CHttpsClientConfig::kDefaultTotalTimeout;
  transfer.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(totalMs);
  SetOption(h, CURLOPT_NOPROGRESS, 0L);
  SetOption(h, CURLOPT_XFERINFOFUNCTION, ProgressCallback);
  SetOption(h, CURLOPT_XFERINFODATA, &transfer);
  if (config.MaxBodySize > 0) {
    SetOption(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(config.MaxBodySize));
  }

  for (int redirects = 0;; ++redirects) {
    SetOption(h, CURLOPT_URL, requestUrl.c_str());
    transfer.StartHop();
    errorBuffer[0] = '\0';
    const CURLcode rc = curl.easyPerform(h);

    if (transfer.statusRejected) {
      long status = 0;
      curl.easyGetinfo(h, CURLINFO_RESPONSE_CODE, &status);
      Trace("HTTP %d %s [%s]", {status, transfer.statusText, requestUrl});
      throw CHttpStatusException(static_cast<std::int32_t>(status), transfer.statusText);
    }
    if (transfer.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
      throw CHttpTooLargeException(
          FormatText("Ошибка при получении ответа: [%s]"_cp,
                     {FormatText("Ответ сервера больше допустимых %d байт"_cp, {config.MaxBodySize})}));
    }
    if (rc != CURLE_OK) {
      Trace("curl: %s: %s [%s]", {curl.easyStrerror(rc), errorBuffer, requestUrl});
      // The scheme was checked before the request: "unsupported protocol" here is libcurl's
      // answer to a reply that is not HTTP at all, a failure of the response.
      const bool notHttp = rc == CURLE_UNSUPPORTED_PROTOCOL;
      const std::int32_t code = transfer.timedOut ? 12002 : notHttp ? 12152 : WinInetCodeOfCurlError(rc);
      if (transfer.certDemanded && !transfer.certOffered) {
        if (!transfer.certError.empty())
          RaiseStep("Ошибка установки сертификата: [%s]"_cp, transfer.certError);
        if (config.ClientCertificate.empty()) RaiseWinInet("Ошибка при отправке запроса: [%s]"_cp, 12044);
      }
      // The server's answer had begun (a proxy's answer to CONNECT does not count): the
      // failure belongs to reading the response, else to sending the request.
      long answered = 0;
      curl.easyGetinfo(h, CURLINFO_RESPONSE_CODE, &answered);
      if (transfer.certOffered && answered == 0) RaiseWinInet("Ошибка установки сертификата: [%s]"_cp, code);
      if (answered != 0 || notHttp) RaiseWinInet("Ошибка при получении ответа: [%s]"_cp, code);
      RaiseWinInet("Ошибка при отправке запроса: [%s]"_cp, code);
    }

    long status = 0;
    curl.easyGetinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* location = nullptr;
    curl.easyGetinfo(h, CURLINFO_REDIRECT_URL, &location);
    if (IsRedirectStatus(status) && location && *location) {
      std::string target = location;
      if (!IsHttpScheme(SchemeOf(target))) {
        RaiseStep("Ошибка при отправке запроса: [%s]"_cp,
                  FormatText("Переадресация на [%s] отклонена: допускаются только схемы http и https"_cp,
                             {target}));
      }
      if (redirects >= CHttpsClientConfig::kMaxRedirects)
        RaiseWinInet("Ошибка при отправке запроса: [%s]"_cp, 12156);
      requestUrl = target;
      continue;
    }
    if (config.CheckStatus && status != 200) {
      Trace("HTTP %d %s [%s]", {status, transfer.statusText, requestUrl});
      throw CHttpStatusException(static_cast<std::int32_t>(status), transfer.statusText);
    }
    return std::move(transfer.body);
  }
}

// ---- CHTTPClientTool ----------------------------------------------------------------

std::string CHTTPClientTool::DownloadFromList(const std::string& url) {
  CValueCheckTool::CheckNotEmpty(url, "url");
  CHttpsClient client;
  std::string errors;
  size_t start = 0;
  while (start <= url.size()) {
    size_t comma = url.find(',', start);
    if (comma == std::string::npos) comma = url.size();
    const std::string item = url.substr(start, comma - start);
    start = comma + 1;
    if (item.empty()) continue;
    try {
      return client.Download(item);
    } catch (const CVorlentException& e) {
      std::string shown = item;
      for (char& c : shown) {
        if (c == '%') c = ' ';
      }
      if (!errors.empty()) errors += ", ";
      errors += FormatText("%1:s[%0:s]", {shown, e.Message()});
    }
  }
  if (errors.empty()) return {};
  Trace("%s", {errors});
  RaiseError(errors);
}

}  // namespace qv
