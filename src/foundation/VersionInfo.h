// Version strings of an executable file. The build records them in an ELF section of
// the library (and of the tools), where they are read back as a version resource would be.
#pragma once

#include <string>

namespace qv {

class CStrArray;

// Clears `list`, then adds "Name=Value" for each of the twelve version names found in
// the file, in the fixed order. A file without recorded version strings leaves it empty.
void GetVersionInfo(const std::string& fileName, CStrArray& list);

// The absolute path (1251), links resolved, of the shared object or executable that holds this
// code; empty when it cannot be told.
std::string OwnModulePath();

// The name of the ELF section that carries the version strings.
inline constexpr const char* kVersionSection = ".qv_version";

}  // namespace qv
