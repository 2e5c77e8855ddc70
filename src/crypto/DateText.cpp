#include "crypto/DateText.h"

#include <cmath>
#include <cstdint>
#include <ctime>

#include "foundation/Format.h"
#include "platform/CertServices.h"

namespace qv {
namespace {

struct DateParts {
  std::tm tm{};
  bool midnight = true;
};

DateParts Split(double dateTime) {
  // Whole seconds, rounded, so that 23:59:59.9996 does not show as 24:00:00.
  auto seconds = static_cast<std::int64_t>(std::llround((dateTime - kUnixEpochDateTime) * 86400.0));
  std::time_t t = static_cast<std::time_t>(seconds);
  DateParts parts;
  gmtime_r(&t, &parts.tm);
  parts.midnight = parts.tm.tm_hour == 0 && parts.tm.tm_min == 0 && parts.tm.tm_sec == 0;
  return parts;
}

std::string Date(const std::tm& tm) {
  return FormatText("%.2d.%.2d.%.4d", {tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900});
}

}  // namespace

std::string ShortDateText(double dateTime) {
  return Date(Split(dateTime).tm);
}

std::string DateTimeText(double dateTime) {
  DateParts parts = Split(dateTime);
  std::string text = Date(parts.tm);
  if (!parts.midnight)
    text += FormatText(" %d:%.2d:%.2d", {parts.tm.tm_hour, parts.tm.tm_min, parts.tm.tm_sec});
  return text;
}

}  // namespace qv
