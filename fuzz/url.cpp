// The URL parser on any text (URLs come from certificates and configuration): only http and
// https are accepted, every other text is refused with the parser's message, and the parts
// of an accepted URL are pieces of it in their places.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "foundation/CodePage.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "net/HttpsClient.h"

using qv::operator""_cp;

namespace {

std::string UpperTrimmedScheme(const std::string& url) {
  std::size_t p = url.find("://");
  if (p == std::string::npos) return {};
  std::string scheme = qv::Trim(url.substr(0, p));
  for (char& c : scheme) c = static_cast<char>(qv::Cp1251Upper(static_cast<unsigned char>(c)));
  return scheme;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string url(reinterpret_cast<const char*>(data), size);
  const std::string scheme = UpperTrimmedScheme(url);
  const bool http = scheme == "HTTP" || scheme == "HTTPS";

  qv::CParsedUrl parsed;
  try {
    parsed = qv::ParseHttpUrl(url);
  } catch (const qv::CVorlentException& e) {
    QV_FUZZ_REQUIRE(!http);
    QV_FUZZ_REQUIRE(e.Message().rfind("Ошибка при разборе URL ["_cp + url + "]", 0) == 0);
    return 0;
  }
  QV_FUZZ_REQUIRE(http);
  QV_FUZZ_REQUIRE(parsed.Secure == (scheme == "HTTPS"));
  QV_FUZZ_REQUIRE(url.compare(0, parsed.Scheme.size(), parsed.Scheme) == 0);
  QV_FUZZ_REQUIRE(parsed.Host.find('/') == std::string::npos);
  QV_FUZZ_REQUIRE(url.find(parsed.Host) != std::string::npos);
  QV_FUZZ_REQUIRE(parsed.ObjectPath.empty() || EndsWith(url, "/" + parsed.ObjectPath));
  // Without a "/" behind the host nothing but the scheme is taken.
  const std::string rest = url.substr(url.find("://") + 3);
  if (rest.find('/') == std::string::npos) {
    QV_FUZZ_REQUIRE(parsed.Host.empty() && parsed.ObjectPath.empty() && parsed.Port == 0);
  } else {
    QV_FUZZ_REQUIRE(rest.compare(0, parsed.Host.size(), parsed.Host) == 0);
    QV_FUZZ_REQUIRE(EndsWith(url, "/" + parsed.ObjectPath));
  }

  // The connection messages of any code are texts.
  if (size >= 4) {
    std::int32_t code;
    std::memcpy(&code, data, sizeof code);
    QV_FUZZ_REQUIRE(!qv::WinInetErrorText(code).empty());
    QV_FUZZ_REQUIRE(qv::WinInetErrorDescription(code) != nullptr);
  }
  return 0;
}
