// The last-error codes of the certificate, store and provider services, kept per thread
// with the numbers the library shows and compares, and their message texts.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

constexpr std::int32_t kErrorSuccess = 0;
constexpr std::int32_t kErrorFileNotFound = 2;
constexpr std::int32_t kErrorAccessDenied = 5;
constexpr std::int32_t kErrorInvalidParameter = 87;
constexpr std::int32_t kErrorMoreData = 234;
constexpr std::int32_t kErrorNoMoreItems = 259;
constexpr std::int32_t kErrorCancelled = 1223;
constexpr std::int32_t kNteBadData = static_cast<std::int32_t>(0x80090005u);
constexpr std::int32_t kNteBadSignature = static_cast<std::int32_t>(0x80090006u);
constexpr std::int32_t kNteBadKey = static_cast<std::int32_t>(0x80090003u);
constexpr std::int32_t kNteNoKey = static_cast<std::int32_t>(0x8009000Du);
constexpr std::int32_t kNteBadKeyset = static_cast<std::int32_t>(0x80090016u);
constexpr std::int32_t kNteExists = static_cast<std::int32_t>(0x8009000Fu);
constexpr std::int32_t kNteProvTypeNotDef = static_cast<std::int32_t>(0x80090017u);
constexpr std::int32_t kNteKeysetNotDef = static_cast<std::int32_t>(0x80090019u);
constexpr std::int32_t kNteBadKeysetParam = static_cast<std::int32_t>(0x8009001Fu);
constexpr std::int32_t kNteFail = static_cast<std::int32_t>(0x80090020u);
constexpr std::int32_t kNteBadAlgid = static_cast<std::int32_t>(0x80090008u);
constexpr std::int32_t kCryptEHashValue = static_cast<std::int32_t>(0x80091007u);
constexpr std::int32_t kCryptEAsn1BadTag = static_cast<std::int32_t>(0x8009310Bu);
constexpr std::int32_t kCryptEBadEncode = static_cast<std::int32_t>(0x80092002u);
constexpr std::int32_t kCryptENotFound = static_cast<std::int32_t>(0x80092004u);
constexpr std::int32_t kCryptEExists = static_cast<std::int32_t>(0x80092005u);
constexpr std::int32_t kCryptESelfSigned = static_cast<std::int32_t>(0x80092007u);
constexpr std::int32_t kCryptENoMatch = static_cast<std::int32_t>(0x80092009u);
constexpr std::int32_t kCryptEStreamMsgNotReady = static_cast<std::int32_t>(0x80091010u);
constexpr std::int32_t kCryptENoKeyProperty = static_cast<std::int32_t>(0x8009200Bu);
constexpr std::int32_t kCryptENoDecryptCert = static_cast<std::int32_t>(0x8009200Cu);
constexpr std::int32_t kCryptEUnexpectedMsgType = static_cast<std::int32_t>(0x8009200Au);
constexpr std::int32_t kCryptERevoked = static_cast<std::int32_t>(0x80092010u);
constexpr std::int32_t kCryptEFileError = static_cast<std::int32_t>(0x80092003u);
constexpr std::int32_t kCryptENotInCtl = static_cast<std::int32_t>(0x8009200Du);

// Sets the calling thread's last error; `detail` (OpenSSL's or the system's own words) is
// appended to the code's text by LastErrorMessage until the next SetLastCryptError.
void SetLastCryptError(std::int32_t code, const std::string& detail = {});
// Sets the code and takes OpenSSL's error queue as the detail.
void SetLastCryptErrorFromOpenSsl(std::int32_t code);
std::int32_t GetLastCryptError();
// The message for the current last error: the code's text, then the detail when there is one.
std::string LastErrorMessage();
// The message text for a code (1251), without detail.
std::string CryptErrorText(std::int32_t code);
// Registers the texts of the codes above with the foundation's SystemErrorText (idempotent).
void RegisterCryptErrorTexts();

}  // namespace qv
