// A package archive from another party: any bytes must extract into the output folder
// only, or fail with a library error and leave no output folder behind.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzHome.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "package/Archive.h"

namespace {
// A folder of its own inside the private home, so that only the archive lies beside the output.
const std::string& Root() {
  static const std::string root = [] {
    std::string folder = qvfuzz::PrivateHome() + "/extract";
    qv::ForceDirectories(folder);
    return folder;
  }();
  return root;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string archive = Root() + "/input.zip";
  const std::string output = Root() + "/out";
  qv::WriteTextFile(archive, std::string(reinterpret_cast<const char*>(data), size));
  qv::ExtractLimits limits;
  limits.maxTotalSize = 64 << 20;
  try {
    qv::COsAbbreviaTool::ExtractArchive(output, archive, false, limits);
  } catch (const qv::CVorlentException&) {
    if (qv::IsDirectory(output)) std::abort();  // a failed extraction must leave nothing
  }
  qv::DeleteFolderTree(output, true);
  // nothing may appear beside the output folder
  qv::CStrArray names;
  qv::ListFiles(Root(), "*", qv::kListFiles | qv::kListFolders, names);
  if (names.Count() != 1) std::abort();
  return 0;
}
