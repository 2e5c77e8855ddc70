// A test seam of the file layer. A hook installed by a test is asked before each step of a
// file write (the open, every write, the final commit: the truncation of an exact write, the
// rename of an atomic one) and may fail the step with an errno value, as if the system had
// refused it. Without a hook, and with a hook that answers 0, the writers behave exactly as
// they do without the seam.
#pragma once

#include <functional>
#include <string>

namespace qv {

enum class FileStep { kOpen, kWrite, kCommit };

// Returns 0 to let the step run, or the errno value it fails with.
using FileFaultHook = std::function<int(FileStep step, const std::string& fileName)>;

// Installs the process-wide hook; an empty function removes it.
void SetFileFaultHook(FileFaultHook hook);

// For the writers: the errno value the installed hook fails the step with, or 0.
int InjectedFileFault(FileStep step, const std::string& fileName);

}  // namespace qv
