// Date-time values (days since 1899-12-30) as the texts shown in messages.
#pragma once

#include <string>

namespace qv {

// "dd.mm.yyyy".
std::string ShortDateText(double dateTime);
// The short date followed by the long time "h:mm:ss"; the time is left out at exactly midnight.
std::string DateTimeText(double dateTime);

}  // namespace qv
