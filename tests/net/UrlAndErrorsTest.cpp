#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "foundation/CodePage.h"
#include "net/HttpsClient.h"

namespace qv {
namespace {

std::string ParseFailure(const std::string& url) {
  try {
    ParseHttpUrl(url);
  } catch (const CVorlentException& e) {
    return e.Message();
  }
  return "no failure";
}

TEST(HttpUrl, SplitsHostPortAndPathWithoutNormalising) {
  CParsedUrl u = ParseHttpUrl("https://ca.example.ru/cdp/../list%20one.crl?x=1&y=2");
  EXPECT_TRUE(u.Secure);
  EXPECT_EQ(u.Scheme, "https");
  EXPECT_EQ(u.Host, "ca.example.ru");
  EXPECT_EQ(u.Port, 0);
  EXPECT_EQ(u.ObjectPath, "cdp/../list%20one.crl?x=1&y=2");

  u = ParseHttpUrl("http://ca.example.ru:8080/a/b.cer");
  EXPECT_FALSE(u.Secure);
  EXPECT_EQ(u.Host, "ca.example.ru");
  EXPECT_EQ(u.Port, 8080);
  EXPECT_EQ(u.ObjectPath, "a/b.cer");

  EXPECT_EQ(ParseHttpUrl("http://h:80x/p").Port, 0);  // not a number
  EXPECT_EQ(ParseHttpUrl("http://h:/p").Port, 0);
  EXPECT_EQ(ParseHttpUrl("http://h/").ObjectPath, "");
  EXPECT_EQ(ParseHttpUrl("http://h").Host, "");  // no "/" after the host: no host
  EXPECT_TRUE(ParseHttpUrl("HTTPS://h/p").Secure);
  u = ParseHttpUrl("http://[::1]:8080/x");
  EXPECT_EQ(u.Host, "[::1]");
  EXPECT_EQ(u.Port, 8080);
  EXPECT_EQ(ParseHttpUrl("http://[::1]/x").Port, 0);
}

TEST(HttpUrl, RefusesEverySchemeButHttpAndHttps) {
  const std::string tail = "Допускаются только адреса со схемой http или https"_cp;
  EXPECT_EQ(ParseFailure("file:///etc/passwd"),
            "Ошибка при разборе URL [file:///etc/passwd]: ["_cp + tail + "]");
  EXPECT_EQ(ParseFailure("ftp://h/p"), "Ошибка при разборе URL [ftp://h/p]: ["_cp + tail + "]");
  EXPECT_EQ(ParseFailure("dict://h/p"), "Ошибка при разборе URL [dict://h/p]: ["_cp + tail + "]");
  EXPECT_EQ(ParseFailure("xhttpsx://h/p"), "Ошибка при разборе URL [xhttpsx://h/p]: ["_cp + tail + "]");
  EXPECT_EQ(ParseFailure("h/p"), "Ошибка при разборе URL [h/p]: ["_cp + tail + "]");
}

TEST(WinInetErrors, TableHoldsTheSeventySixCodesAndErrorOtherwise) {
  EXPECT_EQ(WinInetErrorText(12002),
            "Не удалось соединиться с сервером: The request has timed out. (код 12002)"_cp);
  EXPECT_STREQ(WinInetErrorDescription(12169), "SSL certificate is invalid.");
  EXPECT_STREQ(WinInetErrorDescription(12044), "The server is requesting client authentication.");
  EXPECT_STREQ(WinInetErrorDescription(259), "No more data is available.");
  EXPECT_EQ(WinInetErrorText(12051), "Не удалось соединиться с сервером: Error (код 12051)"_cp);
  EXPECT_EQ(WinInetErrorText(-1), "Не удалось соединиться с сервером: Error (код -1)"_cp);

  int known = 0;
  for (int code = -10; code < 13000; ++code) {
    if (std::string(WinInetErrorDescription(code)) == "Error") continue;
    ++known;
    const bool expected = code == 6 || code == 18 || code == 234 || code == 259 ||
                          (code >= 12001 && code <= 12033) || (code >= 12036 && code <= 12050) ||
                          code == 12052 || code == 12053 || (code >= 12150 && code <= 12171);
    EXPECT_TRUE(expected) << code;
  }
  EXPECT_EQ(known, 76);
}

TEST(WinInetErrors, CurlFailuresMapOntoWinInetCodes) {
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_OPERATION_TIMEDOUT), 12002);
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_COULDNT_RESOLVE_HOST), 12007);
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_COULDNT_CONNECT), 12029);
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_TOO_MANY_REDIRECTS), 12156);
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_SSL_CONNECT_ERROR), 12157);
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_COULDNT_RESOLVE_PROXY), 12165);
  EXPECT_EQ(WinInetCodeOfCurlError(CURLE_OUT_OF_MEMORY), 12004);
  // every failure lands on a code with a description
  for (int rc = 1; rc < CURL_LAST; ++rc) {
    EXPECT_STRNE(WinInetErrorDescription(WinInetCodeOfCurlError(rc)), "Error") << rc;
  }
}

}  // namespace
}  // namespace qv
