// New identifiers: braced GUIDs for working folders, compact ones for manifest
// identifiers and working file names.
#pragma once

#include <string>

namespace qv {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal.
std::string NewBracedGuid();
// 32 lower-case hexadecimal digits, no separators.
std::string NewCompactGuid();

}  // namespace qv
