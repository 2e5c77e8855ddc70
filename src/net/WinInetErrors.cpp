// The error texts the client shows: WinInet's codes with their English descriptions, and
// the WinInet code that stands for each libcurl failure.
#include <curl/curl.h>

#include <algorithm>
#include <iterator>

#include "foundation/CodePage.h"
#include "foundation/Format.h"
#include "net/HttpsClient.h"

namespace qv {
namespace {

struct ErrorEntry {
  std::int32_t code;
  const char* text;  // 1251
};

// Sorted by code.
constexpr ErrorEntry kErrors[] = {
    {6, "The handle is invalid."},
    {18, "There are no more files."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {12001, "No more handles could be generated at this time."},
    {12002, "The request has timed out."},
    {12003,
     "An extended error was returned from the server. This is typically a string or buffer containing a "
     "verbose "
     "error message. Call InternetGetLastResponseInfo to retrieve the error text."},
    {12004, "An internal error has occurred."},
    {12005, "The URL is invalid."},
    {12006, "The URL scheme could not be recognized or is not supported."},
    {12007, "The server name could not be resolved."},
    {12008, "The requested protocol could not be located."},
    {12009, "A request to InternetQueryOption or InternetSetOption specified an invalid option value."},
    {12010,
     "The length of an option supplied to InternetQueryOption or InternetSetOption is incorrect for the type "
     "of "
     "option specified."},
    {12011, "The request option cannot be set, only queried."},
    {12012, "The Win32 Internet function support is being shut down or unloaded."},
    {12013,
     "The request to connect and log on to an FTP server could not be completed because the supplied user "
     "name is "
     "incorrect."},
    {12014,
     "The request to connect and log on to an FTP server could not be completed because the supplied "
     "password is "
     "incorrect."},
    {12015, "The request to connect to and log on to an FTP server failed."},
    {12016, "The requested operation is invalid."},
    {12017,
     "The operation was canceled, usually because the handle on which the request was operating was closed "
     "before "
     "the operation completed."},
    {12018, "The type of handle supplied is incorrect for this operation."},
    {12019,
     "The requested operation cannot be carried out because the handle supplied is not in the correct "
     "state."},
    {12020, "The request cannot be made via a proxy."},
    {12021, "A required registry value could not be located."},
    {12022, "A required registry value was located but is an incorrect type or has an invalid value."},
    {12023, "Direct network access cannot be made at this time."},
    {12024, "An asynchronous request could not be made because a zero context value was supplied."},
    {12025, "An asynchronous request could not be made because a callback function has not been set."},
    {12026, "The required operation could not be completed because one or more requests are pending."},
    {12027, "The format of the request is invalid."},
    {12028, "The requested item could not be located."},
    {12029, "The attempt to connect to the server failed."},
    {12030, "The connection with the server has been terminated."},
    {12031, "The connection with the server has been reset."},
    {12032, "Calls for the Win32 Internet function to redo the request."},
    {12033, "The request to the proxy was invalid."},
    {12036, "The request failed because the handle already exists."},
    {12037, "SSL certificate date that was received from the server is bad. The certificate is expired."},
    // "\x97" is the em dash in code page 1251.
    {12038,
     "SSL certificate common name (host name field) is incorrect\x97"
     "for example, if you entered www.server.com and the common name on the certificate says "
     "www.different.com."},
    {12039, "The application is moving from a non-SSL to an SSL connection because of a redirect."},
    {12040, "The application is moving from an SSL to an non-SSL connection because of a redirect."},
    {12041,
     "The content is not entirely secure. Some of the content being viewed may have come from unsecured "
     "servers."},
    {12042,
     "The application is posting and attempting to change multiple lines of text on a server that is not "
     "secure."},
    {12043, "The application is posting data to a server that is not secure."},
    {12044, "The server is requesting client authentication."},
    {12045,
     "The function is unfamiliar with the Certificate Authority that generated the server's certificate."},
    {12046, "Client authorization is not set up on this computer."},
    {12047, "The application could not start an asynchronous thread."},
    {12048,
     "The function could not handle the redirection, because the scheme changed (for example, HTTP to FTP)."},
    {12049, "Another thread has a password dialog box in progress."},
    {12050, "The dialog box should be retried."},
    {12052, "The data being submitted to an SSL connection is being redirected to a non-SSL connection."},
    {12053,
     "The request requires a CD-ROM to be inserted in the CD-ROM drive to locate the resource requested."},
    {12150, "The requested header could not be located."},
    {12151, "The server did not return any headers."},
    {12152, "The server response could not be parsed."},
    {12153, "The supplied header is invalid."},
    {12154, "The request made to HttpQueryInfo is invalid."},
    {12155, "The header could not be added because it already exists."},
    {12156,
     "The redirection failed because either the scheme changed (for example, HTTP to FTP) or all attempts "
     "made to "
     "redirect failed (default is five attempts)."},
    {12157, "The application experienced an internal error loading the SSL libraries."},
    {12158, "The function was unable to cache the file."},
    {12159, "The required protocol stack is not loaded and the application cannot start WinSock."},
    {12160, "The HTTP request was not redirected."},
    {12161, "The HTTP cookie requires confirmation."},
    {12162, "The HTTP cookie was declined by the server."},
    {12163, "The Internet connection has been lost."},
    {12164, "The website or server indicated is unreachable."},
    {12165, "The designated proxy server cannot be reached."},
    {12166, "There was an error in the automatic proxy configuration script."},
    {12167,
     "The automatic proxy configuration script could not be downloaded. The INTERNET_FLAG_MUST_CACHE_REQUEST "
     "flag "
     "was set."},
    {12168, "The redirection requires user confirmation."},
    {12169, "SSL certificate is invalid."},
    {12170, "SSL certificate was revoked."},
    {12171, "The function failed due to a security check."},
};

static_assert(std::size(kErrors) == 76, "the error table holds 76 codes");

}  // namespace

const char* WinInetErrorDescription(std::int32_t code) {
  auto it = std::lower_bound(std::begin(kErrors), std::end(kErrors), code,
                             [](const ErrorEntry& e, std::int32_t c) { return e.code < c; });
  if (it != std::end(kErrors) && it->code == code) return it->text;
  return "Error";
}

std::string WinInetErrorText(std::int32_t code) {
  return FormatText("Не удалось соединиться с сервером: %s (код %d)"_cp,
                    {WinInetErrorDescription(code), code});
}

std::int32_t WinInetCodeOfCurlError(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OPERATION_TIMEDOUT:
      return 12002;  // ERROR_INTERNET_TIMEOUT
    case CURLE_URL_MALFORMAT:
      return 12005;  // ERROR_INTERNET_INVALID_URL
    case CURLE_UNSUPPORTED_PROTOCOL:
      return 12006;  // ERROR_INTERNET_UNRECOGNIZED_SCHEME
    case CURLE_COULDNT_RESOLVE_HOST:
      return 12007;  // ERROR_INTERNET_NAME_NOT_RESOLVED
    case CURLE_UNKNOWN_OPTION:
    case CURLE_NOT_BUILT_IN:
    case CURLE_BAD_FUNCTION_ARGUMENT:
      return 12009;  // ERROR_INTERNET_INVALID_OPTION
    case CURLE_LOGIN_DENIED:
      return 12015;  // ERROR_INTERNET_LOGIN_FAILURE
    case CURLE_ABORTED_BY_CALLBACK:
      return 12017;  // ERROR_INTERNET_OPERATION_CANCELLED
    case CURLE_COULDNT_CONNECT:
      return 12029;  // ERROR_INTERNET_CANNOT_CONNECT
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return 12030;  // ERROR_INTERNET_CONNECTION_ABORTED
    case CURLE_RECV_ERROR:
      return 12031;  // ERROR_INTERNET_CONNECTION_RESET
    case CURLE_PROXY:
      return 12033;  // ERROR_INTERNET_INVALID_PROXY_REQUEST
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
      return 12045;  // ERROR_INTERNET_INVALID_CA
    case CURLE_SSL_CERTPROBLEM:
      return 12046;  // ERROR_INTERNET_CLIENT_AUTH_NOT_SETUP
    case CURLE_GOT_NOTHING:
      return 12151;  // ERROR_HTTP_DOWNLEVEL_SERVER
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      return 12152;  // ERROR_HTTP_INVALID_SERVER_RESPONSE
    case CURLE_TOO_MANY_REDIRECTS:
      return 12156;  // ERROR_HTTP_REDIRECT_FAILED
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
      return 12157;  // ERROR_INTERNET_SECURITY_CHANNEL_ERROR
    case CURLE_COULDNT_RESOLVE_PROXY:
      return 12165;  // ERROR_INTERNET_PROXY_SERVER_UNREACHABLE
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CRL_BADFILE:
      return 12169;  // ERROR_INTERNET_SEC_INVALID_CERT
    case CURLE_SSL_INVALIDCERTSTATUS:
      return 12170;  // ERROR_INTERNET_SEC_CERT_REVOKED
    default:
      return 12004;  // ERROR_INTERNET_INTERNAL_ERROR
  }
}

}  // namespace qv
