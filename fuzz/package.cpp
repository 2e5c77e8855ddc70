// A package file from another party: any bytes must open into a consistent package, or
// fail with a library error leaving the package open, empty and with nothing on disk. A
// package that opens must save and open again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzHome.h"
#include "foundation/Errors.h"
#include "foundation/Files.h"
#include "foundation/StrArray.h"
#include "package/VorlentDoc.h"

namespace {
int CountIn(const std::string& folder) {
  qv::CStrArray names;
  qv::ListFiles(folder, "*", qv::kListFiles | qv::kListFolders, names);
  return names.Count();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = qvfuzz::PrivateHome() + "/input.zip";
  const std::string output = qvfuzz::PrivateHome() + "/output.zip";
  qv::WriteTextFile(input, std::string(reinterpret_cast<const char*>(data), size));
  {
    qv::CVorlentDoc doc;
    qv::ExtractLimits limits;
    limits.maxTotalSize = 64 << 20;
    doc.SetExtractLimits(limits);
    bool opened = false;
    try {
      opened = doc.Open(input);
    } catch (const qv::CVorlentException&) {
      if (!doc.IsOpened() || doc.GetFileCount() != 0 || CountIn(qvfuzz::PrivateHome() + "/tmp") != 0)
        std::abort();
    }
    if (opened) {
      int count = doc.GetFileCount();
      for (int i = 0; i < count; ++i) {
        if (!doc.GetFile(i)->IsOpened()) std::abort();
      }
      try {
        doc.Save(output);
      } catch (const qv::CVorlentException&) {
        // a package of another writer may hold what cannot be written back (an unknown role, ...)
        return 0;
      }
      qv::CVorlentDoc back;
      if (!back.Open(output) || back.GetFileCount() != count) std::abort();
    }
  }
  if (CountIn(qvfuzz::PrivateHome() + "/tmp") != 0) std::abort();  // every working folder is gone
  ::unlink(output.c_str());
  return 0;
}
