// Date-time values (days since 1899-12-30) as the texts shown in messages.
#pragma once

#include <string>

#include "platform/CertServices.h"

namespace qv {

// The short date followed by the long time "h:mm:ss"; the time is left out at exactly midnight.
inline std::string DateTimeText(double dateTime) {
  std::string time = LongTimeText(dateTime);
  return time == "0:00:00" ? ShortDateText(dateTime) : ShortDateText(dateTime) + " " + time;
}

}  // namespace qv
